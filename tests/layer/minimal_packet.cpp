// A packet layer with only the two calls the driver needs, and the least
// that speaks to the controller (docs/framing.md): one frame out, the answer
// waited for through the keep-alives, a few tries of that same frame. It
// stands for a layer from outside the kit: fiscald_minimal_layer is the
// server built with it, and it leaves PortControl's storage to the program,
// as such a layer may.
#include "fiscalframe.h"
#include "monoclock.h"
#include "ttywire.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { TRY_ANSWERED, TRY_AGAIN, TRY_FAILED };

static const int SILENCE_MS = 500;         // a try ends after this long without a byte
static const int CALL_LIMIT_MS = 130000;   // bytes that keep coming stop extending it here
static const int STALE_BYTES_MAX = 4096;   // read and dropped before a command
static const int ANSWER_SIZE = 500;        // what MandaPaqueteFiscal may write, terminator included
static const int COMMAND_MAX = 400;

static int Retries = 3;
static unsigned char NextSeq;

int SetCommandRetries(int count)
{
    int previous = Retries;
    Retries = count;
    return previous;
}

// The controller answers a frame that repeats its last one from memory, so
// a new program starts its numbers somewhere else than the last one did.
static unsigned char TakeSeq(void)
{
    const int span = FRAME_SEQ_LAST - FRAME_SEQ_FIRST + 1;
    if (NextSeq == 0) {
        unsigned long seed = (unsigned long)time(nullptr) ^ ((unsigned long)getpid() << 3);
        NextSeq = (unsigned char)(FRAME_SEQ_FIRST + seed % span);
    }
    unsigned char seq = NextSeq;
    NextSeq = seq == FRAME_SEQ_LAST ? FRAME_SEQ_FIRST : (unsigned char)(seq + 1);
    return seq;
}

static int DropStaleBytes(int fd)
{
    unsigned char block[256];
    for (int dropped = 0; dropped < STALE_BYTES_MAX; dropped += (int)sizeof block) {
        ssize_t got = read(fd, block, sizeof block);
        if (got < 0 && errno != EAGAIN) {
            return -1;
        }
        if (got < (ssize_t)sizeof block) {
            break;
        }
    }
    return 0;
}

static int TakeAnswer(const FrameReader *reader, unsigned short *status1, unsigned short *status2,
                      char *answer)
{
    unsigned short first = 0;
    unsigned short second = 0;
    const char *fields = "";
    if (FrameParseAnswer(reader->body, reader->body_len, &first, &second, &fields) != 0) {
        return TRY_AGAIN;
    }
    if (status1 != nullptr) {
        *status1 = first;
    }
    if (status2 != nullptr) {
        *status2 = second;
    }
    if (answer != nullptr) {
        size_t length = strlen(fields);
        length = length < (size_t)ANSWER_SIZE - 1 ? length : (size_t)ANSWER_SIZE - 1;
        memcpy(answer, fields, length);
        answer[length] = '\0';
    }
    return TRY_ANSWERED;
}

// One byte of what came back: TRY_AGAIN ends the try, -1 means go on.
static int TakeByte(FrameReader *reader, unsigned char byte, unsigned char seq,
                    unsigned short *status1, unsigned short *status2, char *answer)
{
    int pushed = FrameReaderPush(reader, byte);
    if (pushed == FRAME_DONE && reader->seq == seq) {
        return TakeAnswer(reader, status1, status2, answer);
    }
    if (pushed == FRAME_BAD || (pushed == FRAME_CONTROL && reader->control == FRAME_NAK)) {
        return TRY_AGAIN;
    }
    return -1;   // more to come, a keep-alive, or a late answer to an earlier frame
}

static int OneTry(int fd, const char *frame, int length, unsigned char seq, long long call_end,
                  unsigned short *status1, unsigned short *status2, char *answer)
{
    FrameReader reader;
    FrameReaderReset(&reader);
    if (write(fd, frame, (size_t)length) != length) {
        return TRY_FAILED;
    }
    long long silence_end = MonotonicMs() + SILENCE_MS;
    for (;;) {
        long long now = MonotonicMs();
        if (now >= call_end) {
            return TRY_FAILED;
        }
        if (now >= silence_end) {
            return TRY_AGAIN;
        }
        long long until = silence_end < call_end ? silence_end : call_end;
        struct pollfd wanted = {fd, POLLIN, 0};
        if (poll(&wanted, 1, (int)(until - now)) <= 0) {
            continue;
        }
        unsigned char block[256];
        ssize_t got = read(fd, block, sizeof block);
        if (got < 0 && errno == EAGAIN) {
            continue;
        }
        if (got <= 0) {
            return TRY_FAILED;   // hung up or failing
        }
        silence_end = MonotonicMs() + SILENCE_MS;
        for (ssize_t i = 0; i < got; i++) {
            int outcome = TakeByte(&reader, block[i], seq, status1, status2, answer);
            if (outcome >= 0) {
                return outcome;
            }
        }
    }
}

int MandaPaqueteFiscal(int port, const char *command, unsigned short *status1,
                       unsigned short *status2, char *answer)
{
    char frame[FRAME_MAX_WIRE];
    if (answer != nullptr) {
        answer[0] = '\0';
    }
    if (port < 0 || port >= TTYWIRE_PORTS || !PortControl[port].in_use || command == nullptr ||
        strlen(command) > (size_t)COMMAND_MAX) {
        return -1;
    }
    unsigned char seq = TakeSeq();
    int length = FrameEncode(seq, command, (int)strlen(command), frame, (int)sizeof frame);
    int fd = PortControl[port].fd;
    if (length < 0 || DropStaleBytes(fd) != 0) {
        return -1;
    }
    long long call_end = MonotonicMs() + CALL_LIMIT_MS;
    int outcome = TRY_AGAIN;
    // Every try sends the same frame: one that ran is answered from memory.
    for (int attempt = 0; attempt < (Retries < 1 ? 1 : Retries) && outcome == TRY_AGAIN;
         attempt++) {
        outcome = OneTry(fd, frame, length, seq, call_end, status1, status2, answer);
    }
    return outcome == TRY_ANSWERED ? 0 : -1;
}
