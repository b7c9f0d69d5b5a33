// ruvado's log file. The file is opened and closed for every line so that
// nothing stays open between messages and a rotation is seen at once.
#include "log.h"
#include "textmode.h"

#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static const char *LogFileName = "spooler.log";
static int EchoOn = 1;

// The combined format is the 17-character stamp, the caller's format and a
// line feed; the finished line is that with the caller's arguments expanded.
// Both are bounded: a longer message is cut, never written past the end.
static char CombinedFormat[1024];
static char FinishedLine[2048];

int LogEcho(int flag)
{
    EchoOn = flag ? 1 : 0;
    return EchoOn;
}

// "spooler.log" gives "spooler.l_g": the second-to-last character becomes '_'.
static void BuildBackupName(const char *name, char *backup, size_t size)
{
    snprintf(backup, size, "%s", name);
    size_t length = strlen(backup);
    if (length >= 2) {
        backup[length - 2] = '_';
    }
}

int LogOpen(const char *name)
{
    if (name == nullptr) {
        return -1;
    }

    const int mode = 0666;
    int descriptor = open(name, O_WRONLY | O_APPEND | O_CREAT | TEXT_MODE_OPEN_FLAG, mode);
    if (descriptor < 0) {
        return descriptor;
    }

    // A failed seek (-1) counts as below the limit, so the line is appended.
    long size = (long)lseek(descriptor, 0, SEEK_END);
    if (size < LOG_SIZE_LIMIT) {
        return descriptor;
    }

    close(descriptor);
    char backup[128];
    BuildBackupName(name, backup, sizeof backup);
    remove(backup);
    rename(name, backup);
    return open(name, O_WRONLY | O_APPEND | O_CREAT | O_TRUNC | TEXT_MODE_OPEN_FLAG, mode);
}

void LogMessage(int console, const char *format, ...)
{
    int descriptor = LogOpen(LogFileName);
    if (descriptor < 0) {
        return;
    }

    time_t now = time(nullptr);
    struct tm *local = localtime(&now);
    struct tm stamp;
    memset(&stamp, 0, sizeof stamp);
    if (local != nullptr) {
        stamp = *local;
    }

    // The caller's format is pasted into the combined one on purpose, so its
    // conversions are expanded by the vsnprintf below (a '%' must be "%%").
    snprintf(CombinedFormat, sizeof CombinedFormat, "%02d/%02d-%02d:%02d:%02d: %s\n", stamp.tm_mday,
             stamp.tm_mon + 1, stamp.tm_hour, stamp.tm_min, stamp.tm_sec, format);

    va_list arguments;
    va_start(arguments, format);
    vsnprintf(FinishedLine, sizeof FinishedLine, CombinedFormat, arguments);
    va_end(arguments);

    if (EchoOn && (console & 0xFF) != 0) {
        printf("%s", FinishedLine);
    }

    ssize_t written = write(descriptor, FinishedLine, strlen(FinishedLine));
    (void)written;   // a full disk loses the line; the run goes on regardless
    close(descriptor);
}
