/* A command server that answers at once: every receive gets one fixed reply
 * ("0000" FS "0000", as a status answer) with no work in between, so a client's
 * exchange rate against it is bounded by the client and the loopback alone.
 *   answer_server [port]     prints the bound port, serves clients one after
 *                            another until killed
 */
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    static const char reply[] = "0000\x1c"
                                "0000";
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    local.sin_port = htons((unsigned short)(argc > 1 ? atoi(argv[1]) : 0));
    if (bind(listener, (struct sockaddr *)&local, sizeof local) != 0 || listen(listener, 16) != 0) {
        perror("answer_server");
        return 1;
    }
    socklen_t length = sizeof local;
    getsockname(listener, (struct sockaddr *)&local, &length);
    printf("%u\n", (unsigned)ntohs(local.sin_port));
    fflush(stdout);
    signal(SIGPIPE, SIG_IGN);
    for (;;) {
        int client = accept(listener, NULL, NULL);
        if (client < 0)
            continue;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        char command[512];
        while (recv(client, command, sizeof command, 0) > 0)
            if (send(client, reply, sizeof reply - 1, 0) < 0)
                break;
        close(client);
    }
}
