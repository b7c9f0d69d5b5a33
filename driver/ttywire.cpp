// Serial line layer: the port table's slots, raw set-up at 9600 baud, and
// byte and string I/O with bounded waits. PortControl's storage and the
// packet layer belong to the host program.
#include "ttywire.h"
#include "tracelet.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

struct termios TermioCons;

static const char DEVICE_PREFIX[] = "/dev/";
static const unsigned char LINK_BYTE_TAKEN = 0x20;

// Set-up failures end the host process: a port that cannot be opened and set
// up raw leaves the driver nothing to work with. The text is printed directly
// (not traced) and exit flushes it.
[[noreturn]] static void SetupFailed(const char *message)
{
    printf("%s\r\n", message);
    exit(1);
}

[[noreturn]] static void OpenFailed(const char *name, int error)
{
    printf("Error Abriendo %s%s, errno %d\r\n", DEVICE_PREFIX, name, error);
    exit(1);
}

int start_comm(const char *name)
{
    int slot = 0;
    while (slot < TTYWIRE_PORTS && PortControl[slot].in_use != 0) {
        slot++;
    }
    if (slot == TTYWIRE_PORTS) {
        return -1;
    }
    PortEntry *entry = &PortControl[slot];
    entry->in_use = 1;
    entry->link_byte = LINK_BYTE_TAKEN;
    if (name == nullptr) {
        name = "";
    }

    // A name that does not fit device is refused rather than cut: a cut name
    // could open some other device.
    if (strlen(DEVICE_PREFIX) + strlen(name) >= sizeof(entry->device)) {
        entry->in_use = 0;
        OpenFailed(name, ENAMETOOLONG);
    }
    snprintf(entry->device, sizeof(entry->device), "%s%s", DEVICE_PREFIX, name);

    // Never the caller's controlling terminal: a host without one (any
    // service) would otherwise take the line as its own, and the line's
    // hang-up (a cable pulled) would end the host with SIGHUP.
    entry->fd = open(entry->device, O_RDWR | O_NONBLOCK | O_NOCTTY);
    if (entry->fd < 0) {
        int error = errno;
        entry->in_use = 0;
        OpenFailed(name, error);
    }

    // The read's result is not looked at; on a device that is no terminal the
    // set-up fails at tcsetattr.
    struct termios line;
    memset(&line, 0, sizeof(line));
    tcgetattr(entry->fd, &line);
    if (cfsetospeed(&line, B9600) != 0 || cfsetispeed(&line, B9600) != 0) {
        SetupFailed("Error cfsetospeed");
    }
    cfmakeraw(&line);
    line.c_cc[VMIN] = 1;
    if (tcsetattr(entry->fd, TCSANOW, &line) != 0) {
        SetupFailed("Error tcsetattr");
    }
    return slot;
}

int end_comm(PortEntry *entry)
{
    entry->in_use = 0;
    return close(entry->fd);
}

int SendByte(PortEntry *entry, int value)
{
    unsigned char byte = static_cast<unsigned char>(value & 0xFF);
    return write(entry->fd, &byte, 1) == 1 ? 0 : -1;
}

int GetByte(PortEntry *entry, unsigned char *out)
{
    if (read(entry->fd, out, 1) > 0) {
        return 0;
    }
    Tracelet("GetByte ERROR");
    return -1;
}

int GetByteTimed(PortEntry *entry, unsigned char *out)
{
    if (DoTimeout(entry->fd, 2) == 0) {
        return -1;
    }
    return read(entry->fd, out, 1) > 0 ? 0 : -1;
}

int SendCommand(PortEntry *entry, const char *text)
{
    size_t length = strlen(text);
    ssize_t written = write(entry->fd, text, length);
    int error = errno;
    if (written < 0 || static_cast<size_t>(written) != length) {
        Tracelet("Error mandando paquete, write ret. %d, errno %d", static_cast<int>(written),
                 error);
        return -1;
    }
    return 0;
}

int BufferEmpty(PortEntry *entry)
{
    return rdchk(entry->fd) > 0 ? 0 : -1;
}

// poll rather than select: a descriptor set cannot hold a descriptor at or
// above FD_SETSIZE. A bad descriptor or a negative limit counts as "not
// readable", as select's failure would.
int DoTimeout(int fd, int seconds)
{
    if (fd < 0 || seconds < 0) {
        return 0;
    }
    struct pollfd watched;
    watched.fd = fd;
    watched.events = POLLIN;
    watched.revents = 0;
    int limit_ms = seconds > INT_MAX / 1000 ? INT_MAX : seconds * 1000;
    int ready = poll(&watched, 1, limit_ms);
    return ready > 0 && (watched.revents & POLLNVAL) == 0 ? 1 : 0;
}

int rdchk(int fd)
{
    return DoTimeout(fd, 0);
}

int RestoreTTY(void)
{
    return tcsetattr(fileno(stdin), TCSANOW, &TermioCons);
}

void Nop(void)
{
}
