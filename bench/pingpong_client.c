/* The limit for ruvado's exchange: the least a client can do per command on
 * the same socket, with ruvado's options (TCP_NODELAY, SO_REUSEADDR, linger 0
 * and a bind to any port): one send of the line, one blocking receive.
 *   pingpong_client port count line
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: pingpong_client port count line\n");
        return 2;
    }
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct linger abortive = {1, 0};
    setsockopt(sock, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    bind(sock, (struct sockaddr *)&address, sizeof address);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons((unsigned short)atoi(argv[1]));
    if (connect(sock, (struct sockaddr *)&address, sizeof address) != 0) {
        perror("connect");
        return 1;
    }
    long count = atol(argv[2]);
    const char *line = argv[3];
    size_t length = strlen(line);
    char reply[501];
    for (long i = 0; i < count; i++) {
        if (send(sock, line, length, 0) != (ssize_t)length || recv(sock, reply, 500, 0) <= 0) {
            fprintf(stderr, "pingpong_client: exchange %ld failed\n", i);
            return 1;
        }
    }
    close(sock);
    return 0;
}
