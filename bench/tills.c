/* Many tills at once: CLIENTS connections to the command server, each a
 * thread that sends COMMANDS commands one after another as ruvado does (one
 * send, then receives until a final reply, interim replies passed over), all
 * starting together. Times every command from its send to its final reply.
 *   bench_tills PORT CLIENTS COMMANDS LINE
 * Prints one JSON line: {"clients": C, "commands": N, "seconds": S,
 *   "median_us": M, "p99_us": P, "max_us": X}; status 1 if any exchange failed.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

struct Till {
    pthread_t thread;
    int sock;
    double *times_us; /* one per command */
    int failed;
};

static int Port;
static int Commands;
static const char *Line;
static pthread_barrier_t Start;

static double NowUs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1e6 + now.tv_nsec / 1e3;
}

static int Connect(void)
{
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    struct sockaddr_in server;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    memset(&server, 0, sizeof server);
    server.sin_family = AF_INET;
    server.sin_port = htons((unsigned short)Port);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(sock, (struct sockaddr *)&server, sizeof server) != 0) {
        close(sock);
        return -1;
    }
    return sock;
}

static void *RunTill(void *argument)
{
    struct Till *till = argument;
    size_t length = strlen(Line);
    pthread_barrier_wait(&Start);
    for (int i = 0; i < Commands && !till->failed; i++) {
        char reply[501];
        ssize_t got;
        double begin = NowUs();
        if (send(till->sock, Line, length, 0) != (ssize_t)length) {
            till->failed = 1;
            break;
        }
        do {
            got = recv(till->sock, reply, 500, 0);
            if (got > 0) {
                reply[got] = '\0';
            }
        } while (got > 0 && (strstr(reply, "DC2") != NULL || strstr(reply, "DC4") != NULL));
        if (got <= 0 || strncmp(reply, "ERR", 3) == 0) {
            till->failed = 1;
        }
        till->times_us[i] = NowUs() - begin;
    }
    return NULL;
}

static int ByValue(const void *a, const void *b)
{
    double x = *(const double *)a;
    double y = *(const double *)b;
    return x < y ? -1 : x > y;
}

int main(int argc, char **argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: bench_tills PORT CLIENTS COMMANDS LINE\n");
        return 2;
    }
    Port = atoi(argv[1]);
    int clients = atoi(argv[2]);
    Commands = atoi(argv[3]);
    Line = argv[4];
    struct Till *tills = calloc((size_t)clients, sizeof *tills);
    double *times = calloc((size_t)clients * (size_t)Commands, sizeof *times);
    pthread_barrier_init(&Start, NULL, (unsigned)clients + 1);
    for (int c = 0; c < clients; c++) {
        tills[c].sock = Connect();
        tills[c].times_us = times + (size_t)c * (size_t)Commands;
        if (tills[c].sock < 0) {
            perror("bench_tills: connect");
            return 1;
        }
    }
    for (int c = 0; c < clients; c++) {
        pthread_create(&tills[c].thread, NULL, RunTill, &tills[c]);
    }
    pthread_barrier_wait(&Start);
    double begin = NowUs();
    int failed = 0;
    for (int c = 0; c < clients; c++) {
        pthread_join(tills[c].thread, NULL);
        failed |= tills[c].failed;
        close(tills[c].sock);
    }
    double seconds = (NowUs() - begin) / 1e6;
    size_t total = (size_t)clients * (size_t)Commands;
    qsort(times, total, sizeof *times, ByValue);
    printf("{\"clients\": %d, \"commands\": %zu, \"seconds\": %.6f, \"median_us\": %.1f, "
           "\"p99_us\": %.1f, \"max_us\": %.1f}\n",
           clients, total, seconds, times[total / 2], times[(total * 99) / 100], times[total - 1]);
    free(times);
    free(tills);
    return failed;
}
