// The server's state file: the rate the controller was last found at, so
// that a restarted server tries it first with one probe instead of a full
// search. One line, "rate 38400"; anything else counts as no file.
#include "fiscald_state.h"
#include "ttywire.h"
#include "wholenumber.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static const char RATE_PREFIX[] = "rate ";

long StateReadRate(const char *path)
{
    char text[64];
    long rate = 0;
    if (path == nullptr) {
        return 0;
    }
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    if (got <= 0) {
        return 0;
    }
    text[got] = '\0';
    text[strcspn(text, "\n")] = '\0';
    if (strncmp(text, RATE_PREFIX, sizeof RATE_PREFIX - 1) == 0) {
        rate = ParseWholeNumber(text + sizeof RATE_PREFIX - 1, 1, 38400);
    }
    for (int row = 0; row < TTYWIRE_RATES; row++) {
        if (BaudTbl[row].baud == rate) {
            return rate;
        }
    }
    return 0;
}

int StateWriteRate(const char *path, long rate)
{
    char temporary[4200];
    char text[64];
    int result = -1;
    int length = snprintf(text, sizeof text, "%s%ld\n", RATE_PREFIX, rate);
    int written = snprintf(temporary, sizeof temporary, "%s.new", path);
    if (written < 0 || written >= (int)sizeof temporary) {
        errno = ENAMETOOLONG;
        return -1;
    }
    // Written aside and renamed over the old one: a crash leaves the old
    // file or the new one, never half of one.
    int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return -1;
    }
    if (write(fd, text, (size_t)length) == length && fsync(fd) == 0) {
        result = 0;
    }
    if (close(fd) != 0) {
        result = -1;
    }
    if (result == 0 && rename(temporary, path) != 0) {
        result = -1;
    }
    if (result != 0) {
        int error = errno;
        unlink(temporary);
        errno = error;
    }
    return result;
}
