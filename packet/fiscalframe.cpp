// Framing shared by both ends of the line. Everything here is a pure function
// of its arguments (or of the reader it is given) so that the packet layer and
// the simulator cannot drift apart, and so that the reader can be fed any byte
// stream at all, noise included.
#include "fiscalframe.h"

#include <stdio.h>
#include <string.h>

enum { READER_IDLE, READER_SEQ, READER_BODY, READER_CHECK };

static unsigned short CrcStep(unsigned short crc, unsigned char byte)
{
    crc = (unsigned short)(crc ^ (byte << 8));
    for (int bit = 0; bit < 8; bit++) {
        crc = (crc & 0x8000) ? (unsigned short)((crc << 1) ^ 0x1021) : (unsigned short)(crc << 1);
    }
    return crc;
}

unsigned short FrameChecksum(const unsigned char *data, int len)
{
    unsigned short crc = 0xFFFF;
    for (int i = 0; i < len; i++) {
        crc = CrcStep(crc, data[i]);
    }
    return crc;
}

// Control bytes other than FS never travel raw inside a frame, so a lone
// STX, ETX, NAK or keep-alive byte on the line is never mistaken for data.
static int NeedsEscape(unsigned char byte)
{
    return byte < 0x20 && byte != FRAME_FS;
}

int FrameEncode(unsigned char seq, const char *body, int len, char *out, int size)
{
    if (seq < FRAME_SEQ_FIRST || seq > FRAME_SEQ_LAST || len < 0 || size < 1) {
        return -1;
    }
    // What must still fit after the body: ETX, four checksum digits, terminator.
    const int tail = 6;
    int pos = 0;
    int result = -1;
    if (size < 2 + tail) {
        return -1;
    }
    out[pos++] = (char)FRAME_STX;
    out[pos++] = (char)seq;
    for (int i = 0; i < len; i++) {
        unsigned char byte = (unsigned char)body[i];
        if (byte == 0) {
            goto done;
        }
        if (NeedsEscape(byte)) {
            if (pos + 2 + tail > size) {
                goto done;
            }
            out[pos++] = (char)FRAME_ESC;
            out[pos++] = (char)(byte + 0x40);
        } else {
            if (pos + 1 + tail > size) {
                goto done;
            }
            out[pos++] = (char)byte;
        }
    }
    out[pos++] = (char)FRAME_ETX;
    {
        unsigned short crc = FrameChecksum((const unsigned char *)out + 1, pos - 1);
        snprintf(out + pos, (size_t)(size - pos), "%04X", crc);
    }
    pos += 4;
    result = pos;
done:
    if (result < 0) {
        out[0] = '\0';
    }
    return result;
}

int FrameEncodeAnswer(unsigned char seq, unsigned short status1, unsigned short status2,
                      const char *fields, char *out, int size)
{
    char body[FRAME_MAX_BODY + 1];
    int len;
    if (fields != nullptr && fields[0] != '\0') {
        len = snprintf(body, sizeof body, "%04X%c%04X%c%s", status1, FRAME_FS, status2, FRAME_FS,
                       fields);
    } else {
        len = snprintf(body, sizeof body, "%04X%c%04X", status1, FRAME_FS, status2);
    }
    if (len < 0 || len > FRAME_MAX_BODY) {
        if (size > 0) {
            out[0] = '\0';
        }
        return -1;
    }
    return FrameEncode(seq, body, len, out, size);
}

void FrameReaderReset(FrameReader *reader)
{
    reader->state = READER_IDLE;
    reader->escaped = 0;
    reader->crc = 0xFFFF;
    reader->check_digits = 0;
    reader->check_value = 0;
    reader->body_len = 0;
    reader->body[0] = '\0';
}

static void StartFrame(FrameReader *reader)
{
    FrameReaderReset(reader);
    reader->state = READER_SEQ;
}

static int Damaged(FrameReader *reader)
{
    FrameReaderReset(reader);
    return FRAME_BAD;
}

static int AppendBody(FrameReader *reader, unsigned char byte)
{
    if (reader->body_len >= FRAME_MAX_BODY) {
        return Damaged(reader);
    }
    reader->body[reader->body_len++] = (char)byte;
    reader->body[reader->body_len] = '\0';
    return FRAME_MORE;
}

static int HexDigitValue(unsigned char byte)
{
    if (byte >= '0' && byte <= '9') {
        return byte - '0';
    }
    if (byte >= 'A' && byte <= 'F') {
        return byte - 'A' + 10;
    }
    return -1;
}

static int PushBodyByte(FrameReader *reader, unsigned char byte)
{
    reader->crc = CrcStep(reader->crc, byte);
    if (reader->escaped) {
        reader->escaped = 0;
        unsigned char plain = (unsigned char)(byte - 0x40);
        if (byte < 0x41 || byte > 0x5F || !NeedsEscape(plain)) {
            return Damaged(reader);
        }
        return AppendBody(reader, plain);
    }
    if (byte == FRAME_ESC) {
        reader->escaped = 1;
        return FRAME_MORE;
    }
    if (byte == FRAME_ETX) {
        reader->state = READER_CHECK;
        return FRAME_MORE;
    }
    if (NeedsEscape(byte)) {
        return Damaged(reader);
    }
    return AppendBody(reader, byte);
}

static int PushCheckByte(FrameReader *reader, unsigned char byte)
{
    int digit = HexDigitValue(byte);
    if (digit < 0) {
        return Damaged(reader);
    }
    reader->check_value = (reader->check_value << 4) | (unsigned int)digit;
    if (++reader->check_digits < 4) {
        return FRAME_MORE;
    }
    if (reader->check_value != reader->crc) {
        return Damaged(reader);
    }
    reader->state = READER_IDLE;
    return FRAME_DONE;
}

int FrameReaderPush(FrameReader *reader, unsigned char byte)
{
    if (reader->state == READER_IDLE) {
        if (byte == FRAME_STX) {
            StartFrame(reader);
            return FRAME_MORE;
        }
        if (byte == FRAME_ACK || byte == FRAME_DC2 || byte == FRAME_DC4 || byte == FRAME_NAK) {
            reader->control = byte;
            return FRAME_CONTROL;
        }
        return FRAME_MORE;   // noise between frames
    }
    if (byte == FRAME_STX) {
        // A frame cut short by a new one: the old one is lost, the new one counts.
        StartFrame(reader);
        return FRAME_BAD;
    }
    if (reader->state == READER_SEQ) {
        if (byte < FRAME_SEQ_FIRST || byte > FRAME_SEQ_LAST) {
            return Damaged(reader);
        }
        reader->seq = byte;
        reader->crc = CrcStep(reader->crc, byte);
        reader->state = READER_BODY;
        return FRAME_MORE;
    }
    if (reader->state == READER_BODY) {
        return PushBodyByte(reader, byte);
    }
    return PushCheckByte(reader, byte);
}

static int ParseHexWord(const char *text, unsigned short *value)
{
    unsigned int result = 0;
    for (int i = 0; i < 4; i++) {
        int digit = HexDigitValue((unsigned char)text[i]);
        if (digit < 0) {
            return -1;
        }
        result = (result << 4) | (unsigned int)digit;
    }
    *value = (unsigned short)result;
    return 0;
}

int FrameParseAnswer(const char *body, int len, unsigned short *status1, unsigned short *status2,
                     const char **fields)
{
    unsigned short first;
    unsigned short second;
    if (len < 9 || (unsigned char)body[4] != FRAME_FS) {
        return -1;
    }
    if (ParseHexWord(body, &first) != 0 || ParseHexWord(body + 5, &second) != 0) {
        return -1;
    }
    if (len > 9 && (unsigned char)body[9] != FRAME_FS) {
        return -1;
    }
    *status1 = first;
    *status2 = second;
    *fields = len > 9 ? body + 10 : body + len;
    return 0;
}

int FrameSeqFirst(unsigned long number)
{
    const unsigned long span = FRAME_SEQ_LAST - FRAME_SEQ_FIRST + 1;
    return FRAME_SEQ_FIRST + (int)(number % span);
}

int FrameSeqAfter(int seq)
{
    return seq >= FRAME_SEQ_LAST ? FRAME_SEQ_FIRST : seq + 1;
}
