/*
 * fiscald_reply - the texts the server writes back to its clients. Each
 * returns the length written (at most CLIENT_REPLY_MAX, NUL-terminated);
 * a final reply never holds "DC2" or "DC4" (their 'C' is sent as 'c').
 *
 *   ReplyAnswer(out, size, s1, s2, fields)  "SSSS<FS>TTTT[<FS>fields]"
 *   ReplyError(out, size, reason, outcome)  "ERR<FS>reason<FS>outcome"
 *   ReplyInterim(kind)      "DC2" (FRAME_DC2, working) or "DC4" (paper)
 */
#ifndef FISCALD_REPLY_H
#define FISCALD_REPLY_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

int ReplyAnswer(char *out, size_t size, unsigned short status1, unsigned short status2,
                const char *fields);
int ReplyError(char *out, size_t size, const char *reason, const char *outcome);
const char *ReplyInterim(int kind);

#ifdef __cplusplus
}
#endif

#endif
