// The fault campaign: tills sell through fiscald to the simulator while the
// line misbehaves (late, dropped and damaged answers, the device vanishing,
// the rate changing, slow commands), at times 64 tills crowd in at once, tills
// leave with their command on the line, and the server is ended (SIGTERM or
// SIGKILL: at a random moment, with a command or a slow command on the line,
// during a rate search) and started again on the same state file, with a
// fixed rate (-b 9600) or a search (-s), with one till per address or with
// tills sharing addresses.
//
// The campaign's own tills follow the server's rules: a command told
// DESCONOCIDO, or left without a reply by a dropped connection, is sent again
// as the very same bytes, as the next command of the connection, or as the
// first command of a new one from the same address. With one till per
// address each of them has an address of its own (127.1.x.y, the client
// socket bound before the connect); in the runs without it they share one
// address two by two (127.2.x.y). `ruvado` tills, and tills that leave
// before their turn, never resend; they connect from 127.0.0.1 whatever the
// run, since their first command is an item named once, which no kept
// command can equal.
//
// Every sale (an item, or a slow command) has bytes of its own, so that a
// line of the simulator's journal (one per command it ran) names the sale it
// came from. Held against what each till was told, these must all be 0:
//   told done, never ran               (a fiscal record missing)
//   ran more often than it was sold    (a fiscal record doubled)
//   told NO ENVIADO, yet ran
//   left before its turn, yet ran
//   a till's sale answered from the memory of another till's at its address
//   a command run that no till sold
//   replies of no known form; ruvado runs ending 255 while the server was up
//   servers that ended by themselves, SIGTERM that did not end one with 0
// DESCONOCIDO and NO VERIFICABLE are honest outcomes, counted; so is a sale
// whose till left with it on the line and never resent it (it may have run:
// the server lets a command on the line run to its end).
//
// Usage: chaos [--seconds N] [--seed N] [--tills N] [--restart-pause MS] [--keep] [--log]
//   --keep  the run's files are kept (they are whenever it fails)
//   --log   each server run's start and end on standard error, timed
#include "childprocess.h"
#include "descriptors.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::string FS = "\x1c";
const int REPLY_LIMIT_MS = 30000;
const int DROP_ONE_IN = 20;   // sends after which a till leaves with its command on the line

// What a till last heard of one sale.
enum class Told {
    Done,           // answered
    NotSent,        // NO ENVIADO at every send, or never sent
    Unknown,        // still DESCONOCIDO when its till stopped resending
    Unverifiable,   // NO VERIFICABLE
    Dropped,        // its till left, or was cut off, without a reply and never resent it
    Gone,           // its till left before its turn: it must never run
};

struct Sale {
    std::string body;   // as the journal writes it: FS shown as '|'
    Told told = Told::NotSent;
    bool seen_run = false;   // the journal showed it run before a neighbour sold the same bytes
    bool twin = false;       // a neighbour's sale of an earlier sale's bytes, at the same address
};

struct Settings {
    int seconds = 60;
    unsigned seed = 1;
    int tills = 8;
    int restart_pause_ms = 0;   // mean pause between restarts; 0: by the run's length
    bool keep = false;          // the run's files kept, even when it passed
    bool log = false;           // each restart on standard error, timed
};

long long NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

struct World {
    std::string dir;
    std::string journal;
    std::atomic<int> port{0};
    std::atomic<long> run{0};            // server runs started; a connection's is the one current
    std::atomic<bool> up{false};         // a server listens
    std::atomic<bool> one_till{false};   // the current run's --one-till-per-address
    std::atomic<bool> running{true};     // new sales are made
    std::atomic<long long> give_up_ms{0};   // in-doubt sales are resent until then; 0: always
    std::atomic<bool> fatal{false};
    std::atomic<long long> down_since_ms{0};
    long long start_ms = NowMs();
    bool log = false;
    std::atomic<int> names{0};
    std::mutex line_control;   // one vanish-and-back or rate change at a time
    std::mutex lock;           // guards what follows
    std::vector<Sale> sales;
    std::set<std::string> slow_bodies;
    std::vector<char> run_one_till;   // by run
    std::map<std::string, long> counts;
};

void Pause(std::mt19937 *random, int low_ms, int high_ms)
{
    std::this_thread::sleep_for(
        std::chrono::milliseconds(low_ms + (int)((*random)() % (unsigned)(high_ms - low_ms + 1))));
}

std::string Shown(std::string text)
{
    for (char &c : text) {
        if (c == '\x1c') {
            c = '|';
        }
    }
    return text;
}

void Count(World *world, const std::string &what, long n = 1)
{
    std::lock_guard<std::mutex> guard(world->lock);
    world->counts[what] += n;
}

long Counted(World *world, const std::string &what)
{
    std::lock_guard<std::mutex> guard(world->lock);
    auto found = world->counts.find(what);
    return found == world->counts.end() ? 0 : found->second;
}

std::string NewItem(World *world, const char *kind)
{
    return "B" + FS + kind + std::to_string(world->names++) + FS + "1" + FS + "1";
}

// A slow command of bytes of its own: leading zeros tell apart two of the
// same work time.
std::string NewSlow(World *world, int low_ms, int span_ms)
{
    int n = world->names++;
    std::string zeros(1 + (size_t)(n / span_ms % 200), '0');
    std::string body = "S" + FS + zeros + std::to_string(low_ms + n % span_ms);
    std::lock_guard<std::mutex> guard(world->lock);
    while (!world->slow_bodies.insert(body).second) {
        body.insert(2, "0");
    }
    return body;
}

int AddSale(World *world, const std::string &command, bool twin = false)
{
    std::lock_guard<std::mutex> guard(world->lock);
    Sale sale;
    sale.body = Shown(command);
    sale.twin = twin;
    world->sales.push_back(sale);
    return (int)world->sales.size() - 1;
}

void Tell(World *world, int sale, Told told)
{
    std::lock_guard<std::mutex> guard(world->lock);
    world->sales[(size_t)sale].told = told;
}

bool RunSharesAddresses(World *world, long run)
{
    std::lock_guard<std::mutex> guard(world->lock);
    return run >= 0 && (size_t)run < world->run_one_till.size() &&
           !world->run_one_till[(size_t)run];
}

// A till's address: its own with one till per address, else the one it
// shares with its neighbour (id ^ 1).
std::string TillAddress(int id, bool one_till)
{
    int n = one_till ? id : id / 2;
    return std::string(one_till ? "127.1." : "127.2.") + std::to_string(n / 250) + "." +
           std::to_string(n % 250 + 1);
}

bool Put(int fd, const std::string &command)
{
    return send(fd, command.data(), command.size(), MSG_NOSIGNAL) == (ssize_t)command.size();
}

// The final reply, as a till reads it; "" when the server closed the
// connection or said nothing for limit_ms (then *silent is set).
std::string Receive(int fd, int limit_ms, bool *silent = nullptr)
{
    char buffer[512];
    for (;;) {
        pollfd wanted{fd, POLLIN, 0};
        if (poll(&wanted, 1, limit_ms) <= 0) {
            if (silent != nullptr) {
                *silent = true;
            }
            return "";
        }
        ssize_t got = recv(fd, buffer, sizeof buffer - 1, 0);
        if (got <= 0) {
            return "";
        }
        std::string reply(buffer, (size_t)got);
        if (reply.find("DC2") == std::string::npos && reply.find("DC4") == std::string::npos) {
            return reply;
        }
    }
}

// A till leaves by shutting its sending side, which the server takes for
// leaving, and reads on until the server's close: a reply written before
// that close reaches it, so it knows for sure whether it was told (a plain
// close could throw away a reply already come, which the server counts as
// delivered).
std::string HangUpAndDrain(int fd, int limit_ms)
{
    shutdown(fd, SHUT_WR);
    return Receive(fd, limit_ms);
}

bool IsAnswer(const std::string &reply)
{
    return reply.size() >= 9 && reply.compare(0, 3, "ERR") != 0;
}

enum class Reply { Answer, NotSent, Unknown, Unverifiable, None, Odd };

Reply Classify(World *world, const std::string &reply)
{
    Reply kind = Reply::Odd;
    if (reply.empty()) {
        kind = Reply::None;
    } else if (reply.rfind("ERR" + FS, 0) == 0) {
        kind = reply.find(FS + "NO VERIFICABLE" + FS + "DESCONOCIDO") != std::string::npos
                   ? Reply::Unverifiable
               : reply.size() > 12 && reply.compare(reply.size() - 12, 12, FS + "DESCONOCIDO") == 0
                   ? Reply::Unknown
               : reply.size() > 11 && reply.compare(reply.size() - 11, 11, FS + "NO ENVIADO") == 0
                   ? Reply::NotSent
                   : Reply::Odd;
    } else if (IsAnswer(reply)) {
        kind = Reply::Answer;
    }
    static const char *const NAMES[] = {"answered",       "NO ENVIADO", "DESCONOCIDO",
                                        "NO VERIFICABLE", "no reply",   "of no known form"};
    Count(world, std::string("replies ") + NAMES[(int)kind]);
    if (kind == Reply::Odd) {
        std::fprintf(stderr, "chaos: a reply of no known form: [%s]\n", Shown(reply).c_str());
    }
    return kind;
}

// The journal's length: each of its lines is written whole, so a length
// always ends a line.
long JournalSize(World *world)
{
    struct stat info {};
    return stat(world->journal.c_str(), &info) == 0 ? (long)info.st_size : 0;
}

// Whether the simulator has run the command since the journal was `offset`
// long: its line is written when the command starts to run.
bool JournalShowsAfter(World *world, long offset, const std::string &command, int limit_ms)
{
    std::string wanted = "\n" + Shown(command) + "\n";
    auto end = Clock::now() + std::chrono::milliseconds(limit_ms);
    do {
        std::ifstream file(world->journal, std::ios::binary);
        file.seekg(offset);
        std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        if (("\n" + text).find(wanted) != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(10ms);
    } while (Clock::now() < end);
    return false;
}

bool JournalGrows(World *world, long offset, int limit_ms)
{
    auto end = Clock::now() + std::chrono::milliseconds(limit_ms);
    while (JournalSize(world) == offset) {
        if (Clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

void Control(World *world, const std::string &line)
{
    int fd = open((world->dir + "/control").c_str(), O_WRONLY | O_NONBLOCK);
    if (fd < 0) {
        return;
    }
    std::string text = line + "\n";
    if (write(fd, text.data(), text.size()) < 0) {
        std::perror("chaos: control");
    }
    close(fd);
}

// One connection of a till at a time.
struct Till {
    int id = -1;   // its addresses follow from it; -1: 127.0.0.1, unbound
    int fd = -1;
    bool fresh = true;   // nothing sent yet on this connection
    long run = -1;       // the server run it was made to
    std::string address;
};

void Hang(Till *till, bool reset = false)
{
    if (till->fd < 0) {
        return;
    }
    if (reset) {
        linger now{1, 0};
        setsockopt(till->fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    }
    close(till->fd);
    till->fd = -1;
}

bool Reach(World *world, Till *till, const std::string &address)
{
    // The run is read before the connect: a connection that succeeds is to
    // that run's server, or to the next one's while the run count still
    // says this one (and then the reply comes on the next run's count).
    till->run = world->run;
    till->fd = descriptors::ConnectLoopback(world->port,
                                            address.empty() ? nullptr : address.c_str());
    till->fresh = true;
    till->address = address;
    return till->fd >= 0;
}

// For a neighbour's sale of the bytes of a sale left on the line: where and
// to which server run it goes.
struct Twin {
    std::string address;
    long run = -1;
};

Told Sell(World *world, Till *till, const std::string &command, std::mt19937 *random,
          const Twin *twin = nullptr);

// The till leaves with its command (or its resend) on the line: the reply,
// when one came all the same. A slow command seen starting may be left by a
// reset, since its answer cannot have come yet.
std::string LeaveWithIt(World *world, Till *till, const std::string &command, bool resend,
                        long offset, std::mt19937 *random)
{
    bool running = !resend && (*random)() % 2 == 0 &&
                   JournalShowsAfter(world, offset, command, 2000);
    if (!running) {
        Pause(random, 0, 300);
    }
    std::string reply;
    bool reset = running && command[0] == 'S' && (*random)() % 2 == 0;
    if (!reset) {
        reply = HangUpAndDrain(till->fd, REPLY_LIMIT_MS);
    }
    Hang(till, reset);
    if (reply.empty()) {
        Count(world, resend ? "tills leaving with their resend on the line"
                            : "tills leaving with their command on the line");
    } else {
        Count(world, "tills leaving whose reply came before the server's close");
    }
    return reply;
}

// A till that left for good in a run of shared addresses, its command seen
// run: its neighbour at that address sells the very same bytes, which must
// never be answered from the first one's memory.
void NeighbourSellsTheSame(World *world, const Twin &twin, int id, int sale,
                           const std::string &command, long offset, std::mt19937 *random)
{
    if (!RunSharesAddresses(world, twin.run) || !JournalShowsAfter(world, offset, command, 3000) ||
        world->run != twin.run) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(world->lock);
        world->sales[(size_t)sale].seen_run = true;
    }
    Count(world, "neighbours selling the same bytes");
    Till neighbour;
    neighbour.id = id ^ 1;
    Sell(world, &neighbour, command, random, &twin);
    Hang(&neighbour);
}

// Line lost between an unknown outcome and its resend: the controller's
// memory of the frame outlives the cable.
void LoseLineBeforeResend(World *world, std::mt19937 *random)
{
    if ((*random)() % 2 != 0 || !world->line_control.try_lock()) {
        return;
    }
    Control(world, "vanish");
    Pause(random, 20, 1000);
    Control(world, "back");
    world->line_control.unlock();
    Count(world, "line losses between an unknown outcome and its resend");
}

// One sale, sent and resent as the server's rules say until its outcome is
// settled; what its till was told.
Told Sell(World *world, Till *till, const std::string &command, std::mt19937 *random,
          const Twin *twin)
{
    int sale = twin == nullptr ? AddSale(world, command) : -1;
    bool in_doubt = false;   // an earlier send may have run
    bool refused = false;    // a twin told NO VERIFICABLE at its first send
    std::string from;        // where a sale in doubt is resent from
    int not_sent = 0;
    Told told = Told::NotSent;
    for (;;) {
        long long give_up = world->give_up_ms;
        if (give_up != 0 && NowMs() > give_up) {
            told = in_doubt ? Told::Unknown : Told::NotSent;
            break;
        }
        if (twin != nullptr && sale < 0 && !world->running) {
            return Told::NotSent;
        }
        if (till->fd < 0) {
            if (twin != nullptr && sale >= 0) {
                told = Told::Dropped;   // a neighbour's sale is never resent on another connection
                break;
            }
            std::string address = twin != nullptr ? twin->address
                                  : in_doubt      ? from
                                                  : TillAddress(till->id, world->one_till);
            if (!Reach(world, till, till->id < 0 ? "" : address) ||
                (twin != nullptr && till->run != twin->run)) {
                Hang(till);
                if (twin != nullptr) {
                    return Told::NotSent;   // the server run it was for has ended: no sale
                }
                if (!in_doubt && !world->running) {
                    break;
                }
                Pause(random, 50, 150);
                continue;
            }
        }
        bool first = till->fresh;
        long offset = JournalSize(world);
        if (!Put(till->fd, command)) {
            Hang(till);
            continue;
        }
        if (sale < 0) {
            sale = AddSale(world, command, true);
        }
        till->fresh = false;
        Count(world, "commands");
        if (in_doubt) {
            Count(world, "resends");
        }
        std::string address = till->address;
        std::string text;
        bool left = twin == nullptr && (*random)() % DROP_ONE_IN == 0;
        if (left) {
            Twin leaving{address, till->run};
            text = LeaveWithIt(world, till, command, in_doubt, offset, random);
            if (text.empty() && (*random)() % 3 == 0) {
                // Gone for good: never resent.
                Tell(world, sale, Told::Dropped);
                if (!in_doubt) {
                    NeighbourSellsTheSame(world, leaving, till->id, sale, command, offset, random);
                }
                return Told::Dropped;
            }
        } else {
            bool silent = false;
            text = Receive(till->fd, REPLY_LIMIT_MS, &silent);
            if (silent) {
                text = HangUpAndDrain(till->fd, 10000);
                Hang(till);
            }
        }
        Reply reply = Classify(world, text);
        if (twin != nullptr && world->run != twin->run) {
            // Perhaps to the next run's server, which may take the address for
            // one till: what it says of the first sale's bytes is no test.
            told = Told::Dropped;
            break;
        }
        if (reply == Reply::Answer) {
            told = Told::Done;
            break;
        }
        if (reply == Reply::Unverifiable && twin != nullptr && first && !refused) {
            // Not another till's to settle: sent again, it is a new command.
            refused = true;
            Count(world, "neighbours' sales of the same bytes refused NO VERIFICABLE");
            continue;
        }
        if (reply == Reply::Unverifiable) {
            told = Told::Unverifiable;
            break;
        }
        if (text.find("SERVIDOR DETENIDO") != std::string::npos) {
            Hang(till);   // that server is ending: the next one is waited for
        }
        if (reply == Reply::NotSent && !in_doubt) {
            if (!world->running || (till->fd >= 0 && ++not_sent >= 10)) {
                break;
            }
            Pause(random, 100, 400);
            continue;
        }
        if (reply == Reply::None) {
            Hang(till);
        }
        if (reply != Reply::NotSent) {
            in_doubt = true;
            from = address;
        }
        if (reply == Reply::Unknown) {
            LoseLineBeforeResend(world, random);
        }
        Pause(random, 50, 150);
    }
    Tell(world, sale, told);
    return told;
}

void SellSome(World *world, Till *till, int count, std::mt19937 *random)
{
    for (int i = 0; i < count && world->running; i++) {
        // Now and then a slow command.
        std::string command = (*random)() % 10 == 0 ? NewSlow(world, 200, 800)
                                                    : NewItem(world, "r");
        Sell(world, till, command, random);
    }
    Hang(till);
}

// A till running ruvado on a command file, which ends with 255 when the
// server goes (and so only then).
void SellWithRuvado(World *world, int till, int items)
{
    std::vector<std::string> commands;
    for (int i = 0; i < items; i++) {
        commands.push_back(NewItem(world, "v"));
    }
    commands.push_back(NewSlow(world, 200, 500));
    commands.push_back("C");
    std::map<std::string, int> sales;
    for (const std::string &command : commands) {
        if (command != "C") {
            sales[Shown(command)] = AddSale(world, command);
        }
    }
    std::string file = world->dir + "/till" + std::to_string(till) + ".txt";
    std::string text;
    for (const std::string &command : commands) {
        text += command + "\n";
    }
    childprocess::WriteFile(file, text);
    std::string cwd = world->dir + "/till" + std::to_string(till);
    mkdir(cwd.c_str(), 0700);
    // A till starts its run once the server is there to take it.
    for (int i = 0; i < 100 && !world->up; i++) {
        std::this_thread::sleep_for(50ms);
    }
    long run = world->run;
    bool up = world->up;
    int port = world->port;
    childprocess::Result result = childprocess::Run(
        {RUVADO_PROGRAM, "-p", std::to_string(port), "-t", "127.0.0.1", file}, cwd, 600000);
    bool stayed_up = up && world->up && run == world->run;
    Count(world, "ruvado runs");
    if (result.status == 255 && !stayed_up) {
        Count(world, "ruvado runs ending 255 across a restart");
    } else if (result.status != 0) {
        Count(world, "ruvado runs ending otherwise while the server was up");
        std::fprintf(stderr, "chaos: ruvado ended %d:\n%s\n", result.status, result.out.c_str());
    }
    // "Envio     : [X]" then "Respuesta : [Y]": what the till was told of X.
    std::istringstream lines(result.out);
    std::string line;
    std::string sent;
    std::set<std::string> shown_sent;
    while (std::getline(lines, line)) {
        if (line.rfind("Envio     : [", 0) == 0) {
            sent = line.substr(13, line.size() - 14);
            shown_sent.insert(sent);
            Count(world, "commands");
        } else if (line.rfind("Respuesta : [", 0) == 0 && sales.count(sent) != 0) {
            std::string reply = line.substr(13, line.size() - 14);
            Told told = reply.rfind("ERR", 0) != 0                          ? Told::Done
                        : reply.find("NO VERIFICABLE") != std::string::npos ? Told::Unverifiable
                        : reply.find("DESCONOCIDO") != std::string::npos    ? Told::Unknown
                                                                            : Told::NotSent;
            Tell(world, sales[sent], told);
            sales.erase(sent);
        }
    }
    // Shown as sent and never answered: the run ended with it on the line.
    // Not shown: never sent, when ruvado ended by itself (it shows a command
    // before it sends it).
    bool whole = result.signal == 0 && !result.timed_out;
    for (const auto &[body, sale] : sales) {
        Tell(world, sale, shown_sent.count(body) != 0 || !whole ? Told::Dropped : Told::NotSent);
    }
}

// Tills that send a command behind a slow one and leave before its turn:
// those commands must never run. Only while one server run lasts: a command
// that reaches a server with an idle line goes on it before its till's
// close is seen.
void Departures(World *world)
{
    Till blocker;
    if (!world->up || !Reach(world, &blocker, "")) {
        Hang(&blocker);
        return;
    }
    std::string slow = NewSlow(world, 1500, 500);
    int sale = AddSale(world, slow);
    long offset = JournalSize(world);
    if (!Put(blocker.fd, slow)) {
        Hang(&blocker);
        return;
    }
    Count(world, "commands");
    if (JournalShowsAfter(world, offset, slow, 5000)) {
        // The slow command runs on the controller: what comes now waits its turn.
        std::vector<int> leaving;
        bool same_run = true;
        for (int i = 0; i < 3; i++) {
            Till left;
            if (!Reach(world, &left, "")) {
                continue;
            }
            std::string item = NewItem(world, "gone");
            if (Put(left.fd, item)) {
                leaving.push_back(AddSale(world, item));
                Count(world, "commands");
            }
            same_run = same_run && left.run == blocker.run;
            Hang(&left);
        }
        same_run = same_run && world->run == blocker.run;
        for (int left : leaving) {
            Tell(world, left, same_run ? Told::Gone : Told::Dropped);
        }
        Count(world, "fault: tills leaving before their turn");
    }
    Reply reply = Classify(world, Receive(blocker.fd, REPLY_LIMIT_MS));
    Tell(world, sale,
         reply == Reply::Answer         ? Told::Done
         : reply == Reply::NotSent      ? Told::NotSent
         : reply == Reply::Unverifiable ? Told::Unverifiable
         : reply == Reply::Unknown      ? Told::Unknown
                                        : Told::Dropped);
    Hang(&blocker);
}

void Faults(World *world, unsigned seed, int settings_tills)
{
    std::mt19937 random(seed * 7919 + 1);
    while (world->running) {
        Pause(&random, 300, 2000);
        switch (random() % 9) {
        case 0:
            Control(world, "late 1 " + std::to_string(200 + random() % 1500));
            Count(world, "fault: late answers");
            break;
        case 1:
            Control(world, "drop " + std::to_string(1 + random() % 3));
            Count(world, "fault: dropped frames");
            break;
        case 2:
            Control(world, "garble " + std::to_string(1 + random() % 2));
            Count(world, "fault: damaged answers");
            break;
        case 3:
        case 4: {
            std::lock_guard<std::mutex> control(world->line_control);
            Control(world, "vanish");
            Pause(&random, 20, 1500);
            Control(world, "back");
            Count(world, "fault: line flaps");
            break;
        }
        case 5: {
            std::lock_guard<std::mutex> control(world->line_control);
            Control(world, "rate 19200");
            Pause(&random, 200, 1500);
            Control(world, "rate 9600");
            Count(world, "fault: rate changes");
            break;
        }
        case 6:
            Control(world, "busy " + std::to_string(500 + random() % 3000));
            Count(world, "fault: slow-command times");
            break;
        case 7: {
            // A crowd: with the regular tills, 64 at once, each selling a
            // few items.
            std::vector<std::thread> crowd;
            for (int i = 0; i < 64 - settings_tills; i++) {
                crowd.emplace_back([world, i, seed] {
                    std::mt19937 own(seed * 31 + (unsigned)i);
                    Till till;
                    till.id = 1000 + i;
                    SellSome(world, &till, 3, &own);
                });
            }
            for (std::thread &till : crowd) {
                till.join();
            }
            Count(world, "fault: crowds of 64 tills");
            break;
        }
        default:
            Departures(world);
            break;
        }
    }
    std::lock_guard<std::mutex> control(world->line_control);
    Control(world, "rate 9600");
    Control(world, "back");
}

// --- the server's runs ---

struct Server {
    childprocess::Child child;
    bool serving = false;   // it said "escuchando en"
};

std::string RunFile(World *world, long run, const char *what)
{
    return world->dir + "/fiscald." + std::to_string(run) + "." + what;
}

// A new server run on the state file; with `wait`, until it serves: false
// when it ended first (its reason on its standard error).
bool StartServer(World *world, bool search, bool one_till, bool wait, Server *server)
{
    long run = world->run + 1;
    {
        std::lock_guard<std::mutex> guard(world->lock);
        world->run_one_till.resize((size_t)run + 1, 0);
        world->run_one_till[(size_t)run] = one_till;
    }
    world->one_till = one_till;
    world->run = run;
    // Room for the 64 tills, the tills that leave and those that reconnect:
    // the client limit itself is tested apart.
    std::vector<std::string> argv = {FISCALD_PROGRAM,
                                     "-p",
                                     std::to_string(world->port),
                                     "-c",
                                     "100",
                                     "-f",
                                     RunFile(world, run, "trace"),
                                     "--state-file",
                                     world->dir + "/state"};
    if (search) {
        argv.push_back("-s");
    } else {
        argv.insert(argv.end(), {"-b", "9600"});
    }
    if (one_till) {
        argv.push_back("--one-till-per-address");
    }
    argv.push_back(world->dir + "/line");
    childprocess::Options options;
    options.err_path = RunFile(world, run, "err");
    server->child = childprocess::Start(argv, options);
    server->serving = false;
    Count(world, search ? "server runs with -s" : "server runs with -b 9600");
    Count(world, one_till ? "server runs with --one-till-per-address"
                          : "server runs with tills sharing addresses");
    if (!wait) {
        return true;
    }
    std::string ready = childprocess::ReadFrom(server->child.out, "escuchando en ", 20000);
    size_t colon = ready.rfind(':');
    if (ready.rfind("escuchando en ", 0) != 0 || colon == std::string::npos) {
        childprocess::Reap(server->child);
        return false;
    }
    world->port = std::stoi(ready.substr(colon + 1));
    if (world->log) {
        std::fprintf(stderr, "chaos: %7.3f s: run %ld serves (%s%s), journal %ld bytes\n",
                     (double)(NowMs() - world->start_ms) / 1000, run, search ? "-s" : "-b 9600",
                     one_till ? ", --one-till-per-address" : "", JournalSize(world));
    }
    server->serving = true;
    world->up = true;
    if (world->down_since_ms != 0) {
        Count(world, "ms without a server", (long)(NowMs() - world->down_since_ms));
    }
    return true;
}

// Started again until one serves; a start refused for the line gone or the
// device still held by the last run's line process is what a service
// manager's restart meets too.
bool StartUntilServing(World *world, std::mt19937 *random, Server *server)
{
    auto end = Clock::now() + 60s;
    while (Clock::now() < end) {
        long run = world->run + 1;
        if (StartServer(world, (*random)() % 2 == 0, (*random)() % 2 == 0, true, server)) {
            return true;
        }
        std::string why = childprocess::ReadFile(RunFile(world, run, "err"));
        Count(world,
              why.find("no se puede abrir") != std::string::npos ? "starts refused: the line gone"
              : why.find("ya esta en uso") != std::string::npos  ? "starts refused: the device held"
                                                                 : "starts refused otherwise");
        Pause(random, 50, 150);
    }
    std::fprintf(stderr, "chaos: no server would start for 60 s: %s\n",
                 childprocess::ReadFile(RunFile(world, world->run, "err")).c_str());
    return false;
}

// Ends the server run with sig. A serving server that had ended by itself,
// or one that SIGTERM did not end with status 0 within 25 s, is a fault.
void StopServer(World *world, Server *server, int sig)
{
    world->up = false;
    world->down_since_ms = NowMs();
    int status = 0;
    pid_t pid = server->child.pid;
    if (waitpid(pid, &status, WNOHANG) == pid) {
        if (server->serving) {
            Count(world, "servers that ended by themselves");
            std::fprintf(stderr, "chaos: server run %ld ended by itself, status %d\n",
                         world->run.load(), status);
        }
    } else {
        kill(pid, sig);
        auto end = Clock::now() + 25s;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (Clock::now() > end) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(2ms);
        }
        if (sig == SIGTERM && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
            Count(world, "SIGTERM stops not ending with status 0 in time");
            std::fprintf(stderr, "chaos: server run %ld: SIGTERM, then status %d\n",
                         world->run.load(), status);
        }
    }
    server->child.pid = -1;
    for (int *fd : {&server->child.out, &server->child.err}) {
        if (*fd >= 0) {
            close(*fd);
        }
        *fd = -1;
    }
    server->serving = false;
}

void CountRestart(World *world, int sig, const char *moment)
{
    if (world->log) {
        std::fprintf(stderr, "chaos: %7.3f s: run %ld ended by %s %s\n",
                     (double)(NowMs() - world->start_ms) / 1000, world->run.load(),
                     sig == SIGKILL ? "SIGKILL" : "SIGTERM", moment);
    }
    Count(world, std::string(sig == SIGKILL ? "restart: SIGKILL " : "restart: SIGTERM ") + moment);
    Count(world, "restarts");
}

size_t Occurrences(const std::string &text, const std::string &what)
{
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        count++;
    }
    return count;
}

enum class Search { Begun, Stuck, None };

// Whether the run searches for the controller, which answers at another
// rate: a run that keeps the controller's memory for a resend takes the
// remembered rate without a probe; once a command has failed there, the
// next must search. Stuck: the remembered rate taken again without a probe.
Search AwaitSearch(World *world, long run, int limit_ms)
{
    auto end = Clock::now() + std::chrono::milliseconds(limit_ms);
    do {
        std::string trace = childprocess::ReadFile(RunFile(world, run, "trace"));
        if (trace.find("Buscando Controlador Fiscal") != std::string::npos) {
            return Search::Begun;
        }
        if (Occurrences(trace, "como la ultima vez (sin sondeo)") >= 2) {
            return Search::Stuck;
        }
        std::this_thread::sleep_for(20ms);
    } while (Clock::now() < end);
    return Search::None;
}

// The server ended and started again at random moments; a slow command for
// that is sold by a till of the campaign's own, which then resends it.
void Restarts(World *world, Server *server, const Settings &settings)
{
    std::mt19937 random(settings.seed * 104729 + 7);
    std::vector<std::thread> slow_tills;
    int pause_ms = settings.restart_pause_ms;
    while (world->running) {
        auto until = Clock::now() + std::chrono::milliseconds(random() % (2 * pause_ms + 1));
        while (world->running && Clock::now() < until) {
            std::this_thread::sleep_for(20ms);
        }
        if (!world->running) {
            break;
        }
        int sig = random() % 2 == 0 ? SIGKILL : SIGTERM;
        int moment = (int)(random() % 6);
        const char *what = "at a random moment";
        if ((moment == 1 || moment == 2) && JournalGrows(world, JournalSize(world), 2000)) {
            what = "with a command on the line";
            Pause(&random, 0, 20);
        } else if (moment == 3 || moment == 4) {
            std::string slow = NewSlow(world, 600, 900);
            long offset = JournalSize(world);
            int id = 2000 + (int)slow_tills.size() % 500;
            unsigned seed = settings.seed * 7 + (unsigned)slow_tills.size();
            slow_tills.emplace_back([world, id, slow, seed] {
                std::mt19937 own(seed);
                Till till;
                till.id = id;
                Sell(world, &till, slow, &own);
                Hang(&till);
            });
            if (JournalShowsAfter(world, offset, slow, 5000)) {
                what = "with a slow command on the line";
                Pause(&random, 0, 500);
            }
        }
        StopServer(world, server, sig);
        CountRestart(world, sig, what);
        if (moment == 5) {
            // The controller found at another rate: the search that follows
            // is cut short.
            std::lock_guard<std::mutex> control(world->line_control);
            Control(world, "rate 19200");
            StartServer(world, true, random() % 2 == 0, false, server);
            Search search = AwaitSearch(world, world->run, 10000);
            if (search == Search::Begun) {
                Pause(&random, 0, 1000);
            }
            if (search == Search::Stuck) {
                Count(world, "-s runs retrying the remembered rate without a probe, no search");
            }
            int during = random() % 2 == 0 ? SIGKILL : SIGTERM;
            StopServer(world, server, during);
            CountRestart(world, during,
                         search == Search::Begun   ? "during a rate search"
                         : search == Search::Stuck ? "with the search never begun"
                                                   : "during start-up");
            Control(world, "rate 9600");
        }
        if (!StartUntilServing(world, &random, server)) {
            world->fatal = true;
            world->running = false;
        }
    }
    for (std::thread &till : slow_tills) {
        till.join();
    }
}

// --- the journal against what the tills were told ---

struct Verdict {
    long done_not_run = 0;
    long ran_twice = 0;
    long not_sent_ran = 0;
    long gone_ran = 0;
    long answered_for_another = 0;
    long ran_unsold = 0;
    long twins_done = 0;
    std::map<Told, long> told;
    std::map<Told, long> told_ran;
};

Verdict Judge(World *world, long *journal_lines)
{
    std::map<std::string, long> ran;
    std::istringstream lines(childprocess::ReadFile(world->journal));
    std::string line;
    *journal_lines = 0;
    while (std::getline(lines, line)) {
        ran[line]++;
        (*journal_lines)++;
    }
    std::map<std::string, std::vector<const Sale *>> by_body;
    for (const Sale &sale : world->sales) {
        by_body[sale.body].push_back(&sale);
    }
    Verdict verdict;
    for (const auto &[body, sales] : by_body) {
        long runs = ran.count(body) != 0 ? ran[body] : 0;
        long certain = 0, may = 0, not_sent = 0, gone = 0, twins = 0;
        for (const Sale *sale : sales) {
            verdict.told[sale->told]++;
            verdict.told_ran[sale->told] += runs > 0;
            certain += sale->told == Told::Done || sale->seen_run;
            may += sale->told != Told::NotSent && sale->told != Told::Gone;
            not_sent += sale->told == Told::NotSent;
            gone += sale->told == Told::Gone;
            twins += sale->twin;
            verdict.twins_done += sale->twin && sale->told == Told::Done;
        }
        const char *fault = nullptr;
        if (runs < certain) {
            fault = twins > 0 ? "answered from another till's memory" : "told done, never ran";
            (twins > 0 ? verdict.answered_for_another : verdict.done_not_run)++;
        } else if (runs > (long)sales.size()) {
            fault = "ran more often than sold";
            verdict.ran_twice++;
        } else if (runs > may && not_sent > 0) {
            fault = "told NO ENVIADO, yet ran";
            verdict.not_sent_ran++;
        } else if (runs > may && gone > 0) {
            fault = "left before its turn, yet ran";
            verdict.gone_ran++;
        }
        if (fault != nullptr) {
            std::fprintf(stderr, "chaos: %s: %s (sold %zu times, ran %ld)\n", fault, body.c_str(),
                         sales.size(), runs);
        }
    }
    for (const auto &[body, count] : ran) {
        if ((body[0] == 'B' || body[0] == 'S') && by_body.count(body) == 0) {
            std::fprintf(stderr, "chaos: ran, sold by nobody: %s\n", body.c_str());
            verdict.ran_unsold++;
        }
    }
    return verdict;
}

void PrintCounts(World *world, const char *title, const std::string &prefix)
{
    std::string text;
    for (const auto &[what, count] : world->counts) {
        if (what.rfind(prefix, 0) == 0) {
            text += (text.empty() ? "" : ", ") + what.substr(prefix.size()) + " " +
                    std::to_string(count);
        }
    }
    std::printf("chaos: %s: %s\n", title, text.empty() ? "none" : text.c_str());
}

int Run(Settings settings)
{
    World world;
    world.log = settings.log;
    world.dir = childprocess::MakeTempDir();
    world.journal = world.dir + "/journal";
    if (settings.restart_pause_ms == 0) {
        // Long runs restart often enough for hundreds of restarts.
        settings.restart_pause_ms = settings.seconds >= 300 ? 50 : 2000;
    }
    childprocess::Child sim = childprocess::Start({FISCALSIM_PROGRAM, "-r", "9600", "-b", "1500",
                                                   "-l", world.dir + "/line", "-c",
                                                   world.dir + "/control", "-j", world.journal});
    if (childprocess::ReadLine(sim.out).empty()) {
        std::fprintf(stderr, "chaos: the simulator did not start\n");
        return 2;
    }
    Server server;
    if (!StartServer(&world, true, false, true, &server)) {
        std::fprintf(stderr, "chaos: the server did not start: %s\n",
                     childprocess::ReadFile(RunFile(&world, world.run, "err")).c_str());
        return 2;
    }
    int opener = descriptors::ConnectLoopback(world.port);
    if (opener < 0 || !Put(opener, "A") || !IsAnswer(Receive(opener, REPLY_LIMIT_MS))) {
        std::fprintf(stderr, "chaos: no receipt could be opened\n");
        return 2;
    }
    close(opener);

    auto start = Clock::now();
    std::vector<std::thread> tills;
    for (int till = 0; till < settings.tills; till++) {
        tills.emplace_back([&world, till, &settings] {
            std::mt19937 random(settings.seed * 1000 + (unsigned)till);
            Till own;
            own.id = 10 + till / 2;   // neighbours two by two in shared-address runs
            for (int round = 0; world.running; round++) {
                if (till % 2 == 0) {
                    SellWithRuvado(&world, till * 100000 + round, 6);
                } else {
                    SellSome(&world, &own, 6, &random);
                }
                // A till's pace between sales: while the line is down, tills
                // would otherwise spin through sales that cannot be sent.
                Pause(&random, 100, 500);
            }
        });
    }
    std::thread faults(Faults, &world, settings.seed, settings.tills);
    std::thread restarts(Restarts, &world, &server, settings);
    auto end = start + std::chrono::seconds(settings.seconds);
    while (Clock::now() < end && !world.fatal) {
        std::this_thread::sleep_for(200ms);
    }
    // No new sales; those in doubt have a while to be settled.
    world.running = false;
    world.give_up_ms = NowMs() + 30000;
    faults.join();
    restarts.join();
    for (std::thread &till : tills) {
        till.join();
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    StopServer(&world, &server, SIGTERM);
    kill(sim.pid, SIGTERM);
    childprocess::Reap(sim);

    long journal_lines = 0;
    Verdict verdict = Judge(&world, &journal_lines);
    std::printf("chaos: %d s (%.0f s with the settling), seed %u, %d tills; %ld commands "
                "(%ld resends), %ld journal lines\n",
                settings.seconds, seconds, settings.seed, settings.tills,
                Counted(&world, "commands"), Counted(&world, "resends"), journal_lines);
    std::printf("chaos: restarts %ld, server runs %ld, %.1f s without a server listening\n",
                Counted(&world, "restarts"), world.run.load(),
                (double)Counted(&world, "ms without a server") / 1000);
    PrintCounts(&world, "restarts by kind", "restart: ");
    PrintCounts(&world, "server runs", "server runs with ");
    PrintCounts(&world, "starts refused", "starts refused: ");
    PrintCounts(&world, "replies", "replies ");
    std::printf("chaos: sales told done %ld, NO ENVIADO %ld, DESCONOCIDO %ld (ran %ld), "
                "NO VERIFICABLE %ld (ran %ld); left on the line and never resent %ld (ran %ld); "
                "left before their turn %ld\n",
                verdict.told[Told::Done], verdict.told[Told::NotSent], verdict.told[Told::Unknown],
                verdict.told_ran[Told::Unknown], verdict.told[Told::Unverifiable],
                verdict.told_ran[Told::Unverifiable], verdict.told[Told::Dropped],
                verdict.told_ran[Told::Dropped], verdict.told[Told::Gone]);
    PrintCounts(&world, "faults", "fault: ");
    PrintCounts(&world, "tills leaving", "tills leaving ");
    std::printf("chaos: line losses between an unknown outcome and its resend %ld; neighbours "
                "selling the same bytes %ld (refused NO VERIFICABLE %ld, then told done %ld)\n",
                Counted(&world, "line losses between an unknown outcome and its resend"),
                Counted(&world, "neighbours selling the same bytes"),
                Counted(&world, "neighbours' sales of the same bytes refused NO VERIFICABLE"),
                verdict.twins_done);
    long stuck = Counted(&world, "-s runs retrying the remembered rate without a probe, no search");
    std::printf("chaos: -s runs retrying the remembered rate without a probe and never "
                "searching for the controller at another rate: %ld\n",
                stuck);
    std::printf("chaos: ruvado runs %ld, ended 255 across a restart %ld, ended otherwise while "
                "the server was up %ld\n",
                Counted(&world, "ruvado runs"),
                Counted(&world, "ruvado runs ending 255 across a restart"),
                Counted(&world, "ruvado runs ending otherwise while the server was up"));
    long odd = Counted(&world, "replies of no known form");
    long ended = Counted(&world, "servers that ended by themselves");
    long stops = Counted(&world, "SIGTERM stops not ending with status 0 in time");
    long ruvado = Counted(&world, "ruvado runs ending otherwise while the server was up");
    std::printf("chaos: told done never ran %ld; ran more often than sold %ld; told NO ENVIADO "
                "yet ran %ld; left before their turn yet ran %ld; answered from another till's "
                "memory %ld; ran, sold by nobody %ld; replies of no known form %ld; servers that "
                "ended by themselves %ld; SIGTERM not ending with 0 %ld\n",
                verdict.done_not_run, verdict.ran_twice, verdict.not_sent_ran, verdict.gone_ran,
                verdict.answered_for_another, verdict.ran_unsold, odd, ended, stops);
    bool clean = verdict.done_not_run == 0 && verdict.ran_twice == 0 && verdict.not_sent_ran == 0 &&
                 verdict.gone_ran == 0 && verdict.answered_for_another == 0 &&
                 verdict.ran_unsold == 0 && odd == 0 && ended == 0 && stops == 0 && ruvado == 0 &&
                 stuck == 0 && !world.fatal && verdict.told[Told::Done] > 0;
    if (settings.keep) {
        std::printf("chaos: the run's files are in %s\n", world.dir.c_str());
    } else if (clean) {
        childprocess::RemoveTree(world.dir);
    } else {
        std::printf("chaos: FAILED; the run's files are in %s\n", world.dir.c_str());
    }
    return clean ? 0 : 1;
}

}   // namespace

int main(int argc, char **argv)
{
    Settings settings;
    for (int i = 1; i < argc; i++) {
        std::string option = argv[i];
        if (i + 1 < argc && option == "--seconds") {
            settings.seconds = std::atoi(argv[++i]);
        } else if (i + 1 < argc && option == "--seed") {
            settings.seed = (unsigned)std::atoi(argv[++i]);
        } else if (i + 1 < argc && option == "--tills") {
            settings.tills = std::atoi(argv[++i]);
        } else if (i + 1 < argc && option == "--restart-pause") {
            settings.restart_pause_ms = std::atoi(argv[++i]);
        } else if (option == "--keep") {
            settings.keep = true;
        } else if (option == "--log") {
            settings.log = true;
        } else {
            std::fprintf(stderr, "usage: chaos [--seconds N] [--seed N] [--tills N] "
                                 "[--restart-pause MS] [--keep] [--log]\n");
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    return Run(settings);
}
