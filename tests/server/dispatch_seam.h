// The server's dispatch with the client and line modules replaced at the
// link: fake connections, a fake line and a model of the controller, and a
// clock the test moves. The dispatch, reply and state modules are the real
// ones; the state file is a real file.
#pragma once

#include "fiscald_dispatch.h"
#include "fiscald_line.h"
#include "fiscald_state.h"

#include <map>
#include <string>
#include <vector>

namespace seam {

// The controller: it runs a frame once, and answers a frame that repeats
// its last one (sequence byte and body) from its memory.
struct Controller {
    std::map<std::string, int> runs;   // body: times run
    std::string ran_twice;             // the first body run a second time
    int last_seq = 0;
    std::string last_body;
    // 1 when the frame ran now, 0 when it was answered from memory.
    int Take(int seq, const std::string &body);
};

struct Connection {
    unsigned int peer = 0;
    bool open = false;
    int sent = 0;
    int deferred = 0;   // the next reply waits for an interim's gap
    std::vector<std::string> replies;
};

struct Frame {
    bool pending = false;
    int seq = 0;
    std::string body;
};

struct World {
    long long now = 1000;
    long long next_id = 1;
    std::map<long long, Connection> connections;
    // The line.
    int state = LINE_READY;
    long long frames = 0;
    int last_seq = 0x40;
    bool rate_fixed = true;   // a reopened line sends no probe
    bool keep_memory = false;
    bool rate_known = true;
    Frame on_line;
    Controller controller;
    std::vector<std::string> trace;
    std::string state_path;
};

World &Get();

// A new world: every module's state as at a server's start, with a fresh
// state file (or the given one, as a restarted server finds it).
void Start(bool one_till_per_address, const std::string &state_path);
// A restart: connections are gone, the dispatch reads the state file again.
void Restart(bool one_till_per_address);
long long Connect(unsigned int peer);
void Drop(long long id);
// A client sends a command (first: its connection's first).
void Send(long long id, const std::string &command);
void RunLine();
// The frame on the line gets its outcome.
enum Outcome { ANSWERED, RAN_SILENT, LOST, REFUSED, LINE_GONE_RAN, LINE_GONE_LOST };
void Deliver(Outcome outcome);
void LineBack();
std::string LastReply(long long id);
bool Traced(const std::string &text);

extern const std::string FS;
std::string Answered(const std::string &body);
std::string Error(const std::string &reason, const std::string &outcome);

}   // namespace seam
