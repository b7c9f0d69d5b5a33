// The simulator keeps the slave open itself, so that the master neither
// reports a hang-up while no host has the port open nor loses the line's
// settings between two hosts; it never reads that descriptor.
#include "simline.h"
#include "ptypair.h"
#include "siminternal.h"
#include "simwire.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

static PtyPair Pty = {-1, -1, "", ""};
static char LinkPath[SIM_PATH_MAX];
// Every byte passes through these: paced with the wire on, at once without.
static SimWireQueue Outgoing;
static SimWireQueue Incoming;

static const struct {
    long baud;
    unsigned int code;
} SPEEDS[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
};

unsigned int SimLineSpeedCode(long baud)
{
    for (const auto &row : SPEEDS) {
        if (row.baud == baud) {
            return row.code;
        }
    }
    return 0;
}

static void UpdateLink(void)
{
    if (LinkPath[0] == '\0') {
        return;
    }
    const char *target = Pty.slave_path;
    unlink(LinkPath);
    if (symlink(target, LinkPath) != 0) {
        fprintf(stderr, "fiscalsim: cannot link %s to %s: %s\n", LinkPath, target, strerror(errno));
    }
}

int SimLinePlugIn(void)
{
    // Close-on-exec: a program started from a process that hosts the
    // simulator must not keep the pty alive after the simulator vanishes.
    // Opened aside, so that a failure leaves the last port name in place.
    PtyPair opened;
    if (PtyPairOpen(PTYPAIR_NONBLOCK | PTYPAIR_CLOEXEC | PTYPAIR_KEEP_SLAVE, &opened) != 0) {
        return -1;
    }
    Pty = opened;
    SimWireInit(&Outgoing);
    SimWireInit(&Incoming);
    UpdateLink();
    return 0;
}

int SimLineOpen(const char *link)
{
    if (link != nullptr && strlen(link) >= sizeof LinkPath) {
        errno = EINVAL;
        return -1;
    }
    snprintf(LinkPath, sizeof LinkPath, "%s", link != nullptr ? link : "");
    return SimLinePlugIn();
}

// What was on its way either way is lost with the line. The link goes too,
// as a by-id link does when its adapter is pulled: a host must not reach
// whatever pty takes the freed name meanwhile.
void SimLineUnplug(void)
{
    if (LinkPath[0] != '\0') {
        unlink(LinkPath);
    }
    PtyPairClose(&Pty);
    SimWireInit(&Outgoing);
    SimWireInit(&Incoming);
}

void SimLineClose(void)
{
    SimLineUnplug();
    if (LinkPath[0] != '\0') {
        unlink(LinkPath);
    }
    LinkPath[0] = '\0';
}

const char *SimLinePortName(void)
{
    return Pty.port_name;
}

// While the incoming queue is full the rest waits in the pty until the wire
// has carried what came before.
int SimLineFd(void)
{
    return SimWireSpace(&Incoming) > 0 ? Pty.master : -1;
}

// The line's speed as the host last set it, read through the slave the
// simulator holds. A pty carries bytes at any speed; this is where a wrong
// rate is made to matter.
int SimLineAtRate(long baud)
{
    struct termios line;
    if (Pty.slave < 0 || tcgetattr(Pty.slave, &line) != 0) {
        return 0;
    }
    return cfgetospeed(&line) == SimLineSpeedCode(baud);
}

void SimLineReadIn(long baud, long long now_us)
{
    unsigned char chunk[256];
    int room = SimWireSpace(&Incoming);
    if (Pty.master < 0 || room == 0) {
        return;
    }
    ssize_t got = read(Pty.master, chunk, room < (int)sizeof chunk ? (size_t)room : sizeof chunk);
    if (got > 0) {
        SimWireAdd(&Incoming, chunk, (int)got, baud, now_us);
    }
}

int SimLineTakeArrived(unsigned char *out, int size, int wire, long long now_us)
{
    return wire ? SimWireTake(&Incoming, out, size, now_us) : SimWireTakeAll(&Incoming, out, size);
}

void SimLineFlush(int wire, long long now_us)
{
    unsigned char batch[SIM_WIRE_QUEUE_SIZE];
    int count = wire ? SimWireTake(&Outgoing, batch, (int)sizeof batch, now_us)
                     : SimWireTakeAll(&Outgoing, batch, (int)sizeof batch);
    if (count > 0 && Pty.master >= 0) {
        // The master is non-blocking: what a full line cannot take is lost,
        // as on a wire nobody reads.
        ssize_t written = write(Pty.master, batch, (size_t)count);
        (void)written;
    }
}

void SimLineSend(const char *bytes, int len, long baud, int wire, long long now_us)
{
    if (Pty.master < 0) {
        return;
    }
    SimWireAdd(&Outgoing, (const unsigned char *)bytes, len, baud, now_us);
    SimLineFlush(wire, now_us);
}

long long SimLineNextUs(void)
{
    long long outgoing = SimWireNextUs(&Outgoing);
    long long incoming = SimWireNextUs(&Incoming);
    if (outgoing < 0 || (incoming >= 0 && incoming < outgoing)) {
        return incoming;
    }
    return outgoing;
}
