/*
 * packetcalls - the packet layer's calls beyond MandaPaqueteFiscal and
 * SetCommandRetries, as the line worker uses them. The build finds which of
 * them the layer offers (cmake/KitPacketLayer.cmake); for a call the layer
 * lacks, what the worker can do without it stands in (docs/packet-layer.md).
 *
 *   LayerOffers(calls)          1 when the layer has every call of LAYER_* calls
 *   LayerLastError(port)        after a failed command: a PACKET_* reason
 *   LayerMayHaveRun()           after a failed command: 1 it may have run
 *   LayerDeviceGone(port)       1 when the port's device hung up or fails
 *   LayerSetNextSeq(port, seq)  the next command goes under seq: 0, or -1 not
 *   LayerSetTryLimit(ms)        silence that ends one try: 0, or -1 not set
 *   LayerSetWaitHook(hook)      keep-alives reach hook, where the layer can
 */
#ifndef PACKETCALLS_H
#define PACKETCALLS_H

#include "fiscalpacket.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The calls, one bit each, for LayerOffers. */
enum LayerCall {
    LAYER_LAST_ERROR = 1,   /* PacketLastError */
    LAYER_MAY_HAVE_RUN = 2, /* PacketMayHaveRun */
    LAYER_NEXT_SEQ = 4,     /* SetPacketNextSeq */
    LAYER_TRY_LIMIT = 8,    /* SetPacketTryLimit */
    LAYER_WAIT_HOOK = 16    /* SetPacketWaitHook */
};

int LayerOffers(int calls);
/* Without PacketLastError: PACKET_LINE_GONE when the device says so, else
 * PACKET_NO_ANSWER (PACKET_BAD_PORT for a port that is not open). */
int LayerLastError(int port);
/* Without PacketMayHaveRun: 1, for every failure. */
int LayerMayHaveRun(void);
int LayerDeviceGone(int port);
int LayerSetNextSeq(int port, int seq);
int LayerSetTryLimit(int milliseconds);
void LayerSetWaitHook(PacketWaitHook hook);

#ifdef __cplusplus
}
#endif

#endif
