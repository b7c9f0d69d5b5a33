// The packet layer's extra calls, each the layer's own or a stand-in, chosen
// when the build is configured: cmake/KitPacketLayer.cmake links a test
// program against the layer for each call and sets FISCALD_LAYER_* to 1 or
// 0. Weak references could make the choice at link time instead, but a weak
// reference pulls no member out of a static library: a layer archive that
// keeps a call in a file of its own would lose it without a word. This file
// is the one place where the server differs by packet layer.
#include "packetcalls.h"

#include <poll.h>
#include <termios.h>

#if !defined(FISCALD_LAYER_LAST_ERROR) || !defined(FISCALD_LAYER_MAY_HAVE_RUN) ||                  \
    !defined(FISCALD_LAYER_NEXT_SEQ) || !defined(FISCALD_LAYER_TRY_LIMIT) ||                       \
    !defined(FISCALD_LAYER_WAIT_HOOK)
#error "FISCALD_LAYER_* (1 or 0) come from cmake/KitPacketLayer.cmake"
#endif

static const int OFFERED = (FISCALD_LAYER_LAST_ERROR ? LAYER_LAST_ERROR : 0) |
                           (FISCALD_LAYER_MAY_HAVE_RUN ? LAYER_MAY_HAVE_RUN : 0) |
                           (FISCALD_LAYER_NEXT_SEQ ? LAYER_NEXT_SEQ : 0) |
                           (FISCALD_LAYER_TRY_LIMIT ? LAYER_TRY_LIMIT : 0) |
                           (FISCALD_LAYER_WAIT_HOOK ? LAYER_WAIT_HOOK : 0);

int LayerOffers(int calls)
{
    return (OFFERED & calls) == calls;
}

static int PortOpen(int port)
{
    return port >= 0 && port < TTYWIRE_PORTS && PortControl[port].in_use;
}

// A device unplugged hangs up: poll says so even when asked for nothing, and
// the terminal's calls fail from then on.
int LayerDeviceGone(int port)
{
    if (!PortOpen(port)) {
        return 1;
    }
    struct pollfd watched;
    watched.fd = PortControl[port].fd;
    watched.events = 0;
    watched.revents = 0;
    if (poll(&watched, 1, 0) > 0 && (watched.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        return 1;
    }
    struct termios settings;
    return tcgetattr(PortControl[port].fd, &settings) != 0;
}

int LayerLastError(int port)
{
#if FISCALD_LAYER_LAST_ERROR
    (void)port;
    return PacketLastError();
#else
    // The layer does not say why: a device that is gone says so itself, and
    // any other failure is the one the worker can name, no answer.
    if (!PortOpen(port)) {
        return PACKET_BAD_PORT;
    }
    return LayerDeviceGone(port) ? PACKET_LINE_GONE : PACKET_NO_ANSWER;
#endif
}

int LayerMayHaveRun(void)
{
#if FISCALD_LAYER_MAY_HAVE_RUN
    return PacketMayHaveRun();
#else
    return 1;   // the frame may have left: nobody can say it did not run
#endif
}

int LayerSetNextSeq(int port, int seq)
{
#if FISCALD_LAYER_NEXT_SEQ
    return SetPacketNextSeq(port, seq);
#else
    (void)port;
    (void)seq;
    return -1;
#endif
}

int LayerSetTryLimit(int milliseconds)
{
#if FISCALD_LAYER_TRY_LIMIT
    return SetPacketTryLimit(milliseconds) < 0 ? -1 : 0;
#else
    (void)milliseconds;
    return -1;
#endif
}

void LayerSetWaitHook(PacketWaitHook hook)
{
#if FISCALD_LAYER_WAIT_HOOK
    SetPacketWaitHook(hook);
#else
    (void)hook;   // the server's own clock times the interim replies
#endif
}
