// Built without exceptions or RTTI and calling only the C library, so that
// a program linked by the C linker takes it as it is.
#include "ptypair.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

static const char DEV_PREFIX[] = "/dev/";

static int MakeRaw(int fd)
{
    struct termios line;
    if (tcgetattr(fd, &line) != 0) {
        return -1;
    }
    cfmakeraw(&line);
    return tcsetattr(fd, TCSANOW, &line);
}

int PtyPairOpen(int options, PtyPair *pair)
{
    int flags = O_RDWR | O_NOCTTY;
    flags |= (options & PTYPAIR_NONBLOCK) != 0 ? O_NONBLOCK : 0;
    flags |= (options & PTYPAIR_CLOEXEC) != 0 ? O_CLOEXEC : 0;
    const size_t prefix = sizeof DEV_PREFIX - 1;
    const char *name = nullptr;
    int result = -1;
    pair->master = posix_openpt(flags);
    pair->slave = -1;
    pair->port_name[0] = '\0';
    pair->slave_path[0] = '\0';
    if (pair->master >= 0 && grantpt(pair->master) == 0 && unlockpt(pair->master) == 0) {
        name = ptsname(pair->master);
    }
    if (name != nullptr &&
        (strncmp(name, DEV_PREFIX, prefix) != 0 || strlen(name + prefix) >= PTYPAIR_NAME_MAX)) {
        errno = ENAMETOOLONG;
        name = nullptr;
    }
    if (name != nullptr) {
        snprintf(pair->slave_path, sizeof pair->slave_path, "%s", name);
        snprintf(pair->port_name, sizeof pair->port_name, "%s", name + prefix);
        result = 0;
    }
    if (result == 0 && (options & PTYPAIR_KEEP_SLAVE) != 0) {
        pair->slave = open(pair->slave_path, flags);
        result = pair->slave >= 0 ? 0 : -1;
    }
    if (result == 0 && (options & PTYPAIR_RAW) != 0) {
        result = MakeRaw(pair->master);
        if (result == 0 && pair->slave >= 0) {
            result = MakeRaw(pair->slave);
        }
    }
    if (result != 0) {
        int saved = errno;
        PtyPairClose(pair);
        errno = saved;
    }
    return result;
}

void PtyPairClose(PtyPair *pair)
{
    if (pair->master >= 0) {
        close(pair->master);
    }
    if (pair->slave >= 0) {
        close(pair->slave);
    }
    pair->master = -1;
    pair->slave = -1;
}
