#include "driver_support.h"

#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

#include "ptypair.h"
#include "ttywire.h"

// ---- what a host program supplies ----

PortEntry PortControl[TTYWIRE_PORTS];

static int CommandRetries = 3;

extern "C" int SetCommandRetries(int count)
{
    int previous = CommandRetries;
    CommandRetries = count;
    return previous;
}

// These tests exercise the line, not the controller: nothing ever answers.
extern "C" int MandaPaqueteFiscal(int, const char *, unsigned short *, unsigned short *,
                                  char *answer)
{
    answer[0] = '\0';
    return -1;
}

// ---- pseudo-terminals ----

Pty OpenPty()
{
    PtyPair pair;
    if (PtyPairOpen(0, &pair) != 0) {
        throw std::runtime_error("cannot open a pseudo-terminal");
    }
    Pty pty;
    pty.master = pair.master;
    pty.slave_path = pair.slave_path;
    pty.port_name = pair.port_name;
    return pty;
}

void ClosePty(Pty &pty)
{
    if (pty.master >= 0) {
        close(pty.master);
    }
    pty.master = -1;
}

bool WaitReadable(int fd)
{
    struct pollfd watched = {fd, POLLIN, 0};
    return poll(&watched, 1, 2000) == 1;
}

// ---- console ----

static int SavedStdout = -1;
static std::string CapturePath;

void BeginStdoutCapture()
{
    char path[] = "/tmp/driver-stdout.XXXXXX";
    int fd = mkstemp(path);
    CapturePath = path;
    fflush(stdout);
    SavedStdout = dup(1);
    dup2(fd, 1);
    close(fd);
}

std::string EndStdoutCapture()
{
    fflush(stdout);
    dup2(SavedStdout, 1);
    close(SavedStdout);
    std::string printed = ReadFile(CapturePath);
    unlink(CapturePath.c_str());
    return printed;
}

void SendStdoutTo(const std::string &path)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 1);
    close(fd);
}

// ---- files ----

bool FileExists(const std::string &path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}
