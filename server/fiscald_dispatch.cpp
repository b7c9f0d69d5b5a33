// Commands from many clients onto the one line: first come, first served; a
// command whose client has left is never sent; a command whose outcome is
// unknown can be settled by sending it again, under the same sequence byte,
// so that it runs at most once (docs/server.md, "Unknown outcomes").
//
// A command travels as a queue entry that carries its body, its client and
// the decision made when it arrived (a resend of a kept command, or a new
// one); the client module is asked only whether a client is still there,
// and given the replies.
#include "fiscald_dispatch.h"
#include "fiscald_line.h"
#include "fiscald_reply.h"
#include "tracelet.h"

#include <stdio.h>
#include <string.h>

// A command whose last reply said "unknown", kept for its client: its resend
// goes under the same sequence byte while the line has carried nothing since.
struct Kept {
    int in_use;
    long long serial;   // tells a queued resend that its entry was replaced
    long long client_id;
    unsigned int peer;
    long long frame;   // the line's frame count right after it was sent
    int seq;
    int length;
    char body[PACKET_MAX_COMMAND + 1];
    long long kept_since_ms;
};

// A command waiting for its turn, or on the line.
struct Queued {
    long long client_id;
    unsigned int peer;
    int kept;   // the entry of Kepts it resends; -1: a new command
    long long kept_serial;
    int length;
    char body[PACKET_MAX_COMMAND + 1];
};

struct OnLine {
    int active;
    int seq;
    struct Queued command;
};

static struct Queued Queue[FISCALD_MAX_CLIENTS];   // oldest first, from QueueHead
static int QueueHead;
static int QueueCount;
static struct Kept Kepts[FISCALD_MAX_CLIENTS];
// One past the highest entry in use: most of the time 0, and no command need
// look through the table (nor bring its pages into memory).
static int KeptTop;
static long long KeptSerial;
static struct OnLine Running;
static long long HeldFor;   // client id the line waits for (its resend), 0: none
static long long HeldUntilMs;
static int Stopping;

static void TraceCommand(const char *what, const char *bytes, int length)
{
    char shown[CLIENT_REPLY_MAX + 1];
    ReplyPrintable(bytes, (size_t)length, shown, sizeof shown);
    Tracelet("fiscald: %s [%s]", what, shown);
}

static void Answer(long long client_id, const char *reply, int length, long long now)
{
    TraceCommand("respuesta", reply, length);
    ClientReply(client_id, reply, length, now);
}

static void AnswerError(long long client_id, const char *reason, const char *outcome, long long now)
{
    char reply[CLIENT_REPLY_MAX + 1];
    int length = ReplyError(reply, sizeof reply, reason, outcome);
    Answer(client_id, reply, length, now);
}

// The kept command of this client: its own, or, for the first command of a
// new connection, one from the same address whose connection has closed.
static int FindKept(const ReceivedCommand *command)
{
    for (int i = 0; i < KeptTop; i++) {
        const struct Kept &kept = Kepts[i];
        if (!kept.in_use) {
            continue;
        }
        if (kept.client_id == command->client_id ||
            (command->first && kept.peer == command->peer && !ClientConnected(kept.client_id))) {
            return i;
        }
    }
    return -1;
}

static void Forget(int index)
{
    Kepts[index].in_use = 0;
    while (KeptTop > 0 && !Kepts[KeptTop - 1].in_use) {
        KeptTop--;
    }
}

static void Keep(const struct Queued *command, unsigned int peer, int seq, long long now)
{
    int chosen = -1;
    for (int i = 0; i < KeptTop; i++) {
        if (Kepts[i].in_use && Kepts[i].client_id == command->client_id) {
            chosen = i;
            break;
        }
        if (!Kepts[i].in_use && chosen < 0) {
            chosen = i;
        }
    }
    if (chosen < 0 && KeptTop < FISCALD_MAX_CLIENTS) {
        chosen = KeptTop++;
    }
    if (chosen < 0) {
        // Full: the oldest gives way.
        chosen = 0;
        for (int i = 1; i < FISCALD_MAX_CLIENTS; i++) {
            if (Kepts[i].kept_since_ms < Kepts[chosen].kept_since_ms) {
                chosen = i;
            }
        }
    }
    struct Kept &kept = Kepts[chosen];
    kept.in_use = 1;
    kept.serial = ++KeptSerial;
    kept.client_id = command->client_id;
    kept.peer = peer;
    kept.frame = LineFrames();
    kept.seq = seq;
    kept.length = command->length;
    memcpy(kept.body, command->body, (size_t)command->length);
    kept.body[command->length] = '\0';
    kept.kept_since_ms = now;
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

// Room for every connected client's command: entries of clients that have
// left since they queued are dropped here, never while the queue is walked.
static void MakeRoom(void)
{
    int kept_count = 0;
    for (int i = 0; i < QueueCount; i++) {
        struct Queued &entry = Queue[(QueueHead + i) % FISCALD_MAX_CLIENTS];
        if (ClientConnected(entry.client_id)) {
            Queue[(QueueHead + kept_count) % FISCALD_MAX_CLIENTS] = entry;
            kept_count++;
        }
    }
    QueueCount = kept_count;
}

// The new entry at the back, or at the front for the client the line waits for.
static struct Queued *Enqueue(int first_in_line)
{
    if (QueueCount == FISCALD_MAX_CLIENTS) {
        MakeRoom();
    }
    int at = (QueueHead + QueueCount) % FISCALD_MAX_CLIENTS;
    if (first_in_line && QueueCount > 0) {
        QueueHead = (QueueHead + FISCALD_MAX_CLIENTS - 1) % FISCALD_MAX_CLIENTS;
        at = QueueHead;
    }
    QueueCount++;
    return &Queue[at];
}

// The oldest entry; the queue is not empty. Valid until the next Enqueue.
static struct Queued *Dequeue(void)
{
    struct Queued *oldest = &Queue[QueueHead];
    QueueHead = (QueueHead + 1) % FISCALD_MAX_CLIENTS;
    QueueCount--;
    if (QueueCount == 0) {
        // An empty queue starts again at the top: a quiet server keeps using
        // the same few pages instead of walking through the whole ring.
        QueueHead = 0;
    }
    return oldest;
}

void DispatchCommand(const ReceivedCommand *command, long long now)
{
    TraceCommand("comando", command->bytes, command->length);
    int length = WithoutLineEnding(command->bytes, command->length);
    int kept = FindKept(command);
    if (kept >= 0 && (Kepts[kept].length != length ||
                      memcmp(Kepts[kept].body, command->bytes, (size_t)length) != 0)) {
        Forget(kept);   // the client has moved on
        kept = -1;
    }
    if (kept >= 0) {
        Kepts[kept].client_id = command->client_id;   // a resend on a new connection takes it over
    }
    const char *outcome = kept >= 0 ? OUTCOME_UNKNOWN : OUTCOME_NOT_SENT;
    if (length == 0 || length > PACKET_MAX_COMMAND ||
        memchr(command->bytes, '\0', (size_t)length)) {
        // A NUL would cut the command short unseen; the rest would be lost.
        AnswerError(command->client_id, REPLY_BAD_COMMAND, OUTCOME_NOT_SENT, now);
        return;
    }
    if (Stopping) {
        AnswerError(command->client_id, REPLY_STOPPING, outcome, now);
        return;
    }
    if (LineState() == LINE_DOWN) {
        LineReopen(now, 1);
    }
    if (LineState() == LINE_DOWN) {
        AnswerError(command->client_id, REPLY_LINE_DOWN, outcome, now);
        return;
    }
    // The client the line waits for: its command goes first.
    int held = HeldFor == command->client_id;
    if (held) {
        HeldFor = 0;
    }
    struct Queued *entry = Enqueue(held);
    entry->client_id = command->client_id;
    entry->peer = command->peer;
    entry->kept = kept;
    entry->kept_serial = kept >= 0 ? Kepts[kept].serial : 0;
    entry->length = length;
    memcpy(entry->body, command->bytes, (size_t)length);
    entry->body[length] = '\0';
}

// The command onto the line, or its reply at once when it cannot go.
static void Submit(const struct Queued *command, long long now)
{
    int seq = 0;
    if (command->kept >= 0) {
        const struct Kept &kept = Kepts[command->kept];
        // Settleable only while the controller's memory still holds it: no
        // other frame may have crossed the line since.
        if (!kept.in_use || kept.serial != command->kept_serial || kept.frame != LineFrames()) {
            TraceCommand("reenvio ya no verificable, no se envia", command->body, command->length);
            AnswerError(command->client_id, REPLY_UNSETTLED, OUTCOME_UNKNOWN, now);
            return;
        }
        seq = kept.seq;
        TraceCommand("reenvio con la misma secuencia", command->body, command->length);
    } else {
        seq = LineTakeSeq();
    }
    if (LineSubmit(command->body, command->length, seq) != 0) {
        AnswerError(command->client_id, REPLY_LINE_DOWN,
                    command->kept >= 0 ? OUTCOME_UNKNOWN : OUTCOME_NOT_SENT, now);
        return;
    }
    Running.active = 1;
    Running.seq = seq;
    Running.command = *command;
}

void DispatchRun(long long now)
{
    if (HeldFor != 0 && (now >= HeldUntilMs || !ClientConnected(HeldFor))) {
        HeldFor = 0;
    }
    while (!Running.active && LineState() == LINE_READY && QueueCount > 0) {
        if (HeldFor != 0 && Queue[QueueHead].client_id != HeldFor) {
            return;   // the line waits for a resend
        }
        const struct Queued *next = Dequeue();
        // Checked here, at the last moment: a command whose client has left
        // never runs.
        if (!ClientStillConnected(next->client_id)) {
            Tracelet("fiscald: el cliente se fue antes de su turno: su comando no se envia");
            continue;
        }
        Submit(next, now);
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
static void FinishRunning(const WorkerReport *report, long long now)
{
    char reply[CLIENT_REPLY_MAX + 1];
    int length;
    const struct Queued *command = &Running.command;
    int connected = ClientConnected(command->client_id);
    Running.active = 0;
    if (report->answered) {
        length = ReplyAnswer(reply, sizeof reply, report->status1, report->status2, report->answer);
        for (int i = KeptTop - 1; i >= 0; i--) {
            if (Kepts[i].in_use && Kepts[i].client_id == command->client_id) {
                Forget(i);
            }
        }
    } else {
        // A resend that did not go through leaves the first send's outcome
        // as unknown as it was.
        int unknown = report->may_have_run || command->kept >= 0;
        Tracelet("fiscald: el comando fallo (error %d del paquete%s)", report->packet_error,
                 unknown ? ", puede haberse ejecutado" : ", no se ejecuto");
        length = ReplyError(reply, sizeof reply, ReasonFor(report->packet_error),
                            unknown ? OUTCOME_UNKNOWN : OUTCOME_NOT_SENT);
        if (unknown) {
            Keep(command, connected ? command->peer : 0, Running.seq, now);
            if (connected && !report->line_gone) {
                // Its resend should find the controller's memory as it is now.
                HeldFor = command->client_id;
                HeldUntilMs = now + FISCALD_SETTLE_HOLD_MS;
            }
        }
    }
    if (!connected) {
        TraceCommand("respuesta sin cliente, descartada", reply, length);
        return;
    }
    Answer(command->client_id, reply, length, now);
}

void DispatchReport(const WorkerReport *report, long long now)
{
    if (!Running.active) {
        return;
    }
    if (report->kind == REPORT_KEEPALIVE) {
        ClientSetWorking(Running.command.client_id, report->keepalive);
    } else if (report->kind == REPORT_RESULT) {
        FinishRunning(report, now);
    }
}

// Every queued command is answered that it cannot go: a resend's first send
// stays as unknown as it was.
static void AnswerQueued(const char *reason, long long now)
{
    while (QueueCount > 0) {
        const struct Queued *next = Dequeue();
        if (ClientConnected(next->client_id)) {
            AnswerError(next->client_id, reason,
                        next->kept >= 0 ? OUTCOME_UNKNOWN : OUTCOME_NOT_SENT, now);
        }
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
        FinishRunning(&lost, now);
    }
    AnswerQueued(REPLY_LINE_DOWN, now);
    HeldFor = 0;
}

// The server ends: queued commands are not sent; the one on the line is
// waited for (up to the stop limit, see DispatchGiveUp).
void DispatchStop(long long now)
{
    Stopping = 1;
    HeldFor = 0;
    AnswerQueued(REPLY_STOPPING, now);
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
    Running.active = 0;
    if (ClientConnected(Running.command.client_id)) {
        AnswerError(Running.command.client_id, REPLY_STOPPING, OUTCOME_UNKNOWN, now);
    }
}

long long DispatchNextWakeMs(long long now)
{
    return HeldFor != 0 ? HeldUntilMs : now + FISCALD_LONGEST_WAIT_MS;
}
