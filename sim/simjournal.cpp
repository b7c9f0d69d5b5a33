// The journal holds exactly one line per command run, in the order they ran:
// a fault campaign compares it with what its clients were told. A command
// shows as its printable copy (packet/printable.h), so that none can break
// its line in two.
#include "simjournal.h"
#include "fiscalframe.h"
#include "printable.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static int JournalFd = -1;

int SimJournalOpen(const char *path)
{
    SimJournalClose();
    JournalFd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0644);
    return JournalFd >= 0 ? 0 : -1;
}

// One write of a whole line on an O_APPEND descriptor: a reader never sees
// half a line, and lines from one run never interleave.
void SimJournalRecord(const char *body, int len)
{
    char line[FRAME_MAX_BODY + 2];
    if (JournalFd < 0) {
        return;
    }
    // The copy ends a byte short of the buffer: room for the newline.
    size_t used = PrintableCopy(body, (size_t)len, line, sizeof line - 1);
    line[used] = '\n';
    ssize_t written = write(JournalFd, line, used + 1);
    if (written != (ssize_t)used + 1) {
        fprintf(stderr, "fiscalsim: cannot write the journal: %s\n",
                written < 0 ? strerror(errno) : "short write");
    }
}

void SimJournalClose(void)
{
    if (JournalFd >= 0) {
        close(JournalFd);
    }
    JournalFd = -1;
}
