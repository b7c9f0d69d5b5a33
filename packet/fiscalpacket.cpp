// One command, one answer, over ttywire's byte calls. The waits are done with
// poll on the slot's descriptor because the driver's own waits count whole
// seconds, far coarser than a try limit should be.
#include "fiscalpacket.h"
#include "fiscalframe.h"

#include <poll.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum TryOutcome { TRY_ANSWERED, TRY_SILENT, TRY_REFUSED, TRY_LINE_GONE, TRY_BUSY_TOO_LONG };
enum WaitOutcome { WAIT_NONE, WAIT_BYTE, WAIT_GONE };

// Bytes read before a command to clear what an earlier exchange left behind;
// bounded so that a line full of noise cannot hold the caller.
static const int STALE_BYTES_MAX = 4096;

static int CommandRetries = PACKET_DEFAULT_RETRIES;
static int TryLimitMs = PACKET_TRY_LIMIT_MS;
static PacketWaitHook WaitHook;
static int LastError = PACKET_OK;
static unsigned char NextSeq[TTYWIRE_PORTS];   // 0: not chosen yet
static char WireFrame[FRAME_MAX_WIRE];
static FrameReader Reader;

int SetCommandRetries(int count)
{
    int previous = CommandRetries;
    CommandRetries = count;
    return previous;
}

int PacketLastError(void)
{
    return LastError;
}

int SetPacketTryLimit(int milliseconds)
{
    if (milliseconds < PACKET_TRY_LIMIT_MIN_MS || milliseconds > PACKET_TRY_LIMIT_MAX_MS)
        return -1;
    int previous = TryLimitMs;
    TryLimitMs = milliseconds;
    return previous;
}

PacketWaitHook SetPacketWaitHook(PacketWaitHook hook)
{
    PacketWaitHook previous = WaitHook;
    WaitHook = hook;
    return previous;
}

static long long NowMs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// The controller replays its last answer when it sees the same sequence byte
// and command again, so a fresh program must not start where the last one
// stopped: the first number is taken from the clock and the process id.
static unsigned char TakeSeq(int port)
{
    const int span = FRAME_SEQ_LAST - FRAME_SEQ_FIRST + 1;
    if (NextSeq[port] == 0) {
        unsigned long seed = (unsigned long)time(NULL) ^ ((unsigned long)getpid() << 3);
        NextSeq[port] = (unsigned char)(FRAME_SEQ_FIRST + (seed + (unsigned long)port) % span);
    }
    unsigned char seq = NextSeq[port];
    NextSeq[port] = seq == FRAME_SEQ_LAST ? FRAME_SEQ_FIRST : (unsigned char)(seq + 1);
    return seq;
}

static int WaitByte(PortEntry *entry, int milliseconds, unsigned char *out)
{
    struct pollfd wanted;
    wanted.fd = entry->fd;
    wanted.events = POLLIN;
    wanted.revents = 0;
    int ready = poll(&wanted, 1, milliseconds);
    if (ready <= 0)
        return WAIT_NONE;   // time up, or a signal: the caller looks at the clock again
    if (wanted.revents & POLLIN)
        return GetByte(entry, out) == 0 ? WAIT_BYTE : WAIT_GONE;
    return WAIT_GONE;       // hang-up or error with nothing left to read
}

static int DrainStaleBytes(PortEntry *entry)
{
    unsigned char byte;
    for (int count = 0; count < STALE_BYTES_MAX && BufferEmpty(entry) == 0; count++)
        if (GetByte(entry, &byte) != 0)
            return -1;
    return 0;
}

static void CopyAnswer(const char *fields, char *answer)
{
    size_t length = strlen(fields);
    if (length > PACKET_ANSWER_SIZE - 1)
        length = PACKET_ANSWER_SIZE - 1;
    memcpy(answer, fields, length);
    answer[length] = '\0';
}

static int TakeAnswer(unsigned short *status1, unsigned short *status2, char *answer)
{
    unsigned short first;
    unsigned short second;
    const char *fields;
    if (FrameParseAnswer(Reader.body, Reader.body_len, &first, &second, &fields) != 0)
        return TRY_REFUSED;
    if (status1 != NULL)
        *status1 = first;
    if (status2 != NULL)
        *status2 = second;
    if (answer != NULL)
        CopyAnswer(fields, answer);
    return TRY_ANSWERED;
}

static int OneTry(int port, unsigned char seq, long long busy_deadline, unsigned short *status1,
                  unsigned short *status2, char *answer)
{
    PortEntry *entry = &PortControl[port];
    if (SendCommand(entry, WireFrame) != 0)
        return TRY_LINE_GONE;
    long long silence_deadline = NowMs() + TryLimitMs;
    long long try_deadline = silence_deadline + PACKET_FRAME_ALLOWANCE_MS;
    for (;;) {
        long long now = NowMs();
        long long until = silence_deadline < try_deadline ? silence_deadline : try_deadline;
        if (now >= until)
            return TRY_SILENT;
        unsigned char byte;
        int waited = WaitByte(entry, (int)(until - now), &byte);
        if (waited == WAIT_GONE)
            return TRY_LINE_GONE;
        if (waited == WAIT_NONE)
            continue;
        silence_deadline = NowMs() + TryLimitMs;
        int pushed = FrameReaderPush(&Reader, byte);
        if (pushed == FRAME_BAD)
            return TRY_REFUSED;
        if (pushed == FRAME_DONE && Reader.seq == seq)
            return TakeAnswer(status1, status2, answer);
        // A sound frame with another sequence byte is a late answer to an
        // earlier command: it is passed over.
        if (pushed != FRAME_CONTROL)
            continue;
        if (Reader.control == FRAME_NAK)
            return TRY_REFUSED;
        if (Reader.control == FRAME_DC2 || Reader.control == FRAME_DC4) {
            if (NowMs() > busy_deadline)
                return TRY_BUSY_TOO_LONG;
            try_deadline = silence_deadline + PACKET_FRAME_ALLOWANCE_MS;
            if (WaitHook != NULL)
                WaitHook(port, Reader.control);
        }
    }
}

static int ErrorFor(int outcome)
{
    switch (outcome) {
    case TRY_ANSWERED: return PACKET_OK;
    case TRY_REFUSED: return PACKET_REFUSED;
    case TRY_LINE_GONE: return PACKET_LINE_GONE;
    case TRY_BUSY_TOO_LONG: return PACKET_BUSY_TOO_LONG;
    default: return PACKET_NO_ANSWER;
    }
}

int MandaPaqueteFiscal(int port, const char *command, unsigned short *status1,
                       unsigned short *status2, char *answer)
{
    int outcome = TRY_SILENT;
    if (answer != NULL)
        answer[0] = '\0';
    if (port < 0 || port >= TTYWIRE_PORTS || !PortControl[port].in_use) {
        LastError = PACKET_BAD_PORT;
        return -1;
    }
    size_t length = command != NULL ? strlen(command) : 0;
    unsigned char seq = TakeSeq(port);
    if (command == NULL || length > PACKET_MAX_COMMAND ||
        FrameEncode(seq, command, (int)length, WireFrame, (int)sizeof WireFrame) < 0) {
        LastError = PACKET_BAD_COMMAND;
        return -1;
    }
    FrameReaderReset(&Reader);
    if (DrainStaleBytes(&PortControl[port]) != 0) {
        outcome = TRY_LINE_GONE;
    } else {
        int tries = CommandRetries < 1 ? 1 : CommandRetries;
        long long busy_deadline = NowMs() + PACKET_BUSY_LIMIT_MS;
        for (int attempt = 0; attempt < tries; attempt++) {
            outcome = OneTry(port, seq, busy_deadline, status1, status2, answer);
            if (outcome == TRY_ANSWERED || outcome == TRY_LINE_GONE || outcome == TRY_BUSY_TOO_LONG)
                break;
        }
    }
    LastError = ErrorFor(outcome);
    return outcome == TRY_ANSWERED ? 0 : -1;
}
