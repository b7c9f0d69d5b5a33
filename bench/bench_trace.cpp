// The trace channel against the least its job allows: with the file on,
// the open / append / write / close of one line per message (the limit); with
// the console only, plain printf of the same text. The console goes to
// /dev/null during the console benchmarks, fully buffered, as when a host's
// output is piped or logged.
#include "tracelet.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <unistd.h>

static std::string TracePath()
{
    const char *dir = getenv("BENCH_DIR");
    return std::string(dir != nullptr ? dir : "/tmp") + "/bench_trace.log";
}

static void BM_TraceFile(benchmark::State &state)
{
    std::string path = TracePath();
    unlink(path.c_str());
    set_debug_options(0, 1, path.c_str());
    for (auto _ : state)
        Tracelet("Probando a %ld bauds", 9600L);
    set_debug_options(0, 0, "");
    unlink(path.c_str());
}
BENCHMARK(BM_TraceFile);

// The limit: the required calls per message, and nothing else (a
// line formatted once, the same size rule).
static void BM_BareFileAppend(benchmark::State &state)
{
    std::string path = TracePath();
    unlink(path.c_str());
    static const char line[] = "0812-1617: Probando a 9600 bauds\r\n";
    for (auto _ : state) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
        if (lseek(fd, 0, SEEK_END) > 499999) {
            close(fd);
            unlink(path.c_str());
            fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0666);
        }
        benchmark::DoNotOptimize(write(fd, line, sizeof line - 1));
        close(fd);
    }
    unlink(path.c_str());
}
BENCHMARK(BM_BareFileAppend);

static int SavedStdout = -1;

static void ConsoleToNull()
{
    fflush(stdout);
    SavedStdout = dup(1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
}

static void ConsoleBack()
{
    fflush(stdout);
    dup2(SavedStdout, 1);
    close(SavedStdout);
}

static void BM_TraceConsole(benchmark::State &state)
{
    set_debug_options(1, 0, "");
    ConsoleToNull();
    for (auto _ : state)
        Tracelet("Probando a %ld bauds", 9600L);
    ConsoleBack();
    set_debug_options(0, 0, "");
}
BENCHMARK(BM_TraceConsole);

static void BM_Printf(benchmark::State &state)
{
    ConsoleToNull();
    for (auto _ : state)
        printf("Probando a %ld bauds\r\n", 9600L);
    ConsoleBack();
}
BENCHMARK(BM_Printf);

BENCHMARK_MAIN();
