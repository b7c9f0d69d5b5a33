/* Times how long a program takes from its start to its first byte on a TCP
 * connection (first-byte) or to its exit (exit), over several runs.
 *   startup_timer first-byte|exit RUNS PROGRAM [ARG...]
 * An argument "{port}" is replaced by the port of a loopback listener made
 * here. For first-byte the program's connection gets "0000" FS "0000" back
 * after its first receive, so a ruvado run ends normally. Prints one line per
 * run: the microseconds measured. The clock starts just before posix_spawn.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

static double NowUs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1e6 + now.tv_nsec / 1e3;
}

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: startup_timer first-byte|exit RUNS PROGRAM [ARG...]\n");
        return 2;
    }
    int first_byte = strcmp(argv[1], "first-byte") == 0;
    int runs = atoi(argv[2]);
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, (struct sockaddr *)&local, sizeof local);
    listen(listener, 8);
    socklen_t length = sizeof local;
    getsockname(listener, (struct sockaddr *)&local, &length);
    char port[16];
    snprintf(port, sizeof port, "%u", (unsigned)ntohs(local.sin_port));
    char **child_argv = &argv[3];
    for (char **arg = child_argv; *arg != NULL; arg++)
        if (strcmp(*arg, "{port}") == 0)
            *arg = port;

    /* The child's output would mix with the times: it goes to /dev/null. */
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    for (int run = 0; run < runs; run++) {
        pid_t child;
        double start = NowUs();
        if (posix_spawnp(&child, child_argv[0], &actions, NULL, child_argv, environ) != 0) {
            perror("posix_spawn");
            return 1;
        }
        double end = 0;
        if (first_byte) {
            struct pollfd wanted = {listener, POLLIN, 0};
            if (poll(&wanted, 1, 30000) <= 0) {
                fprintf(stderr, "startup_timer: no connection\n");
                return 1;
            }
            int connection = accept(listener, NULL, NULL);
            char byte[512];
            struct pollfd readable = {connection, POLLIN, 0};
            if (poll(&readable, 1, 30000) <= 0 || recv(connection, byte, sizeof byte, 0) <= 0) {
                fprintf(stderr, "startup_timer: no byte\n");
                return 1;
            }
            end = NowUs();
            send(connection,
                 "0000\x1c"
                 "0000",
                 9, MSG_NOSIGNAL);
            int status;
            waitpid(child, &status, 0);
            close(connection);
        } else {
            int status;
            waitpid(child, &status, 0);
            end = NowUs();
        }
        printf("%.1f\n", end - start);
    }
    return 0;
}
