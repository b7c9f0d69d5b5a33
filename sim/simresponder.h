/*
 * simresponder - the controller's side of the framing (docs/framing.md):
 * frames in; answers, NAKs and keep-alives out; the last command and its
 * answer kept, so that a repeated frame is answered again without running
 * twice.
 *
 *   ResponderReset()                   a new simulator: no frame, nothing kept
 *   ResponderLineLost()                the line went: drop the half frame and
 *                                      the answer not yet sent; keep the last
 *   ResponderTake(bytes, count, settings, now)  bytes that crossed the wire
 *   ResponderRunTimers(settings, now)  keep-alives and answers that are due
 *   ResponderNextUs()                  when the next is due; -1 when none is
 *
 * Times are MonotonicUs() microseconds.
 */
#ifndef SIMRESPONDER_H
#define SIMRESPONDER_H

#include "simcontrols.h"

#ifdef __cplusplus
extern "C" {
#endif

void ResponderReset(void);
void ResponderLineLost(void);
void ResponderTake(const unsigned char *bytes, int count, const SimSettings *settings,
                   long long now_us);
void ResponderRunTimers(const SimSettings *settings, long long now_us);
long long ResponderNextUs(void);

#ifdef __cplusplus
}
#endif

#endif
