// Commands from many clients onto the one line: first come, first served; a
// command whose client has left is never sent; a command whose outcome its
// client did not learn is kept, and its resend is settled, so that it runs
// at most once (docs/server.md, "Unknown outcomes").
//
// A command travels as a queue entry that carries its body, its client and
// the decision made when it arrived (a resend of a kept command, or a new
// one); the client module is asked only whether a client is still there,
// and given the replies. With a state file, what the controller will
// remember of a frame is on the disk before the frame leaves.
#include "fiscald_dispatch.h"
#include "fiscald_access.h"
#include "fiscald_handover.h"
#include "fiscald_line.h"
#include "fiscald_reply.h"
#include "fiscald_state.h"
#include "printable.h"
#include "tracelet.h"

#include <arpa/inet.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>

// A command whose client did not learn its outcome. KEPT_UNKNOWN: its resend
// goes under the same sequence byte while the controller's memory still
// holds its frame; KEPT_REPLY: it ran, and its resend gets the kept reply.
struct Kept {
    int in_use;
    long long serial;      // tells a queued resend that its entry was replaced
    long long client_id;   // the connection it belongs to; 0: none (a restart)
    int delivering;        // its reply waits to leave; kept only if it never does
    long long frame;       // the line's frame count right after its frame; -1: none
    long long since_ms;
    StateKept saved;
};

// A command waiting for its turn, or on the line.
struct Queued {
    long long client_id;
    unsigned int peer;
    int kept;   // the entry of Kepts it resends; -1: a new command; -2: refused
    long long kept_serial;
    // A new connection's first command, the same as the command on the line
    // whose client has left: what it is is known once that one's outcome is.
    int awaits_running;
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
static struct Kept Kepts[FISCALD_MAX_KEPT];
// One past the highest entry in use: most of the time 0, and no command need
// look through the table.
static int KeptTop;
static long long KeptSerial;
static struct OnLine Running;
static long long HeldSerial;    // the kept command the line waits for; 0: none
static long long HeldUntilMs;   // 0: the wait starts once the line is ready
static int Stopping;
static int Awaiting;   // queued commands with awaits_running set
static int Paused;     // a handover waits: nothing more goes on the line
static int OneTillPerAddress;
static int SaveFailing;   // traced once until a save succeeds again

// The error replies the status counts, by reason and outcome.
static const char *const COUNTED_REASONS[] = {
    REPLY_NO_ANSWER, REPLY_LINE_DOWN,   REPLY_BAD_COMMAND, REPLY_TRANSMISSION,
    REPLY_BUSY,      REPLY_SERVER_FULL, REPLY_NOT_ALLOWED, REPLY_STOPPING,
    REPLY_UNSETTLED, REPLY_NOT_RECORDED};
enum { COUNTED_REASON_COUNT = sizeof COUNTED_REASONS / sizeof COUNTED_REASONS[0] };

// Figures since the server started; they go over with a handover.
struct Figures {
    long long answered;
    long long from_memory;
    long long errors;
    long long silent_since_ms;
    int status_known;
    unsigned short status1;
    unsigned short status2;
    long long by_reason[COUNTED_REASON_COUNT][2];   // [reason][0 not sent, 1 unknown]
};
static struct Figures Counted;

static void TraceCommand(const char *what, const char *bytes, int length)
{
    char shown[CLIENT_REPLY_MAX + 1];
    PrintableCopy(bytes, (size_t)length, shown, sizeof shown);
    Tracelet("fiscald: %s [%s]", what, shown);
}

// 1 when the reply left (or will, after an interim's gap); 0 when the client
// is gone.
static int Answer(long long client_id, const char *reply, int length, long long now)
{
    TraceCommand("respuesta", reply, length);
    return ClientReply(client_id, reply, length, now) >= 0;
}

static void CountError(const char *reason, const char *outcome)
{
    Counted.errors++;
    for (int i = 0; i < COUNTED_REASON_COUNT; i++) {
        if (strcmp(COUNTED_REASONS[i], reason) == 0) {
            Counted.by_reason[i][strcmp(outcome, OUTCOME_UNKNOWN) == 0]++;
        }
    }
}

static void AnswerError(long long client_id, const char *reason, const char *outcome, long long now)
{
    char reply[CLIENT_REPLY_MAX + 1];
    CountError(reason, outcome);
    int length = ReplyError(reply, sizeof reply, reason, outcome);
    Answer(client_id, reply, length, now);
}

static int Settleable(const struct Kept *kept)
{
    return kept->saved.kind == KEPT_UNKNOWN && kept->frame == LineFrames();
}

// Whoever may still resend it: its own connection, or with one till per
// address any new connection from there.
static int Resendable(const struct Kept *kept)
{
    return OneTillPerAddress || (kept->client_id != 0 && ClientConnected(kept->client_id));
}

// What is kept of a command sent under seq, as the state file holds it.
static void Remember(const struct Queued *command, int seq, int kind, StateKept *saved)
{
    memset(saved, 0, sizeof *saved);
    saved->kind = kind;
    saved->peer = command->peer;
    saved->seq = seq;
    saved->length = command->length;
    memcpy(saved->body, command->body, (size_t)command->length + 1);
}

// The line's memory onto the disk: the kept commands and, before a frame
// leaves, that frame (for_line; it makes every other kept command
// unverifiable, unless it is the resend of one).
static int SaveState(const struct Queued *for_line, int seq, int durable, long long now)
{
    static StateRecord record;   // too big for the stack
    if (for_line == nullptr && Running.active) {
        // Every record holds the command on the line until its outcome is in.
        for_line = &Running.command;
        seq = Running.seq;
    }
    record.rate = LineRate();
    record.last_seq = for_line != nullptr ? seq : LineLastSeq();
    record.count = 0;
    for (int i = 0; i < KeptTop; i++) {
        if (!Kepts[i].in_use) {
            continue;
        }
        StateKept &saved = record.kept[record.count++];
        saved = Kepts[i].saved;
        saved.settleable = for_line != nullptr ? for_line->kept == i : Settleable(&Kepts[i]);
        saved.age_s = now > Kepts[i].since_ms ? (now - Kepts[i].since_ms) / 1000 : 0;
    }
    if (for_line != nullptr && for_line->kept < 0) {
        StateKept &saved = record.kept[record.count++];
        Remember(for_line, seq, KEPT_UNKNOWN, &saved);
        saved.settleable = 1;
    }
    int result = StateSave(&record, durable);
    if (result != 0 && !SaveFailing) {
        Tracelet("fiscald: no se puede guardar el estado de la linea: %s", strerror(errno));
    }
    SaveFailing = result != 0;
    return result;
}

// The line need no longer keep the controller's memory for a resend.
static void StopHolding(void)
{
    HeldSerial = 0;
    LineKeepMemory(0);
}

static void Forget(int index)
{
    Kepts[index].in_use = 0;
    if (HeldSerial == Kepts[index].serial) {
        StopHolding();
    }
    while (KeptTop > 0 && !Kepts[KeptTop - 1].in_use) {
        KeptTop--;
    }
}

// The entry for a command to keep: the client's own, a free one, or the
// oldest, which gives way (traced: its resend can no longer be recognised).
static int KeptEntryFor(long long client_id)
{
    int chosen = -1;
    for (int i = 0; i < KeptTop; i++) {
        if (Kepts[i].in_use && client_id != 0 && Kepts[i].client_id == client_id) {
            return i;
        }
        if (!Kepts[i].in_use && chosen < 0) {
            chosen = i;
        }
    }
    if (chosen < 0 && KeptTop < FISCALD_MAX_KEPT) {
        chosen = KeptTop++;
    }
    if (chosen < 0) {
        chosen = 0;
        for (int i = 1; i < FISCALD_MAX_KEPT; i++) {
            if (Kepts[i].since_ms < Kepts[chosen].since_ms) {
                chosen = i;
            }
        }
        TraceCommand("demasiados comandos en duda; se olvida el mas antiguo",
                     Kepts[chosen].saved.body, Kepts[chosen].saved.length);
        Forget(chosen);
        if (chosen >= KeptTop) {
            KeptTop = chosen + 1;
        }
    }
    return chosen;
}

static int Keep(const struct Queued *command, int seq, int kind, long long now)
{
    int index = command->kept >= 0 && Kepts[command->kept].in_use &&
                        Kepts[command->kept].serial == command->kept_serial
                    ? command->kept
                    : KeptEntryFor(command->client_id);
    struct Kept &kept = Kepts[index];
    kept.in_use = 1;
    kept.serial = ++KeptSerial;
    kept.client_id = command->client_id;
    kept.delivering = 0;
    kept.frame = LineFrames();
    kept.since_ms = now;
    Remember(command, seq, kind, &kept.saved);
    return index;
}

static int SameBody(const struct Kept *kept, const char *bytes, int length)
{
    return kept->saved.length == length && memcmp(kept->saved.body, bytes, (size_t)length) == 0;
}

// A kept command of a connection that has closed (or of an earlier server),
// from this address and with this body: what a till's new connection sends
// when it resends its command.
static int FindOrphan(unsigned int peer, const char *body, int length)
{
    for (int i = 0; i < KeptTop; i++) {
        const struct Kept &kept = Kepts[i];
        if (kept.in_use && kept.saved.peer == peer && SameBody(&kept, body, length) &&
            (kept.client_id == 0 || !ClientConnected(kept.client_id))) {
            return i;
        }
    }
    return -1;
}

static int FindOwn(long long client_id)
{
    for (int i = 0; i < KeptTop; i++) {
        if (Kepts[i].in_use && Kepts[i].client_id == client_id) {
            return i;
        }
    }
    return -1;
}

// What a new connection's first command resends: a kept command of a closed
// connection from its address with its body, which the connection takes
// over as one till per address allows (-2 when it may not); -1: none.
static int OrphanFor(long long client_id, unsigned int peer, const char *body, int length)
{
    int orphan = FindOrphan(peer, body, length);
    if (orphan < 0) {
        return -1;
    }
    if (!OneTillPerAddress) {
        // Another till at the same address may be selling the same thing: the
        // kept command is not this connection's to settle.
        TraceCommand("igual a un comando en duda de otra conexion de la misma direccion; "
                     "no se envia",
                     body, length);
        return -2;
    }
    Kepts[orphan].client_id = client_id;   // the new connection takes it over
    Kepts[orphan].delivering = 0;
    return orphan;
}

// The kept command this command resends, -1 for a new command, -2 when it
// must be refused as unverifiable. Decided once, when the command arrives:
// only the next command of the connection that was not told is a resend,
// or a new connection's first command, as one till per address allows.
static int ResendOf(const ReceivedCommand *command, int length, long long now)
{
    int own = FindOwn(command->client_id);
    if (own >= 0 && !Kepts[own].delivering && SameBody(&Kepts[own], command->bytes, length)) {
        return own;
    }
    if (own >= 0) {
        Forget(own);   // the client has moved on (or its reply did reach it)
        SaveState(nullptr, 0, 0, now);
    }
    return command->first ? OrphanFor(command->client_id, command->peer, command->bytes, length)
                          : -1;
}

// A new connection's first command that repeats the command on the line,
// whose client has left: the till that lost its connection sends it again.
// What it is (a resend, or refused) is decided once that one's outcome is
// in; told anything before, the till could look at the controller's records
// while its command is still on the line.
static int RepeatsRunning(const ReceivedCommand *command, int length)
{
    return command->first && Running.active && Running.command.peer == command->peer &&
           Running.command.length == length &&
           memcmp(Running.command.body, command->bytes, (size_t)length) == 0 &&
           !ClientConnected(Running.command.client_id);
}

// Room for every connected client's command: entries of clients that have
// left since they queued are dropped here, never while the queue is walked.
static void MakeRoom(void)
{
    int kept_count = 0;
    for (int i = 0; i < QueueCount; i++) {
        const struct Queued &entry = Queue[(QueueHead + i) % FISCALD_MAX_CLIENTS];
        if (ClientConnected(entry.client_id)) {
            Queue[(QueueHead + kept_count) % FISCALD_MAX_CLIENTS] = entry;
            kept_count++;
        } else {
            Awaiting -= entry.awaits_running;
        }
    }
    QueueCount = kept_count;
}

// The new entry at the back, or at the front for the resend the line waits for.
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
    Awaiting -= oldest->awaits_running;
    oldest->awaits_running = 0;
    QueueHead = (QueueHead + 1) % FISCALD_MAX_CLIENTS;
    QueueCount--;
    if (QueueCount == 0) {
        // An empty queue starts again at the top: a quiet server keeps using
        // the same few pages instead of walking through the whole ring.
        QueueHead = 0;
    }
    return oldest;
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

// A resend of a command that ran: its reply, kept for it, and the keeping ends.
static void AnswerFromKept(long long client_id, int kept, long long now)
{
    TraceCommand("reenvio de un comando ya ejecutado: su respuesta guardada",
                 Kepts[kept].saved.body, Kepts[kept].saved.length);
    Counted.from_memory++;
    if (Answer(client_id, Kepts[kept].saved.reply, Kepts[kept].saved.reply_length, now)) {
        Forget(kept);
        SaveState(nullptr, 0, 0, now);
    }
}

void DispatchCommand(const ReceivedCommand *command, long long now)
{
    TraceCommand("comando", command->bytes, command->length);
    int length = WithoutLineEnding(command->bytes, command->length);
    int awaits_running = RepeatsRunning(command, length);
    int kept = awaits_running ? -1 : ResendOf(command, length, now);
    if (kept == -2) {
        AnswerError(command->client_id, REPLY_UNSETTLED, OUTCOME_UNKNOWN, now);
        return;
    }
    if (kept >= 0 && Kepts[kept].saved.kind == KEPT_REPLY) {
        AnswerFromKept(command->client_id, kept, now);
        return;
    }
    const char *outcome = kept >= 0 || awaits_running ? OUTCOME_UNKNOWN : OUTCOME_NOT_SENT;
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
    // The resend the line waits for goes first.
    int held = kept >= 0 && HeldSerial == Kepts[kept].serial;
    struct Queued *entry = Enqueue(held);
    entry->client_id = command->client_id;
    entry->peer = command->peer;
    entry->kept = kept;
    entry->kept_serial = kept >= 0 ? Kepts[kept].serial : 0;
    entry->awaits_running = awaits_running;
    Awaiting += entry->awaits_running;
    entry->length = length;
    memcpy(entry->body, command->bytes, (size_t)length);
    entry->body[length] = '\0';
}

// A resend that can no longer be settled: refused, and the keeping ends, for
// its client has now been told to look at the controller's own records.
static void RefuseResend(const struct Queued *command, long long now)
{
    TraceCommand("reenvio ya no verificable, no se envia", command->body, command->length);
    AnswerError(command->client_id, REPLY_UNSETTLED, OUTCOME_UNKNOWN, now);
    if (Kepts[command->kept].in_use && Kepts[command->kept].serial == command->kept_serial) {
        Forget(command->kept);
        SaveState(nullptr, 0, 0, now);
    }
}

// The command onto the line, or its reply at once when it cannot go.
static void Submit(const struct Queued *command, long long now)
{
    int resend = command->kept >= 0;
    const char *outcome = resend ? OUTCOME_UNKNOWN : OUTCOME_NOT_SENT;
    int seq = 0;
    if (command->kept == -2) {
        AnswerError(command->client_id, REPLY_UNSETTLED, OUTCOME_UNKNOWN, now);
        return;
    }
    if (resend && Kepts[command->kept].in_use &&
        Kepts[command->kept].serial == command->kept_serial &&
        Kepts[command->kept].saved.kind == KEPT_REPLY) {
        AnswerFromKept(command->client_id, command->kept, now);
        return;
    }
    if (resend) {
        const struct Kept &kept = Kepts[command->kept];
        // Settleable only while the controller's memory still holds it: no
        // other frame may have crossed the line since, nor may a search
        // come first.
        if (!kept.in_use || kept.serial != command->kept_serial || !Settleable(&kept) ||
            !LineRateKnown() || !LineCanResend()) {
            RefuseResend(command, now);
            return;
        }
        seq = kept.saved.seq;
        TraceCommand("reenvio con la misma secuencia", command->body, command->length);
    } else {
        seq = LineTakeSeq();
    }
    if (SaveState(command, seq, 1, now) != 0) {
        AnswerError(command->client_id, REPLY_NOT_RECORDED, outcome, now);
        return;
    }
    if (LineSubmit(command->body, command->length, seq) != 0) {
        AnswerError(command->client_id, REPLY_LINE_DOWN, outcome, now);
        return;
    }
    Running.active = 1;
    Running.seq = seq;
    Running.command = *command;
}

// Kept commands no connection holds are let go after the keep limit; those
// of a connected client last until its next command.
static void ExpireKept(long long now)
{
    for (int i = KeptTop - 1; i >= 0; i--) {
        struct Kept &kept = Kepts[i];
        if (kept.in_use && now - kept.since_ms > FISCALD_KEEP_LIMIT_MS &&
            (kept.client_id == 0 || !ClientConnected(kept.client_id))) {
            TraceCommand("comando en duda sin reenvio a tiempo; se deja de guardar",
                         kept.saved.body, kept.saved.length);
            Forget(i);
            SaveState(nullptr, 0, 0, now);
        }
    }
}

static int HeldIndex(void)
{
    for (int i = 0; i < KeptTop; i++) {
        if (Kepts[i].in_use && Kepts[i].serial == HeldSerial) {
            return i;
        }
    }
    return -1;
}

// The line waits for a kept command's resend while it can still be settled
// and someone can still send it; the wait starts once the line is ready.
static int Holding(long long now)
{
    if (HeldSerial == 0) {
        return 0;
    }
    int index = HeldIndex();
    if (index < 0 || !Settleable(&Kepts[index]) || !Resendable(&Kepts[index]) ||
        (HeldUntilMs != 0 && now >= HeldUntilMs)) {
        StopHolding();
        return 0;
    }
    if (HeldUntilMs == 0 && LineState() == LINE_READY) {
        HeldUntilMs = now + FISCALD_SETTLE_HOLD_MS;
    }
    return 1;
}

static int ResendsHeld(const struct Queued *entry)
{
    return entry->kept >= 0 && entry->kept_serial == HeldSerial;
}

// The resend the line waits for to the front, when it is queued: it may have
// been queued behind others before it was known to be one.
static void HeldResendFirst(void)
{
    for (int i = 1; i < QueueCount; i++) {
        int at = (QueueHead + i) % FISCALD_MAX_CLIENTS;
        if (ResendsHeld(&Queue[at])) {
            struct Queued held = Queue[at];
            for (; i > 0; i--) {
                int to = (QueueHead + i) % FISCALD_MAX_CLIENTS;
                Queue[to] = Queue[(QueueHead + i - 1) % FISCALD_MAX_CLIENTS];
            }
            Queue[QueueHead] = held;
            return;
        }
    }
}

void DispatchRun(long long now)
{
    if (KeptTop > 0) {
        ExpireKept(now);
    }
    int holding = Holding(now);
    if (holding && QueueCount > 1) {
        HeldResendFirst();
    }
    while (!Running.active && !Paused && LineState() == LINE_READY && QueueCount > 0) {
        if (holding && !ResendsHeld(&Queue[QueueHead])) {
            return;   // the line waits for a resend
        }
        if (holding) {
            // Its resend goes now; the wait is over.
            holding = 0;
            StopHolding();
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
    case WORKER_CANNOT_RESEND:
        return REPLY_UNSETTLED;
    default:
        return REPLY_NO_ANSWER;
    }
}

// A kept command whose resend could be settled: the line waits for it, from
// now or from when the line is ready again.
// 1 when it cannot be: the next worker must probe or search, so the
// controller's memory will not survive, and the disk must say so first.
static int HoldFor(int index, long long now)
{
    if (!Settleable(&Kepts[index])) {
        return 0;
    }
    if (!Resendable(&Kepts[index]) || !LineCanResend()) {
        // Not waited for, so the next worker may probe or search: the disk
        // must not call it settleable for a later server (one started with
        // one till per address) that would trust the controller's memory.
        Kepts[index].frame = -1;
        return 1;
    }
    if (LineKeepMemory(1)) {
        HeldSerial = Kepts[index].serial;
        HeldUntilMs = LineState() == LINE_READY ? now + FISCALD_SETTLE_HOLD_MS : 0;
        return 0;
    }
    Kepts[index].frame = -1;
    return 1;
}

// Queued first commands that repeat the command that was on the line, whose
// client had left: now that its outcome is in, resends of what was kept of
// it (or refused, as one till per address allows), or new commands when
// nothing was kept, for it did not run.
static void ResolveAwaiting(void)
{
    for (int i = 0; i < QueueCount && Awaiting > 0; i++) {
        struct Queued &entry = Queue[(QueueHead + i) % FISCALD_MAX_CLIENTS];
        if (!entry.awaits_running) {
            continue;
        }
        entry.awaits_running = 0;
        Awaiting--;
        entry.kept = OrphanFor(entry.client_id, entry.peer, entry.body, entry.length);
        entry.kept_serial = entry.kept >= 0 ? Kepts[entry.kept].serial : 0;
    }
}

// The reply for the command on the line, and what is kept of it.
static void FinishRunning(const WorkerReport *report, long long now)
{
    char reply[CLIENT_REPLY_MAX + 1];
    int length;
    const struct Queued *command = &Running.command;
    int kept = -1;
    int unverifiable = 0;
    Running.active = 0;
    if (report->answered) {
        Counted.answered++;
        Counted.silent_since_ms = 0;
        Counted.status_known = 1;
        Counted.status1 = report->status1;
        Counted.status2 = report->status2;
        length = ReplyAnswer(reply, sizeof reply, report->status1, report->status2, report->answer);
        int own = FindOwn(command->client_id);
        if (own >= 0) {
            Forget(own);
        }
        // Kept until the reply has surely left.
        kept = Keep(command, Running.seq, KEPT_REPLY, now);
        Kepts[kept].delivering = 1;
        Kepts[kept].saved.reply_length = length;
        memcpy(Kepts[kept].saved.reply, reply, (size_t)length + 1);
    } else {
        // A resend that did not go through leaves the first send's outcome
        // as unknown as it was.
        int unknown = report->may_have_run || command->kept >= 0;
        Tracelet("fiscald: el comando fallo (error %d del paquete%s)", report->packet_error,
                 unknown ? ", puede haberse ejecutado" : ", no se ejecuto");
        const char *reason = ReasonFor(report->packet_error);
        const char *outcome = unknown ? OUTCOME_UNKNOWN : OUTCOME_NOT_SENT;
        length = ReplyError(reply, sizeof reply, reason, outcome);
        CountError(reason, outcome);
        if (strcmp(reason, REPLY_NO_ANSWER) == 0 && Counted.silent_since_ms == 0) {
            Counted.silent_since_ms = now;
        }
        if (unknown) {
            kept = Keep(command, Running.seq, KEPT_UNKNOWN, now);
            unverifiable = HoldFor(kept, now);
        }
    }
    int delivered = ClientReply(command->client_id, reply, length, now);
    if (delivered >= 0) {
        TraceCommand("respuesta", reply, length);
    } else {
        TraceCommand("respuesta sin cliente, descartada", reply, length);
    }
    if (kept >= 0 && Kepts[kept].delivering && delivered == 1) {
        Forget(kept);
    } else if (kept >= 0 && delivered < 0) {
        Kepts[kept].delivering = 0;
        Kepts[kept].client_id = 0;
    }
    if (Awaiting > 0) {
        ResolveAwaiting();
    }
    SaveState(nullptr, 0, unverifiable, now);
}

void DispatchReport(const WorkerReport *report, long long now)
{
    if (report->kind == REPORT_READY || report->kind == REPORT_NO_RATE) {
        SaveState(nullptr, 0, 0, now);   // the rate, and kept commands a search made unverifiable
        return;
    }
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
        // A command that repeats the one on the line may have run through it.
        int unknown = Queue[QueueHead].kept != -1 || Queue[QueueHead].awaits_running;
        const struct Queued *next = Dequeue();
        if (!ClientConnected(next->client_id)) {
            continue;
        }
        if (next->kept == -2) {
            // Refused already; told otherwise, its till would send it again,
            // and that would be taken for a new command.
            AnswerError(next->client_id, REPLY_UNSETTLED, OUTCOME_UNKNOWN, now);
        } else {
            AnswerError(next->client_id, reason, unknown ? OUTCOME_UNKNOWN : OUTCOME_NOT_SENT, now);
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
    if (HeldSerial != 0) {
        HeldUntilMs = 0;   // the wait starts again once the line is back
    }
}

void DispatchReplyDelivered(long long client_id, long long now)
{
    int own = FindOwn(client_id);
    if (own >= 0 && Kepts[own].delivering) {
        Forget(own);
        SaveState(nullptr, 0, 0, now);
    }
}

// The server ends: queued commands are not sent; the one on the line is
// waited for (up to the stop limit, see DispatchGiveUp).
void DispatchStop(long long now)
{
    Stopping = 1;
    StopHolding();
    AnswerQueued(REPLY_STOPPING, now);
}

int DispatchBusy(void)
{
    return Running.active;
}

// The command on the line is given up: the state file keeps it as in doubt.
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
    if (HeldSerial != 0 && HeldUntilMs != 0) {
        return HeldUntilMs;
    }
    long long next = now + FISCALD_LONGEST_WAIT_MS;
    for (int i = 0; i < KeptTop; i++) {
        if (Kepts[i].in_use && Kepts[i].since_ms + FISCALD_KEEP_LIMIT_MS + 1 < next) {
            next = Kepts[i].since_ms + FISCALD_KEEP_LIMIT_MS + 1;
        }
    }
    return next;
}

void DispatchConfigure(const ServerOptions *options)
{
    OneTillPerAddress = options->one_till_per_address;
}

void DispatchRestore(const StateRecord *record, long long now)
{
    int unverifiable = 0;
    memset(Kepts, 0, sizeof Kepts);
    KeptTop = 0;
    QueueHead = QueueCount = 0;
    Awaiting = 0;
    Running.active = 0;
    HeldSerial = 0;
    Stopping = 0;
    // The newest last: a full record gives up its oldest.
    int first = record->count > FISCALD_MAX_KEPT ? record->count - FISCALD_MAX_KEPT : 0;
    for (int i = first; i < record->count; i++) {
        struct Kept &kept = Kepts[KeptTop++];
        char shown[CLIENT_REPLY_MAX + 1];
        char dotted[INET_ADDRSTRLEN];
        kept.in_use = 1;
        kept.serial = ++KeptSerial;
        kept.saved = record->kept[i];
        kept.frame = kept.saved.settleable ? LineFrames() : -1;
        // The keep limit counts the time the server runs: it goes on from
        // where the earlier server left it.
        kept.since_ms = now - kept.saved.age_s * 1000;
        AccessDotted(kept.saved.peer, dotted, sizeof dotted);
        PrintableCopy(kept.saved.body, (size_t)kept.saved.length, shown, sizeof shown);
        Tracelet("fiscald: comando en duda de %s: [%s]%s", dotted, shown,
                 kept.saved.kind == KEPT_REPLY ? ", ejecutado; su respuesta guardada"
                 : kept.saved.settleable       ? ", su reenvio se puede verificar"
                                               : ", ya no verificable");
        unverifiable |= HoldFor(KeptTop - 1, now);
    }
    if (unverifiable) {
        SaveState(nullptr, 0, 1, now);
    }
}

// --- what the status shows (fiscald_status.cpp) ---

static void ViewOf(const struct Queued *command, CommandView *view)
{
    memset(view, 0, sizeof *view);
    view->client_id = command->client_id;
    view->peer = command->peer;
    view->resend = command->kept >= 0;
    view->length = command->length;
    view->body = command->body;
}

void DispatchDescribe(DispatchView *view)
{
    memset(view, 0, sizeof *view);
    view->queued = QueueCount;
    view->on_line = Running.active;
    if (Running.active) {
        ViewOf(&Running.command, &view->running);
    }
    view->answered = Counted.answered;
    view->from_memory = Counted.from_memory;
    view->errors = Counted.errors;
    view->silent_since_ms = Counted.silent_since_ms;
    view->status_known = Counted.status_known;
    view->status1 = Counted.status1;
    view->status2 = Counted.status2;
    for (int i = 0; i < KeptTop; i++) {
        view->in_doubt += Kepts[i].in_use;
    }
}

int DispatchErrorAt(int index, ErrorCount *count)
{
    if (index < 0 || index >= 2 * COUNTED_REASON_COUNT) {
        return 0;
    }
    count->reason = COUNTED_REASONS[index / 2];
    count->outcome = index % 2 ? OUTCOME_UNKNOWN : OUTCOME_NOT_SENT;
    count->count = Counted.by_reason[index / 2][index % 2];
    return 1;
}

int DispatchQueuedAt(int index, CommandView *view)
{
    if (index < 0 || index >= QueueCount) {
        return 0;
    }
    ViewOf(&Queue[(QueueHead + index) % FISCALD_MAX_CLIENTS], view);
    return 1;
}

int DispatchKeptAt(int *cursor, CommandView *view)
{
    while (*cursor < KeptTop) {
        const struct Kept &kept = Kepts[(*cursor)++];
        if (kept.in_use) {
            memset(view, 0, sizeof *view);
            view->id = kept.serial;
            view->client_id = kept.client_id;
            view->peer = kept.saved.peer;
            view->kind = kept.saved.kind;
            view->settleable = Settleable(&kept);
            view->since_ms = kept.since_ms;
            view->length = kept.saved.length;
            view->body = kept.saved.body;
            return 1;
        }
    }
    return 0;
}

// A resend of it still queued finds its entry gone and is refused.
int DispatchForget(long long id, long long now)
{
    for (int i = 0; i < KeptTop; i++) {
        if (Kepts[i].in_use && Kepts[i].serial == id) {
            TraceCommand("comando en duda olvidado a pedido del operador", Kepts[i].saved.body,
                         Kepts[i].saved.length);
            Forget(i);
            SaveState(nullptr, 0, 1, now);
            return 0;
        }
    }
    return -1;
}

// --- the handover to a newly installed program (fiscald_handover.cpp) ---

struct DispatchScalars {
    int queue_head;
    int queue_count;
    int kept_top;
    long long kept_serial;
    long long held_serial;
    long long held_until_ms;
};

size_t DispatchHandoverSize(void)
{
    return sizeof(struct DispatchScalars) + sizeof Queue + sizeof Kepts + sizeof Counted;
}

void DispatchPause(int paused)
{
    Paused = paused;
}

// Called with nothing on the line: the queue and the kept commands go over.
int DispatchHandOver(int fd)
{
    struct DispatchScalars scalars = {QueueHead,  QueueCount, KeptTop,
                                      KeptSerial, HeldSerial, HeldUntilMs};
    if (Running.active) {
        return -1;
    }
    return HandoverPut(fd, HANDOVER_DISPATCH, &scalars, sizeof scalars) == 0 &&
                   HandoverPut(fd, HANDOVER_DISPATCH, Queue, sizeof Queue) == 0 &&
                   HandoverPut(fd, HANDOVER_DISPATCH, Kepts, sizeof Kepts) == 0 &&
                   HandoverPut(fd, HANDOVER_DISPATCH, &Counted, sizeof Counted) == 0
               ? 0
               : -1;
}

int DispatchTakeOver(int fd)
{
    struct DispatchScalars scalars;
    if (HandoverGet(fd, HANDOVER_DISPATCH, &scalars, sizeof scalars) != 0 ||
        HandoverGet(fd, HANDOVER_DISPATCH, Queue, sizeof Queue) != 0 ||
        HandoverGet(fd, HANDOVER_DISPATCH, Kepts, sizeof Kepts) != 0 ||
        HandoverGet(fd, HANDOVER_DISPATCH, &Counted, sizeof Counted) != 0 ||
        scalars.queue_head < 0 || scalars.queue_head >= FISCALD_MAX_CLIENTS ||
        scalars.queue_count < 0 || scalars.queue_count > FISCALD_MAX_CLIENTS ||
        scalars.kept_top < 0 || scalars.kept_top > FISCALD_MAX_KEPT) {
        return -1;
    }
    QueueHead = scalars.queue_head;
    QueueCount = scalars.queue_count;
    KeptTop = scalars.kept_top;
    KeptSerial = scalars.kept_serial;
    HeldSerial = scalars.held_serial;
    HeldUntilMs = 0;   // the wait starts again once the new worker has the line
    Running.active = 0;
    Awaiting = 0;
    Paused = 0;
    LineKeepMemory(HeldSerial != 0);
    return 0;
}
