// The reply texts the server writes back to its clients (docs/server.md).
#include "fiscald_reply.h"
#include "clientprotocol.h"
#include "fiscalframe.h"

#include <stdio.h>
#include <string.h>

static const char FIELD_SEPARATOR = CLIENT_FS;

// The client takes any receive holding "DC2" or "DC4" for an interim reply
// and waits on, so a final reply must never hold them: an answer field such
// as an item called "DC2", or a status word 0x0DC4, would otherwise leave the
// client waiting for a reply that never comes. The 'C' of every such triple
// is sent in lower case; hexadecimal readers take "0Dc4" as well.
static void MaskInterimMarks(char *text, int length)
{
    for (int i = 0; i + 2 < length; i++) {
        if (text[i] == 'D' && text[i + 1] == 'C' && (text[i + 2] == '2' || text[i + 2] == '4')) {
            text[i + 1] = 'c';
        }
    }
}

// Formats what fits and keeps the length within the buffer and the one-send
// limit: a long answer is cut, never spilled into a second send.
static int Bounded(char *out, size_t size, int written)
{
    int limit = (int)size - 1;
    if (limit > CLIENT_REPLY_MAX) {
        limit = CLIENT_REPLY_MAX;
    }
    if (written < 0) {
        written = 0;
    }
    if (written > limit) {
        written = limit;
    }
    out[written] = '\0';
    MaskInterimMarks(out, written);
    return written;
}

int ReplyAnswer(char *out, size_t size, unsigned short status1, unsigned short status2,
                const char *fields)
{
    int written;
    if (size == 0) {
        return 0;
    }
    if (fields != nullptr && fields[0] != '\0') {
        written = snprintf(out, size, "%04X%c%04X%c%s", status1, FIELD_SEPARATOR, status2,
                           FIELD_SEPARATOR, fields);
    } else {
        written = snprintf(out, size, "%04X%c%04X", status1, FIELD_SEPARATOR, status2);
    }
    return Bounded(out, size, written);
}

int ReplyError(char *out, size_t size, const char *reason, const char *outcome)
{
    if (size == 0) {
        return 0;
    }
    return Bounded(out, size,
                   snprintf(out, size, "%s%c%s%c%s", CLIENT_ERROR_TAG, FIELD_SEPARATOR, reason,
                            FIELD_SEPARATOR, outcome));
}

const char *ReplyInterim(int kind)
{
    return kind == FRAME_DC4 ? CLIENT_INTERIM_PAPER : CLIENT_INTERIM_WORKING;
}
