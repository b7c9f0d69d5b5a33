// One command, one answer, over the slot's descriptor. What the controller
// sends is read in blocks (one read takes whatever is waiting) and fed to the
// frame reader byte by byte. The waits are done with poll because the driver's
// own waits count whole seconds, far coarser than a try limit should be.
#include "fiscalpacket.h"
#include "fiscalframe.h"
#include "monoclock.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

// TRY_NAK and TRY_REFUSED both end in PACKET_REFUSED; only a NAK says for
// sure that the controller did not take the frame.
enum TryOutcome {
    TRY_ANSWERED,
    TRY_SILENT,
    TRY_REFUSED,
    TRY_NAK,
    TRY_LINE_GONE,
    TRY_BUSY_TOO_LONG
};

// Bytes read before a command to clear what an earlier exchange left behind;
// bounded so that a line full of noise cannot hold the caller.
static const int STALE_BYTES_MAX = 4096;
// One read takes at most this much; an answer frame is rarely longer.
static const int READ_BLOCK = 512;

static int CommandRetries = PACKET_DEFAULT_RETRIES;
static int TryLimitMs = PACKET_TRY_LIMIT_MS;
static PacketWaitHook WaitHook;
static int LastError = PACKET_OK;
static int LastMayHaveRun;
static unsigned char LastSeq;
static unsigned char NextSeq[TTYWIRE_PORTS];   // 0: not chosen yet

// One command as all of its tries share it: where it goes, what it is, the
// caller's places for the answer, and what the tries learnt.
struct CommandExchange {
    int port;                  // the slot the command goes out on
    const char *frame;         // the encoded command, the same for every try
    unsigned char seq;         // its sequence byte, which its answer carries
    long long busy_deadline;   // keep-alives stop extending the wait after this
    unsigned short *status1;   // the answer's first status word, or null
    unsigned short *status2;   // its second, or null
    char *answer;              // the answer's fields, or null
    int may_have_run;          // a frame reached a controller that may have run it
};

// What one try reads: its frame reader and when the last keep-alive came.
struct TryState {
    FrameReader reader;
    long long last_keepalive;   // 0 while none has come
};

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

int PacketMayHaveRun(void)
{
    return LastMayHaveRun;
}

int PacketLastSeq(void)
{
    return LastSeq;
}

int SetPacketTryLimit(int milliseconds)
{
    if (milliseconds < PACKET_TRY_LIMIT_MIN_MS || milliseconds > PACKET_TRY_LIMIT_MAX_MS) {
        return -1;
    }
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

int SetPacketNextSeq(int port, int seq)
{
    if (port < 0 || port >= TTYWIRE_PORTS || seq < FRAME_SEQ_FIRST || seq > FRAME_SEQ_LAST) {
        return -1;
    }
    NextSeq[port] = (unsigned char)seq;
    return 0;
}

// The controller replays its last answer when it sees the same sequence byte
// and command again, so a fresh program must not start where the last one
// stopped: the first number is taken from the clock and the process id.
static unsigned char TakeSeq(int port)
{
    if (NextSeq[port] == 0) {
        unsigned long seed = (unsigned long)time(nullptr) ^ ((unsigned long)getpid() << 3);
        NextSeq[port] = (unsigned char)FrameSeqFirst(seed + (unsigned long)port);
    }
    unsigned char seq = NextSeq[port];
    NextSeq[port] = (unsigned char)FrameSeqAfter(seq);
    return seq;
}

// Waits at most milliseconds for bytes and reads what is waiting: the count
// read, 0 when none came in time (or a signal woke the wait), -1 when the
// device failed or hung up.
static int ReadWaiting(int fd, unsigned char *block, int size, int milliseconds)
{
    struct pollfd wanted;
    wanted.fd = fd;
    wanted.events = POLLIN;
    wanted.revents = 0;
    int ready = poll(&wanted, 1, milliseconds);
    if (ready <= 0) {
        return 0;
    }
    ssize_t got = read(fd, block, (size_t)size);
    if (got > 0) {
        return (int)got;
    }
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
        return 0;
    }
    return -1;   // end of file, hang-up or an I/O error: the device is gone
}

static int DrainStaleBytes(int fd)
{
    unsigned char block[READ_BLOCK];
    for (int drained = 0; drained < STALE_BYTES_MAX; drained += READ_BLOCK) {
        int got = ReadWaiting(fd, block, (int)sizeof block, 0);
        if (got < 0) {
            return -1;
        }
        if (got < (int)sizeof block) {
            break;
        }
    }
    return 0;
}

static void CopyAnswer(const char *fields, char *answer)
{
    size_t length = strlen(fields);
    if (length > PACKET_ANSWER_SIZE - 1) {
        length = PACKET_ANSWER_SIZE - 1;
    }
    memcpy(answer, fields, length);
    answer[length] = '\0';
}

static int TakeAnswer(const FrameReader *reader, const struct CommandExchange *exchange)
{
    unsigned short first;
    unsigned short second;
    const char *fields;
    if (FrameParseAnswer(reader->body, reader->body_len, &first, &second, &fields) != 0) {
        return TRY_REFUSED;
    }
    if (exchange->status1 != nullptr) {
        *exchange->status1 = first;
    }
    if (exchange->status2 != nullptr) {
        *exchange->status2 = second;
    }
    if (exchange->answer != nullptr) {
        CopyAnswer(fields, exchange->answer);
    }
    return TRY_ANSWERED;
}

// One byte of what came back. TRY_SILENT here means "no outcome yet".
// A damaged frame or a NAK ends the try as refused, unless the controller's
// keep-alives say it is still working: sending the command again then would
// only be ignored at best, so the try waits for the answer or the silence.
static int PushAnswerByte(const struct CommandExchange *exchange, struct TryState *state,
                          unsigned char byte)
{
    FrameReader *reader = &state->reader;
    long long now = MonotonicMs();
    int working = state->last_keepalive != 0 && now - state->last_keepalive < TryLimitMs;
    int pushed = FrameReaderPush(reader, byte);
    if (pushed == FRAME_BAD) {
        return working ? TRY_SILENT : TRY_REFUSED;
    }
    if (pushed == FRAME_DONE) {
        // A sound frame with another sequence byte is a late answer to an
        // earlier command: it is passed over.
        return reader->seq == exchange->seq ? TakeAnswer(reader, exchange) : TRY_SILENT;
    }
    if (pushed != FRAME_CONTROL) {
        return TRY_SILENT;
    }
    if (reader->control == FRAME_NAK) {
        return working ? TRY_SILENT : TRY_NAK;
    }
    if (reader->control == FRAME_DC2 || reader->control == FRAME_DC4) {
        if (now > exchange->busy_deadline) {
            return TRY_BUSY_TOO_LONG;
        }
        state->last_keepalive = now;
        if (WaitHook != nullptr) {
            WaitHook(exchange->port, reader->control);
        }
    }
    return TRY_SILENT;
}

static int OneTry(struct CommandExchange *exchange)
{
    PortEntry *entry = &PortControl[exchange->port];
    struct TryState state;
    FrameReaderReset(&state.reader);
    state.last_keepalive = 0;
    if (SendCommand(entry, exchange->frame) != 0) {
        return TRY_LINE_GONE;
    }
    long long silence_deadline = MonotonicMs() + TryLimitMs;
    long long try_deadline = silence_deadline + PACKET_FRAME_ALLOWANCE_MS;
    int outcome = TRY_SILENT;
    for (;;) {
        long long now = MonotonicMs();
        long long until = silence_deadline < try_deadline ? silence_deadline : try_deadline;
        if (now >= until) {
            outcome = TRY_SILENT;
            break;
        }
        unsigned char block[READ_BLOCK];
        int got = ReadWaiting(entry->fd, block, (int)sizeof block, (int)(until - now));
        if (got < 0) {
            outcome = TRY_LINE_GONE;
            break;
        }
        if (got == 0) {
            continue;
        }
        silence_deadline = MonotonicMs() + TryLimitMs;
        long long keepalive_before = state.last_keepalive;
        outcome = TRY_SILENT;
        for (int i = 0; i < got && outcome == TRY_SILENT; i++) {
            outcome = PushAnswerByte(exchange, &state, block[i]);
        }
        if (outcome != TRY_SILENT) {
            break;
        }
        if (state.last_keepalive != keepalive_before) {
            try_deadline = silence_deadline + PACKET_FRAME_ALLOWANCE_MS;
        }
    }
    if (outcome != TRY_NAK) {
        exchange->may_have_run = 1;
    }
    return outcome;
}

static int ErrorFor(int outcome)
{
    switch (outcome) {
    case TRY_ANSWERED:
        return PACKET_OK;
    case TRY_REFUSED:
    case TRY_NAK:
        return PACKET_REFUSED;
    case TRY_LINE_GONE:
        return PACKET_LINE_GONE;
    case TRY_BUSY_TOO_LONG:
        return PACKET_BUSY_TOO_LONG;
    default:
        return PACKET_NO_ANSWER;
    }
}

int MandaPaqueteFiscal(int port, const char *command, unsigned short *status1,
                       unsigned short *status2, char *answer)
{
    char frame[FRAME_MAX_WIRE];
    int outcome = TRY_SILENT;
    if (answer != nullptr) {
        answer[0] = '\0';
    }
    LastMayHaveRun = 0;
    if (port < 0 || port >= TTYWIRE_PORTS || !PortControl[port].in_use) {
        LastError = PACKET_BAD_PORT;
        return -1;
    }
    size_t length = command != nullptr ? strlen(command) : 0;
    unsigned char seq = TakeSeq(port);
    LastSeq = seq;
    if (command == nullptr || length > PACKET_MAX_COMMAND ||
        FrameEncode(seq, command, (int)length, frame, (int)sizeof frame) < 0) {
        LastError = PACKET_BAD_COMMAND;
        return -1;
    }
    struct CommandExchange exchange = {.port = port,
                                       .frame = frame,
                                       .seq = seq,
                                       .busy_deadline = 0,
                                       .status1 = status1,
                                       .status2 = status2,
                                       .answer = answer,
                                       .may_have_run = 0};
    if (DrainStaleBytes(PortControl[port].fd) != 0) {
        outcome = TRY_LINE_GONE;
    } else {
        int tries = CommandRetries < 1 ? 1 : CommandRetries;
        exchange.busy_deadline = MonotonicMs() + PACKET_BUSY_LIMIT_MS;
        for (int attempt = 0; attempt < tries; attempt++) {
            outcome = OneTry(&exchange);
            if (outcome == TRY_ANSWERED || outcome == TRY_LINE_GONE ||
                outcome == TRY_BUSY_TOO_LONG) {
                break;
            }
        }
    }
    LastError = ErrorFor(outcome);
    LastMayHaveRun = outcome != TRY_ANSWERED && exchange.may_have_run;
    return outcome == TRY_ANSWERED ? 0 : -1;
}
