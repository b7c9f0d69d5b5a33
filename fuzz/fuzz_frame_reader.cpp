// The packet layer's frame reader fed random bytes from the line. Every frame
// it accepts must be within its limits, parse or be refused cleanly as an
// answer, and come back unchanged through the encoder and the reader again.
#include "fiscalframe.h"

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

static void CheckRoundTrip(const FrameReader *reader)
{
    static char wire[FRAME_MAX_WIRE + 1];
    // A body with a NUL cannot be encoded (the encoder says so); any other
    // accepted body must survive a round trip.
    int encoded = FrameEncode(reader->seq, reader->body, reader->body_len, wire, sizeof wire);
    if (memchr(reader->body, '\0', (size_t)reader->body_len) != nullptr) {
        if (encoded != -1) {
            abort();
        }
        return;
    }
    if (encoded <= 0 || encoded > FRAME_MAX_WIRE) {
        abort();
    }
    FrameReader again;
    FrameReaderReset(&again);
    int result = FRAME_MORE;
    for (int i = 0; i < encoded && result == FRAME_MORE; i++) {
        result = FrameReaderPush(&again, (unsigned char)wire[i]);
    }
    if (result != FRAME_DONE || again.seq != reader->seq || again.body_len != reader->body_len ||
        memcmp(again.body, reader->body, (size_t)reader->body_len) != 0) {
        abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FrameReader reader;
    FrameReaderReset(&reader);
    for (size_t i = 0; i < size; i++) {
        int result = FrameReaderPush(&reader, data[i]);
        if (result == FRAME_DONE) {
            if (reader.body_len < 0 || reader.body_len > FRAME_MAX_BODY ||
                reader.body[reader.body_len] != '\0' || reader.seq < FRAME_SEQ_FIRST ||
                reader.seq > FRAME_SEQ_LAST) {
                abort();
            }
            unsigned short status1 = 0;
            unsigned short status2 = 0;
            const char *fields = nullptr;
            if (FrameParseAnswer(reader.body, reader.body_len, &status1, &status2, &fields) == 0) {
                if (fields == nullptr || fields < reader.body ||
                    fields > reader.body + reader.body_len) {
                    abort();
                }
                static char answer[FRAME_MAX_WIRE + 1];
                (void)FrameEncodeAnswer(reader.seq, status1, status2, fields, answer,
                                        sizeof answer);
            }
            CheckRoundTrip(&reader);
        } else if (result != FRAME_MORE && result != FRAME_CONTROL && result != FRAME_BAD) {
            abort();
        }
    }
    (void)FrameChecksum(data, (int)size);
    return 0;
}
