/* The least a program can do before its first byte reaches a server: start,
 * connect, send one byte, exit. Builds for POSIX and, with MinGW, for Windows
 * (run under wine beside ruvado.exe).
 *   connect_exit port
 */
#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv)
{
#ifdef _WIN32
    /* Winsock must be started before any socket call. */
    WSADATA granted;
    WSAStartup(0x0101, &granted);
#endif
    struct sockaddr_in server;
    memset(&server, 0, sizeof server);
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons((unsigned short)(argc > 1 ? atoi(argv[1]) : 1600));
    int sock = (int)socket(AF_INET, SOCK_STREAM, 0);
    if (connect(sock, (struct sockaddr *)&server, sizeof server) != 0)
        return 1;
    send(sock, "*", 1, 0);
    return 0;
}
