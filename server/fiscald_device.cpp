// The device under the server: its name resolved afresh at every open (a
// by-id link follows an adapter that comes back as another ttyUSB), checked
// before the driver opens it (start_comm ends its process on a device it
// cannot open), and locked so that no second server shares the line.
#include "fiscald_device.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

static const char DEVICE_PREFIX[] = "/dev/";
static const size_t DEVICE_PREFIX_LENGTH = sizeof DEVICE_PREFIX - 1;

int DeviceName(const char *given, char *name, size_t size)
{
    char path[PATH_MAX];
    char resolved[PATH_MAX];
    int written;
    if (given[0] == '/') {
        written = snprintf(path, sizeof path, "%s", given);
    } else {
        written = snprintf(path, sizeof path, "%s%s", DEVICE_PREFIX, given);
    }
    if (written < 0 || written >= (int)sizeof path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (realpath(path, resolved) == nullptr) {
        return -1;
    }
    // start_comm puts "/dev/" in front of what it is given; a device kept
    // elsewhere is reached from there.
    if (strncmp(resolved, DEVICE_PREFIX, DEVICE_PREFIX_LENGTH) == 0) {
        written = snprintf(name, size, "%s", resolved + DEVICE_PREFIX_LENGTH);
    } else {
        written = snprintf(name, size, "..%s", resolved);
    }
    if (written < 0 || written >= (int)size || written > FISCALD_MAX_NAME) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return 0;
}

// Who holds a lock on the file: /proc/locks names the process and the file
// by its device and inode. 0 when it cannot be told.
static long LockHolder(int fd)
{
    struct stat file;
    char line[256];
    long holder = 0;
    if (fstat(fd, &file) != 0) {
        return 0;
    }
    FILE *locks = fopen("/proc/locks", "r");
    if (locks == nullptr) {
        return 0;
    }
    while (holder == 0 && fgets(line, sizeof line, locks) != nullptr) {
        long pid = 0;
        unsigned int major_number = 0;
        unsigned int minor_number = 0;
        unsigned long inode = 0;
        char kind[16];
        if (sscanf(line, "%*d: %15s %*s %*s %ld %x:%x:%lu", kind, &pid, &major_number,
                   &minor_number, &inode) == 5 &&
            strcmp(kind, "FLOCK") == 0 && inode == (unsigned long)file.st_ino &&
            major_number == major(file.st_dev) && minor_number == minor(file.st_dev) &&
            pid != (long)getpid()) {
            holder = pid;
        }
    }
    fclose(locks);
    return holder;
}

// "Permission denied" alone leaves an operator guessing; the device's group
// is the usual way in (dialout on Debian).
static void AccessReason(const char *path, int error, char *reason, size_t size)
{
    struct stat device;
    const struct group *group = nullptr;
    if (error == EACCES && stat(path, &device) == 0) {
        group = getgrgid(device.st_gid);
    }
    if (group != nullptr) {
        snprintf(reason, size, "no se puede abrir %s: %s (el acceso lo da el grupo %s)", path,
                 strerror(error), group->gr_name);
    } else {
        snprintf(reason, size, "no se puede abrir %s: %s", path, strerror(error));
    }
}

int DeviceTake(const char *name, char *reason, size_t size)
{
    char path[FISCALD_MAX_NAME + 8];
    snprintf(path, sizeof path, "%s%s", DEVICE_PREFIX, name);
    // Opened the way start_comm opens it, so that what passes here will pass
    // there too; O_NOCTTY so that the server never takes it as its terminal.
    int fd = open(path, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        AccessReason(path, errno, reason, size);
        return -1;
    }
    if (!isatty(fd)) {
        snprintf(reason, size, "no se puede abrir %s: %s", path, strerror(ENOTTY));
        close(fd);
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        long holder = LockHolder(fd);
        if (holder > 0) {
            snprintf(reason, size, "%s ya esta en uso por otro proceso (pid %ld)", path, holder);
        } else {
            snprintf(reason, size, "%s ya esta en uso por otro proceso", path);
        }
        close(fd);
        return -1;
    }
    return fd;
}

int DeviceStillThere(int locked)
{
    struct pollfd watched;
    watched.fd = locked;
    watched.events = 0;
    watched.revents = 0;
    if (locked < 0 || poll(&watched, 1, 0) < 0) {
        return 0;
    }
    return (watched.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0;
}

void DeviceExclusive(int locked, int on)
{
    // Without it another program (not a second server, which the lock stops)
    // could still open the line and write into a frame. Root passes it anyway.
    if (locked >= 0 && ioctl(locked, on ? TIOCEXCL : TIOCNXCL) != 0) {
        // A device that does not take it is still served; the lock stands.
    }
}
