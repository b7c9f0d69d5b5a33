// The link seam: the client and line modules' calls that the dispatch makes,
// answered from a World the test drives.
#include "dispatch_seam.h"

#include "fiscald_reply.h"
#include "fiscalframe.h"
#include "tracelet.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace seam {

const std::string FS = "\x1c";

World &Get()
{
    static World world;
    return world;
}

int Controller::Take(int seq, const std::string &body)
{
    if (seq == last_seq && body == last_body) {
        return 0;
    }
    last_seq = seq;
    last_body = body;
    if (++runs[body] == 2 && ran_twice.empty()) {
        ran_twice = body;
    }
    return 1;
}

static void CatchTrace(const char *format, va_list arguments)
{
    char line[1024];
    vsnprintf(line, sizeof line, format, arguments);
    Get().trace.push_back(line);
}

static void Configure(bool one_till_per_address)
{
    static ServerOptions options;
    options.one_till_per_address = one_till_per_address;
    DispatchConfigure(&options);
    SetTracelet(CatchTrace);
}

static void OpenState()
{
    static StateRecord record;
    char why[256];
    StateClose();
    ASSERT_EQ(StateOpen(Get().state_path.c_str(), &record, why, sizeof why), 0) << why;
    if (record.sound) {
        Get().last_seq = record.last_seq;
    }
    DispatchRestore(&record, Get().now);
}

void Start(bool one_till_per_address, const std::string &state_path)
{
    World &world = Get();
    Controller controller = world.controller;
    world = World();
    world.controller = controller;
    world.state_path = state_path;
    Configure(one_till_per_address);
    OpenState();
}

void Restart(bool one_till_per_address)
{
    World &world = Get();
    // Those closed before are gone (a long simulation makes many); those
    // this restart closes stay, for their replies.
    for (auto entry = world.connections.begin(); entry != world.connections.end();) {
        if (!entry->second.open) {
            entry = world.connections.erase(entry);
        } else {
            entry->second.open = false;
            ++entry;
        }
    }
    world.frames = 0;
    world.on_line = Frame();
    world.state = LINE_READY;
    world.rate_known = true;
    world.keep_memory = false;   // asked for again by the restore when it must be
    Configure(one_till_per_address);
    OpenState();
}

long long Connect(unsigned int peer)
{
    World &world = Get();
    long long id = world.next_id++;
    world.connections[id].peer = peer;
    world.connections[id].open = true;
    return id;
}

void Drop(long long id)
{
    Get().connections[id].open = false;
}

void Send(long long id, const std::string &command)
{
    Connection &connection = Get().connections[id];
    ReceivedCommand received;
    memset(&received, 0, sizeof received);
    received.client_id = id;
    received.peer = connection.peer;
    received.first = connection.sent++ == 0;
    received.length = (int)command.size();
    memcpy(received.bytes, command.data(), command.size());
    connection.deferred = 0;
    DispatchCommand(&received, Get().now);
}

void RunLine()
{
    DispatchRun(Get().now);
}

void Deliver(Outcome outcome)
{
    World &world = Get();
    ASSERT_TRUE(world.on_line.pending);
    Frame frame = world.on_line;
    world.on_line = Frame();
    WorkerReport report;
    memset(&report, 0, sizeof report);
    report.kind = REPORT_RESULT;
    report.rate = 9600;
    if (outcome == ANSWERED || outcome == RAN_SILENT || outcome == LINE_GONE_RAN) {
        world.controller.Take(frame.seq, frame.body);
    }
    if (outcome == ANSWERED) {
        report.answered = 1;
        snprintf(report.answer, sizeof report.answer, "%s", frame.body.c_str());
    } else {
        report.may_have_run = outcome != REFUSED;
        report.packet_error = outcome == REFUSED         ? PACKET_REFUSED
                              : outcome >= LINE_GONE_RAN ? PACKET_LINE_GONE
                                                         : PACKET_NO_ANSWER;
        report.line_gone = outcome >= LINE_GONE_RAN;
    }
    world.state = LINE_READY;
    DispatchReport(&report, world.now);
    if (report.line_gone) {
        world.state = LINE_DOWN;
        DispatchLineDown(world.now);
    }
}

void LineBack()
{
    World &world = Get();
    world.state = LINE_READY;
    if (!world.keep_memory && !world.rate_fixed) {
        world.frames++;   // the probe at the remembered rate
        world.controller.Take(0x20, "*");
    }
    WorkerReport ready;
    memset(&ready, 0, sizeof ready);
    ready.kind = REPORT_READY;
    ready.rate = 9600;
    DispatchReport(&ready, world.now);
}

std::string LastReply(long long id)
{
    const Connection &connection = Get().connections[id];
    return connection.replies.empty() ? "" : connection.replies.back();
}

bool Traced(const std::string &text)
{
    for (const std::string &line : Get().trace) {
        if (line.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

std::string Answered(const std::string &body)
{
    return "0000" + FS + "0000" + FS + body;
}

std::string Error(const std::string &reason, const std::string &outcome)
{
    return "ERR" + FS + reason + FS + outcome;
}

}   // namespace seam

using seam::Get;

// --- the client module, as the dispatch sees it ---
extern "C" int ClientConnected(long long id)
{
    auto found = Get().connections.find(id);
    return found != Get().connections.end() && found->second.open;
}

extern "C" int ClientStillConnected(long long id)
{
    return ClientConnected(id);
}

extern "C" void ClientSetWorking(long long, int)
{
}

extern "C" int ClientReply(long long id, const char *reply, int length, long long)
{
    if (!ClientConnected(id)) {
        return -1;
    }
    seam::Connection &connection = Get().connections[id];
    connection.replies.push_back(std::string(reply, (size_t)length));
    return connection.deferred ? 0 : 1;
}

// --- the line module ---
extern "C" int LineState(void)
{
    return Get().state;
}

extern "C" void LineReopen(long long, int)
{
}

extern "C" int LineSubmit(const char *body, int length, int seq)
{
    seam::World &world = Get();
    if (world.state != LINE_READY) {
        return -1;
    }
    world.on_line.pending = true;
    world.on_line.seq = seq;
    world.on_line.body = std::string(body, (size_t)length);
    world.last_seq = seq;
    world.frames++;
    world.state = LINE_BUSY;
    return 0;
}

extern "C" int LineTakeSeq(void)
{
    seam::World &world = Get();
    world.last_seq = world.last_seq >= FRAME_SEQ_LAST ? FRAME_SEQ_FIRST : world.last_seq + 1;
    return world.last_seq;
}

extern "C" long long LineFrames(void)
{
    return Get().frames;
}

extern "C" int LineLastSeq(void)
{
    return Get().last_seq;
}

extern "C" long LineRate(void)
{
    return 9600;
}

extern "C" int LineKeepMemory(int on)
{
    Get().keep_memory = on != 0;
    return 1;
}

extern "C" int LineCanResend(void)
{
    return 1;
}

extern "C" int LineRateKnown(void)
{
    return Get().state == LINE_READY && Get().rate_known;
}
