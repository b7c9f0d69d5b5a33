/*
 * simresponder - the controller's side of the framing (docs/framing.md):
 * frames in; answers, NAKs and keep-alives out; the last command and its
 * answer kept, so that a repeated frame is answered again without running
 * twice.
 *
 *   SimResponderReset()        a new simulator: no frame, nothing kept
 *   SimResponderLineLost()     the line went: drop the half frame and the
 *                              answer not yet sent; keep the last
 *   SimResponderTake(bytes, count, settings, now)  bytes that crossed the wire
 *   SimResponderRunTimers(settings, now)  keep-alives and answers that are due
 *   SimResponderNextUs()       when the next is due; -1 when none is
 *
 * Times are MonotonicUs() microseconds.
 */
#ifndef SIMRESPONDER_H
#define SIMRESPONDER_H

#include "simsettings.h"

#ifdef __cplusplus
extern "C" {
#endif

void SimResponderReset(void);
void SimResponderLineLost(void);
void SimResponderTake(const unsigned char *bytes, int count, const SimSettings *settings,
                      long long now_us);
void SimResponderRunTimers(const SimSettings *settings, long long now_us);
long long SimResponderNextUs(void);

#ifdef __cplusplus
}
#endif

#endif
