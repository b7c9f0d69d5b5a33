// Commands from many clients onto the one line: first come, first served; a
// command whose client has left is never sent; a command whose outcome is
// unknown can be settled by sending it again, under the same sequence byte,
// so that it runs at most once (docs/server.md, "Unknown outcomes").
#include "fiscald.h"
#include "monoclock.h"
#include "tracelet.h"

#include <stdio.h>
#include <string.h>

// A command whose last reply said "unknown", kept for its client: its resend
// goes under the same sequence byte while the line has carried nothing since.
struct Unsettled {
    int in_use;
    long long client_id;
    unsigned int peer;
    int client_gone;   // a new connection from the same address may resend it
    long long frame;   // the line's frame count right after it was sent
    int seq;
    int length;
    char body[PACKET_MAX_COMMAND + 1];
    long long kept_since_ms;
};

// The command on the line, and who is waiting for it.
struct OnLine {
    int active;
    long long client_id;
    int seq;
    int resend;
    int length;
    char body[PACKET_MAX_COMMAND + 1];
};

static long long Queue[FISCALD_MAX_CLIENTS];   // client ids, oldest first
static int QueueHead;
static int QueueCount;
static struct Unsettled Unsettleds[FISCALD_MAX_CLIENTS];
// One past the highest entry in use: most of the time 0, and no command need
// look through the table (nor bring its pages into memory).
static int UnsettledTop;
static struct OnLine Running;
static long long HeldFor;   // client id the line waits for (its resend), 0: none
static long long HeldUntilMs;
static int Stopping;

static void TraceCommand(const char *what, const char *bytes, int length)
{
    char shown[FISCALD_REPLY_MAX + 1];
    ReplyPrintable(bytes, (size_t)length, shown, sizeof shown);
    Tracelet("fiscald: %s [%s]", what, shown);
}

static void Answer(int slot, const char *reply, int length, long long now)
{
    TraceCommand("respuesta", reply, length);
    ClientReply(slot, reply, length, now);
}

static void AnswerError(int slot, const char *reason, const char *outcome, long long now)
{
    char reply[FISCALD_REPLY_MAX + 1];
    int length = ReplyError(reply, sizeof reply, reason, outcome);
    Answer(slot, reply, length, now);
}

static struct Unsettled *FindUnsettled(int slot)
{
    long long id = ClientId(slot);
    for (int i = 0; i < UnsettledTop; i++) {
        struct Unsettled &kept = Unsettleds[i];
        if (!kept.in_use) {
            continue;
        }
        if (kept.client_id == id ||
            (kept.client_gone && kept.peer == ClientPeer(slot) && ClientIsFirstCommand(slot))) {
            return &kept;
        }
    }
    return nullptr;
}

static void Forget(struct Unsettled *kept)
{
    kept->in_use = 0;
    while (UnsettledTop > 0 && !Unsettleds[UnsettledTop - 1].in_use) {
        UnsettledTop--;
    }
}

static void Keep(long long client_id, unsigned int peer, int seq, const char *body, int length)
{
    struct Unsettled *slot_for = nullptr;
    for (int i = 0; i < UnsettledTop; i++) {
        struct Unsettled &kept = Unsettleds[i];
        if (kept.in_use && kept.client_id == client_id) {
            slot_for = &kept;
            break;
        }
        if (!kept.in_use && slot_for == nullptr) {
            slot_for = &kept;
        }
    }
    if (slot_for == nullptr && UnsettledTop < FISCALD_MAX_CLIENTS) {
        slot_for = &Unsettleds[UnsettledTop];
        UnsettledTop++;
    }
    if (slot_for == nullptr) {
        // Full: the oldest gives way.
        slot_for = &Unsettleds[0];
        for (struct Unsettled &kept : Unsettleds) {
            if (kept.kept_since_ms < slot_for->kept_since_ms) {
                slot_for = &kept;
            }
        }
    }
    slot_for->in_use = 1;
    slot_for->client_id = client_id;
    slot_for->peer = peer;
    slot_for->client_gone = 0;
    slot_for->frame = LineFrames();
    slot_for->seq = seq;
    slot_for->length = length;
    memcpy(slot_for->body, body, (size_t)length);
    slot_for->body[length] = '\0';
    slot_for->kept_since_ms = MonotonicMs();
}

// The kept command this client's command resends, or null when it is a new
// command (the same item sold twice on purpose is two commands: only the
// next command of the client that was told "unknown" is a resend).
static struct Unsettled *ResendOf(int slot, const char *command, int length)
{
    struct Unsettled *kept = FindUnsettled(slot);
    if (kept != nullptr && kept->length == length &&
        memcmp(kept->body, command, (size_t)length) == 0) {
        return kept;
    }
    return nullptr;
}

// A client's line ending (a command typed through a terminal program) is not
// part of the command: no controller command ends in CR or LF.
static int WithoutLineEnding(const char *command, int length)
{
    while (length > 0 && (command[length - 1] == '\n' || command[length - 1] == '\r')) {
        length--;
    }
    return length;
}

static void Enqueue(long long client_id)
{
    Queue[(QueueHead + QueueCount) % FISCALD_MAX_CLIENTS] = client_id;
    QueueCount++;
}

// The oldest queued client id; the queue is not empty.
static long long Dequeue(void)
{
    long long id = Queue[QueueHead];
    QueueHead = (QueueHead + 1) % FISCALD_MAX_CLIENTS;
    QueueCount--;
    return id;
}

void DispatchCommand(int slot, const char *command, int length, long long now)
{
    TraceCommand("comando", command, length);
    int usable = WithoutLineEnding(command, length);
    struct Unsettled *kept = ResendOf(slot, command, usable);
    int resend = kept != nullptr;
    if (kept != nullptr) {
        kept->client_id = ClientId(slot);   // a resend on a new connection takes it over
        kept->client_gone = 0;
    } else if (FindUnsettled(slot) != nullptr) {
        Forget(FindUnsettled(slot));   // the client has moved on
    }
    if (usable == 0 || usable > PACKET_MAX_COMMAND || memchr(command, '\0', (size_t)usable)) {
        // A NUL would cut the command short unseen; the rest would be lost.
        AnswerError(slot, REPLY_BAD_COMMAND, OUTCOME_NOT_SENT, now);
        return;
    }
    if (Stopping) {
        AnswerError(slot, REPLY_STOPPING, resend ? OUTCOME_UNKNOWN : OUTCOME_NOT_SENT, now);
        return;
    }
    if (LineState() == LINE_DOWN) {
        LineReopen(now, 1);
    }
    if (LineState() == LINE_DOWN) {
        AnswerError(slot, REPLY_LINE_DOWN, resend ? OUTCOME_UNKNOWN : OUTCOME_NOT_SENT, now);
        return;
    }
    if (HeldFor == ClientId(slot)) {
        // The client the line waits for: its command goes first.
        QueueHead = (QueueHead + FISCALD_MAX_CLIENTS - 1) % FISCALD_MAX_CLIENTS;
        Queue[QueueHead] = ClientId(slot);
        QueueCount++;
        HeldFor = 0;
        return;
    }
    Enqueue(ClientId(slot));
}

static void RemoveQueued(long long client_id)
{
    int kept_count = 0;
    for (int i = 0; i < QueueCount; i++) {
        long long id = Queue[(QueueHead + i) % FISCALD_MAX_CLIENTS];
        if (id != client_id) {
            Queue[(QueueHead + kept_count) % FISCALD_MAX_CLIENTS] = id;
            kept_count++;
        }
    }
    QueueCount = kept_count;
}

void DispatchClientGone(long long client_id)
{
    for (int i = 0; i < QueueCount; i++) {
        if (Queue[(QueueHead + i) % FISCALD_MAX_CLIENTS] == client_id) {
            Tracelet("fiscald: el cliente se fue antes de su turno: su comando no se envia");
            break;
        }
    }
    RemoveQueued(client_id);
    if (HeldFor == client_id) {
        HeldFor = 0;
    }
    for (int i = 0; i < UnsettledTop; i++) {
        if (Unsettleds[i].in_use && Unsettleds[i].client_id == client_id) {
            Unsettleds[i].client_gone = 1;
        }
    }
}

// The client's queued command onto the line, or its reply at once when it
// cannot go: 1 when the line took it.
static int Submit(int slot, long long now)
{
    int length = 0;
    const char *command = ClientCommand(slot, &length);
    length = WithoutLineEnding(command, length);
    struct Unsettled *kept = ResendOf(slot, command, length);
    int resend = kept != nullptr;
    int seq = 0;
    if (resend) {
        // Settleable only while the controller's memory still holds it: no
        // other frame may have crossed the line since.
        if (kept->frame != LineFrames()) {
            TraceCommand("reenvio ya no verificable, no se envia", command, length);
            AnswerError(slot, REPLY_UNSETTLED, OUTCOME_UNKNOWN, now);
            return 0;
        }
        seq = kept->seq;
        TraceCommand("reenvio con la misma secuencia", command, length);
    } else {
        seq = LineTakeSeq();
    }
    if (LineSubmit(command, length, seq) != 0) {
        AnswerError(slot, REPLY_LINE_DOWN, resend ? OUTCOME_UNKNOWN : OUTCOME_NOT_SENT, now);
        return 0;
    }
    Running.active = 1;
    Running.client_id = ClientId(slot);
    Running.seq = seq;
    Running.resend = resend;
    Running.length = length;
    memcpy(Running.body, command, (size_t)length);
    Running.body[length] = '\0';
    return 1;
}

void DispatchRun(long long now)
{
    if (HeldFor != 0 && now >= HeldUntilMs) {
        HeldFor = 0;
    }
    while (!Running.active && LineState() == LINE_READY && QueueCount > 0) {
        long long id = Queue[QueueHead];
        if (HeldFor != 0 && id != HeldFor) {
            return;   // the line waits for a resend
        }
        Dequeue();
        int slot = ClientSlot(id);
        if (slot < 0) {
            continue;
        }
        // Checked here, at the last moment: a command whose client has left
        // never runs.
        if (!ClientStillConnected(slot)) {
            continue;
        }
        Submit(slot, now);
    }
}

static const char *ReasonFor(int packet_error)
{
    switch (packet_error) {
    case PACKET_REFUSED:
        return REPLY_TRANSMISSION;
    case PACKET_LINE_GONE:
    case PACKET_BAD_PORT:
        return REPLY_LINE_DOWN;
    case PACKET_BAD_COMMAND:
        return REPLY_BAD_COMMAND;
    case PACKET_BUSY_TOO_LONG:
        return REPLY_BUSY;
    default:
        return REPLY_NO_ANSWER;
    }
}

// The reply for the command on the line, and what is kept of it.
static void Finish(const WorkerReport *report, long long now)
{
    char reply[FISCALD_REPLY_MAX + 1];
    int length;
    int slot = ClientSlot(Running.client_id);
    unsigned int peer = slot >= 0 ? ClientPeer(slot) : 0;
    Running.active = 0;
    if (report->answered) {
        length = ReplyAnswer(reply, sizeof reply, report->status1, report->status2, report->answer);
        for (int i = UnsettledTop - 1; i >= 0; i--) {
            if (Unsettleds[i].in_use && Unsettleds[i].client_id == Running.client_id) {
                Forget(&Unsettleds[i]);
            }
        }
    } else {
        // A resend that did not go through leaves the first send's outcome
        // as unknown as it was.
        int unknown = report->may_have_run || Running.resend;
        Tracelet("fiscald: el comando fallo (error %d del paquete%s)", report->packet_error,
                 unknown ? ", puede haberse ejecutado" : ", no se ejecuto");
        length = ReplyError(reply, sizeof reply, ReasonFor(report->packet_error),
                            unknown ? OUTCOME_UNKNOWN : OUTCOME_NOT_SENT);
        if (unknown) {
            Keep(Running.client_id, peer, Running.seq, Running.body, Running.length);
            if (slot >= 0 && !report->line_gone) {
                // Its resend should find the controller's memory as it is now.
                HeldFor = Running.client_id;
                HeldUntilMs = now + FISCALD_SETTLE_HOLD_MS;
            }
        }
    }
    if (slot < 0) {
        TraceCommand("respuesta sin cliente, descartada", reply, length);
        return;
    }
    Answer(slot, reply, length, now);
}

void DispatchReport(const WorkerReport *report, long long now)
{
    if (!Running.active) {
        return;
    }
    if (report->kind == REPORT_KEEPALIVE) {
        int slot = ClientSlot(Running.client_id);
        if (slot >= 0) {
            ClientSetWorking(slot, report->keepalive);
        }
    } else if (report->kind == REPORT_RESULT) {
        Finish(report, now);
    }
}

// The line went down: the command on it (if its result never came) may have
// run; the queued ones did not go and are told so now.
void DispatchLineDown(long long now)
{
    if (Running.active) {
        WorkerReport lost;
        memset(&lost, 0, sizeof lost);
        lost.kind = REPORT_RESULT;
        lost.packet_error = PACKET_LINE_GONE;
        lost.may_have_run = 1;
        lost.line_gone = 1;
        Finish(&lost, now);
    }
    while (QueueCount > 0) {
        long long id = Dequeue();
        int slot = ClientSlot(id);
        if (slot >= 0) {
            int length = 0;
            const char *command = ClientCommand(slot, &length);
            int resend = ResendOf(slot, command, WithoutLineEnding(command, length)) != nullptr;
            AnswerError(slot, REPLY_LINE_DOWN, resend ? OUTCOME_UNKNOWN : OUTCOME_NOT_SENT, now);
        }
    }
    HeldFor = 0;
}

// The server ends: queued commands are not sent; the one on the line is
// waited for (up to the stop limit, see DispatchGiveUp).
void DispatchStop(long long now)
{
    Stopping = 1;
    HeldFor = 0;
    while (QueueCount > 0) {
        long long id = Dequeue();
        int slot = ClientSlot(id);
        if (slot >= 0) {
            AnswerError(slot, REPLY_STOPPING, OUTCOME_NOT_SENT, now);
        }
    }
}

int DispatchBusy(void)
{
    return Running.active;
}

void DispatchGiveUp(long long now)
{
    if (!Running.active) {
        return;
    }
    int slot = ClientSlot(Running.client_id);
    Running.active = 0;
    if (slot >= 0) {
        AnswerError(slot, REPLY_STOPPING, OUTCOME_UNKNOWN, now);
    }
}

long long DispatchNextWakeMs(long long now)
{
    return HeldFor != 0 ? HeldUntilMs : now + 60000;
}
