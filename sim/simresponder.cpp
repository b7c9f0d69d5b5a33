// One command at a time: while a command works (S, P) frames are ignored and
// keep-alives go out; then the answer. A frame that repeats the last one's
// sequence byte and body is a host's retry: it gets the kept answer, at any
// time later and across an unplugged line, as a controller's memory would.
#include "simresponder.h"
#include "fiscalframe.h"
#include "simcommands.h"
#include "siminternal.h"
#include "simjournal.h"
#include "simline.h"
#include "simsettings.h"

#include <string.h>

static FrameReader Reader;
static int HaveLast;
static unsigned char LastSeq;
static char LastBody[FRAME_MAX_BODY + 1];
static int LastBodyLen;
static char LastAnswer[FRAME_MAX_WIRE];
static int Pending;
// Timers in microseconds, the wire's clock; work and delays are set in ms.
static const long long US_PER_MS = 1000;
static long long SendAt;
static long long KeepAliveUntil;
static long long NextKeepAlive;
static int KeepAliveKind;

void SimResponderReset(void)
{
    SimResponderLineLost();
    HaveLast = 0;
}

void SimResponderLineLost(void)
{
    FrameReaderReset(&Reader);
    Pending = 0;
}

static void Send(const char *bytes, int len, const SimSettings *settings, long long now_us)
{
    SimLineSend(bytes, len, settings->baud, settings->wire, now_us);
}

static void SendAnswer(const SimSettings *settings, long long now_us)
{
    char damaged[FRAME_MAX_WIRE];
    const char *answer = LastAnswer;
    int len = (int)strlen(LastAnswer);
    if (SimFaultTakeGarble()) {
        memcpy(damaged, LastAnswer, (size_t)len + 1);
        damaged[len - 1] = damaged[len - 1] == '0' ? '1' : '0';   // last checksum digit
        answer = damaged;
    }
    Send(answer, len, settings, now_us);
}

// A new command: run it, and keep its answer for a repeat of the frame.
static int RunCommand(const FrameReader *frame, const SimSettings *settings)
{
    SimReply reply;
    SimExecute(frame->body, frame->body_len, settings->busy_ms, &reply);
    SimJournalRecord(frame->body, frame->body_len);
    SimCountCommand();
    if (FrameEncodeAnswer(frame->seq, reply.status1, reply.status2, reply.fields, LastAnswer,
                          (int)sizeof LastAnswer) < 0) {
        FrameEncodeAnswer(frame->seq, reply.status1, reply.status2, "", LastAnswer,
                          (int)sizeof LastAnswer);
    }
    HaveLast = 1;
    LastSeq = frame->seq;
    LastBodyLen = frame->body_len;
    memcpy(LastBody, frame->body, (size_t)frame->body_len + 1);
    KeepAliveKind = reply.busy_kind;
    return reply.busy_ms;
}

static void OnFrame(const FrameReader *frame, const SimSettings *settings, long long now_us)
{
    SimCountFrame();
    // Busy with the previous command, deaf at this speed, or told to drop it.
    if (Pending || !SimLineAtRate(settings->baud) || SimFaultTakeDrop()) {
        return;
    }
    int late = SimFaultTakeLate();
    int repeated = HaveLast && frame->seq == LastSeq && frame->body_len == LastBodyLen &&
                   memcmp(frame->body, LastBody, (size_t)LastBodyLen) == 0;
    int busy = repeated ? 0 : RunCommand(frame, settings);
    Pending = 1;
    KeepAliveUntil = now_us + busy * US_PER_MS;
    NextKeepAlive = now_us + SIM_KEEPALIVE_MS * US_PER_MS;
    SendAt = now_us + ((long long)busy + late) * US_PER_MS;
}

void SimResponderTake(const unsigned char *bytes, int count, const SimSettings *settings,
                      long long now_us)
{
    for (int i = 0; i < count; i++) {
        int pushed = FrameReaderPush(&Reader, bytes[i]);
        if (pushed == FRAME_DONE) {
            OnFrame(&Reader, settings, now_us);
        } else if (pushed == FRAME_BAD && !Pending && SimLineAtRate(settings->baud)) {
            char nak = (char)FRAME_NAK;
            Send(&nak, 1, settings, now_us);
        }
    }
}

void SimResponderRunTimers(const SimSettings *settings, long long now_us)
{
    if (!Pending) {
        return;
    }
    while (NextKeepAlive <= KeepAliveUntil && NextKeepAlive <= now_us) {
        char kind = (char)KeepAliveKind;
        if (SimLineAtRate(settings->baud)) {
            Send(&kind, 1, settings, now_us);
        }
        NextKeepAlive += SIM_KEEPALIVE_MS * US_PER_MS;
    }
    if (now_us >= SendAt) {
        Pending = 0;
        if (SimLineAtRate(settings->baud)) {
            SendAnswer(settings, now_us);
        }
    }
}

long long SimResponderNextUs(void)
{
    if (!Pending) {
        return -1;
    }
    return NextKeepAlive <= KeepAliveUntil && NextKeepAlive < SendAt ? NextKeepAlive : SendAt;
}
