/*
 * fiscalpacket - the packet layer behind ttywire's MandaPaqueteFiscal and
 * SetCommandRetries (declared in ttywire.h), with what a host needs beyond
 * them. Frames are described in docs/framing.md.
 *
 *   MandaPaqueteFiscal(port, cmd, &s1, &s2, answer)  0 answered, -1 not
 *   SetCommandRetries(count)     tries per command (default 3); previous count
 *   PacketLastError()            why the last MandaPaqueteFiscal failed
 *   SetPacketTryLimit(ms)        silence that ends one try; previous limit
 *   SetPacketWaitHook(hook)      called for every keep-alive while the
 *                                controller works; previous hook
 *   PacketMayHaveRun()           after a failed call: 1 when the controller may
 *                                have run the command, 0 when it surely did not
 *   PacketLastSeq()              sequence byte of the last call's frame
 *   SetPacketNextSeq(port, seq)  the next call on port uses this sequence byte:
 *                                a resend under the same byte is answered from
 *                                the controller's memory if it ran; 0 or -1
 */
#ifndef FISCALPACKET_H
#define FISCALPACKET_H

#include "ttywire.h"

#ifdef __cplusplus
extern "C" {
#endif

#define PACKET_DEFAULT_RETRIES  3
#define PACKET_TRY_LIMIT_MS     500 /* default silence limit of one try */
#define PACKET_TRY_LIMIT_MIN_MS 300 /* above the controller's 200 ms keep-alive */
#define PACKET_TRY_LIMIT_MAX_MS 60000
/* A try ends this long past its limit even if bytes keep coming (noise). */
#define PACKET_FRAME_ALLOWANCE_MS 10000
#define PACKET_BUSY_LIMIT_MS      120000 /* keep-alives stop extending after this */
#define PACKET_MAX_COMMAND        400    /* command bytes, terminator excluded */

/* Bytes written into answer, terminator included: ttywire.h's figure. */
#define PACKET_ANSWER_SIZE TTYWIRE_ANSWER_SIZE

/* PacketLastError results */
#define PACKET_OK            0 /* the last command was answered */
#define PACKET_NO_ANSWER     1 /* every try ended in silence */
#define PACKET_REFUSED       2 /* the last try was refused (NAK) or its answer damaged */
#define PACKET_LINE_GONE     3 /* the device failed a read or write, or hung up */
#define PACKET_BAD_PORT      4 /* slot out of 0-9 or not open */
#define PACKET_BAD_COMMAND   5 /* no command, or longer than PACKET_MAX_COMMAND */
#define PACKET_BUSY_TOO_LONG 6 /* still busy after PACKET_BUSY_LIMIT_MS */

/* kind is FRAME_DC2 (0x12, working) or FRAME_DC4 (0x14, waiting for paper). */
typedef void (*PacketWaitHook)(int port, int kind);

int PacketLastError(void);
/* 0 also when the last call was answered. The frame counts as possibly run
 * once it was written whole, unless every try was refused with a NAK. */
int PacketMayHaveRun(void);
int PacketLastSeq(void); /* 0x20..0x7E, 0 before the first call */
/* -1 (nothing changed) for a port outside 0-9 or seq outside 0x20..0x7E. */
int SetPacketNextSeq(int port, int seq);
/* Refuses (returns -1, keeps the limit) values outside MIN..MAX. */
int SetPacketTryLimit(int milliseconds);
PacketWaitHook SetPacketWaitHook(PacketWaitHook hook);

#ifdef __cplusplus
}
#endif

#endif
