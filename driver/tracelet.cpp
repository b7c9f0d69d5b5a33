// Trace channel: every driver message passes through Tracelet, which hands it
// to the current trace function. The default one prints it on the console,
// appends it with a time stamp to the trace file, both, or neither.
#include "tracelet.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

int fdebug = 0;
int fsave = 0;

static const char DEFAULT_TRACE_FILE[] = "/etc/fiscal.log";
static const off_t TRACE_FILE_LIMIT = 499999;   // bytes kept before the file restarts
// "DDMM-HHMM: " before the message and CR LF after it.
static const size_t STAMPED_LINE_EXTRA = 13;

static char debfile[TRACELET_PATH_MAX + 1] = "";
static char buffer[250];
// Sized so that every message that fits buffer also fits the stamped line:
// a long message is cut once, in buffer, and the file line keeps its CR LF.
static char buf_file[sizeof(buffer) + STAMPED_LINE_EXTRA];

static TraceFunction DebugFunction = FISCAL_debug;
static TraceFunction OldDebugFunction = nullptr;

// The stamp has no seconds, so it changes once a minute: it is kept with the
// minute it was made for and rebuilt (through localtime_r) only when another
// minute has begun. Zone offsets change on whole minutes, so the text is the
// one a fresh localtime_r would give.
static time_t StampMinute = -1;
static char Stamp[16];
static size_t StampLength;

void Tracelet(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    DebugFunction(format, args);
    va_end(args);
}

TraceFunction SetTracelet(TraceFunction function)
{
    OldDebugFunction = DebugFunction;
    DebugFunction = function;
    return OldDebugFunction;
}

int set_debug_options(int debug, int save, const char *path)
{
    int result = 0;
    fdebug = debug;
    fsave = save;
    // A path that does not fit is refused whole: a cut path would send the
    // trace into some other file.
    if (path == nullptr || strlen(path) >= sizeof(debfile)) {
        result = -1;
    } else {
        snprintf(debfile, sizeof(debfile), "%s", path);
    }
    return result;
}

int debopen(const char *path)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0666);
    if (fd >= 0 && lseek(fd, 0, SEEK_END) > TRACE_FILE_LIMIT) {
        close(fd);
        unlink(path);
        fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0666);
    }
    return fd;
}

// buf_file = stamp, the message in buffer, CR LF; returns its length.
static size_t BuildFileLine(void)
{
    time_t now = time(nullptr);
    if (now / 60 != StampMinute) {
        struct tm local;
        memset(&local, 0, sizeof(local));
        localtime_r(&now, &local);
        int length = snprintf(Stamp, sizeof(Stamp), "%02d%02d-%02d%02d: ", local.tm_mday,
                              local.tm_mon + 1, local.tm_hour, local.tm_min);
        StampLength = length < 0                     ? 0
                      : length >= (int)sizeof(Stamp) ? sizeof(Stamp) - 1
                                                     : (size_t)length;
        StampMinute = now / 60;
    }
    size_t message = strlen(buffer);
    size_t room = sizeof(buf_file) - 1 - 2 - StampLength;
    if (message > room) {
        message = room;
    }
    memcpy(buf_file, Stamp, StampLength);
    memcpy(buf_file + StampLength, buffer, message);
    memcpy(buf_file + StampLength + message, "\r\n", 2);
    size_t total = StampLength + message + 2;
    buf_file[total] = '\0';
    return total;
}

void FISCAL_debug(const char *format, va_list args)
{
    if (fdebug == 0 && fsave == 0) {
        return;
    }
    vsnprintf(buffer, sizeof(buffer), format, args);
    if (fdebug != 0) {
        // The message is already formatted: copied out as it is, under one
        // lock of the stream, rather than formatted a second time by printf.
        flockfile(stdout);
        fwrite_unlocked(buffer, 1, strlen(buffer), stdout);
        fwrite_unlocked("\r\n", 1, 2, stdout);
        funlockfile(stdout);
    }
    if (fsave == 0) {
        return;
    }
    const char *path = debfile[0] != '\0' ? debfile : DEFAULT_TRACE_FILE;
    int fd = debopen(path);
    if (fd < 0) {
        return;
    }
    // A trace that cannot be written is dropped; there is nowhere to report it.
    ssize_t written = write(fd, buf_file, BuildFileLine());
    (void)written;
    close(fd);
}
