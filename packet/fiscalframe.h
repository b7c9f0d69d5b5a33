/*
 * fiscalframe - the line framing shared by the packet layer and the
 * controller simulator (described in docs/framing.md).
 *
 *   FrameEncode(seq, body, len, out, size)  one frame as a C string; its length or -1
 *   FrameEncodeAnswer(seq, s1, s2, fields, out, size)
 *                                           an answer frame: status words, FS, fields
 *   FrameReaderReset(reader)                forget any partial frame
 *   FrameReaderPush(reader, byte)           feed one received byte; FRAME_* below
 *   FrameParseAnswer(body, len, &s1, &s2, &fields)
 *                                           split an answer body; 0 or -1
 *   FrameChecksum(data, len)                CRC-16/CCITT (0x1021, start 0xFFFF)
 *   FrameSeqFirst(number)                   the sequence byte a number draws
 *   FrameSeqAfter(seq)                      the next sequence byte, wrapping
 */
#ifndef FISCALFRAME_H
#define FISCALFRAME_H

#ifdef __cplusplus
extern "C" {
#endif

#define FRAME_STX 0x02
#define FRAME_ETX 0x03
#define FRAME_ACK 0x06
#define FRAME_DC2 0x12 /* keep-alive: controller busy working */
#define FRAME_DC4 0x14 /* keep-alive: controller waiting (paper) */
#define FRAME_NAK 0x15 /* damaged frame received: send it again */
#define FRAME_ESC 0x1B
#define FRAME_FS  0x1C /* field separator, carried as is */

#define FRAME_SEQ_FIRST 0x20 /* sequence bytes run 0x20 .. 0x7E */
#define FRAME_SEQ_LAST  0x7E
#define FRAME_MAX_BODY  1024                     /* decoded body bytes a reader holds */
#define FRAME_MAX_WIRE  (2 * FRAME_MAX_BODY + 8) /* worst-case encoded frame */

/* FrameReaderPush results */
#define FRAME_MORE    0    /* nothing complete yet */
#define FRAME_DONE    1    /* a sound frame: seq, body, body_len are valid */
#define FRAME_CONTROL 2    /* a lone control byte outside a frame: in control */
#define FRAME_BAD     (-1) /* a frame was damaged (checksum, bad byte, too long) */

typedef struct FrameReader {
    int state;                     /* private: where in a frame we are */
    int escaped;                   /* private: previous byte was ESC */
    unsigned short crc;            /* private: running checksum */
    int check_digits;              /* private: checksum digits seen */
    unsigned int check_value;      /* private: checksum as received */
    unsigned char seq;             /* sequence byte of the last frame */
    unsigned char control;         /* the control byte of FRAME_CONTROL */
    int body_len;                  /* decoded body length, terminator excluded */
    char body[FRAME_MAX_BODY + 1]; /* decoded body, NUL-terminated */
} FrameReader;

unsigned short FrameChecksum(const unsigned char *data, int len);
/* -1 when seq is out of range, the body holds a NUL or the frame does not
 * fit out (size counts the terminator). */
int FrameEncode(unsigned char seq, const char *body, int len, char *out, int size);
int FrameEncodeAnswer(unsigned char seq, unsigned short status1, unsigned short status2,
                      const char *fields, char *out, int size);
void FrameReaderReset(FrameReader *reader);
int FrameReaderPush(FrameReader *reader, unsigned char byte);
/* *fields points into body: the text after the second status word and its
 * FS, or "" when there is none. */
int FrameParseAnswer(const char *body, int len, unsigned short *status1, unsigned short *status2,
                     const char **fields);
/* FRAME_SEQ_FIRST + number % 95: where a sequence starts. */
int FrameSeqFirst(unsigned long number);
/* seq + 1, or FRAME_SEQ_FIRST after FRAME_SEQ_LAST (or past it). */
int FrameSeqAfter(int seq);

#ifdef __cplusplus
}
#endif

#endif
