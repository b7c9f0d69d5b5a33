// The serial byte path over a pseudo-terminal whose far end is a ptypeer
// process: one-byte round trips through SendByte/GetByteTimed against a bare
// write/read loop on the same pty (the limit), and SendCommand's throughput
// against a bare write loop. The ptys are named by BENCH_PTY_ECHO (a peer
// echoing every byte) and BENCH_PTY_DRAIN (a peer dropping everything).
#include "ttywire.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <termios.h>
#include <unistd.h>

// A frame-sized command, as the packet layer writes them.
static const char Command[] = "\x02 B\x1c"
                              "Cafe\x1c"
                              "2\x1c"
                              "1.50\x03"
                              "1A2B";

static const char *PtyName(const char *variable)
{
    const char *name = getenv(variable);
    if (name == nullptr) {
        fprintf(stderr, "bench_serial: %s is not set\n", variable);
        exit(2);
    }
    return name;
}

// Opened blocking and raw: the least a program can do to a serial line.
static int OpenBare(const char *name)
{
    std::string path = std::string("/dev/") + name;
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    struct termios line;
    tcgetattr(fd, &line);
    cfmakeraw(&line);
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &line);
    return fd;
}

static void BM_RoundTripTtywire(benchmark::State &state)
{
    int slot = start_comm(PtyName("BENCH_PTY_ECHO"));
    PortEntry *entry = &PortControl[slot];
    unsigned char byte = 0;
    for (auto _ : state) {
        SendByte(entry, 'x');
        if (GetByteTimed(entry, &byte) != 0) {
            state.SkipWithError("no echo within 2 s");
            break;
        }
    }
    end_comm(entry);
}
BENCHMARK(BM_RoundTripTtywire)->UseRealTime();

static void BM_RoundTripBare(benchmark::State &state)
{
    int fd = OpenBare(PtyName("BENCH_PTY_ECHO"));
    char byte = 'x';
    for (auto _ : state) {
        if (write(fd, &byte, 1) != 1 || read(fd, &byte, 1) != 1) {
            state.SkipWithError("bare round trip failed");
            break;
        }
    }
    close(fd);
}
BENCHMARK(BM_RoundTripBare)->UseRealTime();

static void BM_CommandTtywire(benchmark::State &state)
{
    int slot = start_comm(PtyName("BENCH_PTY_DRAIN"));
    PortEntry *entry = &PortControl[slot];
    // The driver's descriptor is non-blocking; made blocking here so that a
    // full pty buffer makes both loops wait for the peer instead of failing.
    fcntl(entry->fd, F_SETFL, fcntl(entry->fd, F_GETFL) & ~O_NONBLOCK);
    for (auto _ : state) {
        if (SendCommand(entry, Command) != 0) {
            state.SkipWithError("SendCommand failed");
            break;
        }
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)(sizeof Command - 1));
    end_comm(entry);
}
BENCHMARK(BM_CommandTtywire)->UseRealTime();

static void BM_CommandBare(benchmark::State &state)
{
    int fd = OpenBare(PtyName("BENCH_PTY_DRAIN"));
    for (auto _ : state) {
        if (write(fd, Command, sizeof Command - 1) != (ssize_t)(sizeof Command - 1)) {
            state.SkipWithError("bare write failed");
            break;
        }
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)(sizeof Command - 1));
    close(fd);
}
BENCHMARK(BM_CommandBare)->UseRealTime();

BENCHMARK_MAIN();
