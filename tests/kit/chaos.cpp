// The fault campaign: tills sell through fiscald to the simulator while the
// line misbehaves (late, dropped and damaged answers, the device vanishing,
// the rate changing, slow commands) and, at times, 64 tills crowd in at once.
// Then the simulator's journal (one line per command it ran) is held against
// what every till was told:
//   told done, never ran       (a fiscal record missing)
//   ran twice                  (a fiscal record doubled)
//   ran after its till left    (a record nobody asked for any more)
//   told not sent, yet ran
//   ruvado runs that ended 255 while the server was up
// Every one of them must be 0. Each sale is an item with a name of its own,
// so that a journal line names the command it came from; the other commands
// (slow ones, subtotals) load the line but are not told apart.
//
// Usage: chaos [--seconds N] [--seed N] [--tills N] [--quiet]
#include "childprocess.h"

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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::string FS = "\x1c";

enum class Told { Done, NotSent, Unknown, Gone };

struct Settings {
    int seconds = 60;
    unsigned seed = 1;
    int tills = 8;
    bool quiet = false;
};

struct World {
    std::string dir;
    int port = 0;
    std::mutex lock;
    std::map<std::string, Told> told;   // item (FS shown as '|') -> what its till was told
    std::map<std::string, int> faults;
    long commands = 0;
    long resends = 0;
    long ruvado_runs = 0;
    long ruvado_255 = 0;
    std::atomic<bool> running{true};
    std::atomic<int> names{0};
};

std::string Shown(std::string text)
{
    for (char &c : text) {
        if (c == '\x1c') {
            c = '|';
        }
    }
    return text;
}

std::string NewItem(World *world, const char *kind)
{
    return "B" + FS + kind + std::to_string(world->names++) + FS + "1" + FS + "1";
}

void Tell(World *world, const std::string &command, Told told)
{
    std::lock_guard<std::mutex> guard(world->lock);
    world->told[Shown(command)] = told;
}

void Count(World *world, const std::string &what, long *counter = nullptr)
{
    std::lock_guard<std::mutex> guard(world->lock);
    if (counter != nullptr) {
        (*counter)++;
    } else {
        world->faults[what]++;
    }
}

int Connect(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons((uint16_t)port);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (sockaddr *)&server, sizeof server) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The final reply to one command, as a till reads it; "" when the server
// closed the connection or said nothing for limit_ms.
std::string Ask(int fd, const std::string &command, int limit_ms = 20000)
{
    if (send(fd, command.data(), command.size(), MSG_NOSIGNAL) != (ssize_t)command.size()) {
        return "";
    }
    char buffer[512];
    for (;;) {
        pollfd wanted{fd, POLLIN, 0};
        if (poll(&wanted, 1, limit_ms) <= 0) {
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

bool IsAnswer(const std::string &reply)
{
    return reply.size() >= 9 && reply.compare(0, 3, "ERR") != 0;
}

// A till of our own: sells items and resends a command whose outcome the
// server calls unknown, as its next command, until it is settled.
void SellWithResends(World *world, int items, std::mt19937 *random)
{
    int fd = Connect(world->port);
    if (fd < 0) {
        return;
    }
    for (int i = 0; i < items && world->running; i++) {
        // Now and then a slow command (those are not told apart in the
        // journal: only the items are checked).
        std::string command = (*random)() % 8 == 0
                                  ? "S" + FS + std::to_string(300 + (*random)() % 1500)
                                  : NewItem(world, "r");
        Told told = Told::NotSent;
        for (int round = 0; round < 30; round++) {
            Count(world, "", &world->commands);
            std::string reply = Ask(fd, command);
            if (IsAnswer(reply)) {
                told = Told::Done;
                break;
            }
            if (reply.find("DESCONOCIDO") != std::string::npos) {
                told = Told::Unknown;
                if (reply.find("NO VERIFICABLE") != std::string::npos) {
                    break;
                }
                Count(world, "", &world->resends);
                std::this_thread::sleep_for(50ms);
                continue;
            }
            if (reply.empty()) {
                close(fd);   // the server let go of us: go on from a new connection
                fd = Connect(world->port);
                if (fd < 0) {
                    break;
                }
            }
            // Not sent: sending it again later is safe, unless an earlier
            // send of it may have run.
            if (told != Told::Unknown) {
                told = Told::NotSent;
            }
            std::this_thread::sleep_for(100ms);
        }
        if (command[0] == 'B') {
            Tell(world, command, told);
        }
    }
    if (fd >= 0) {
        close(fd);
    }
}

// A till running ruvado on a command file; every line gets its reply read
// back from the console, and the run must end with status 0.
void SellWithRuvado(World *world, int till, int items)
{
    std::vector<std::string> commands;
    for (int i = 0; i < items; i++) {
        commands.push_back(NewItem(world, "v"));
    }
    commands.push_back("S" + FS + std::to_string(300 + till % 1000));
    commands.push_back("C");
    std::string file = world->dir + "/till" + std::to_string(till) + ".txt";
    std::string text;
    for (const std::string &command : commands) {
        text += command + "\n";
    }
    childprocess::WriteFile(file, text);
    std::string cwd = world->dir + "/till" + std::to_string(till);
    mkdir(cwd.c_str(), 0700);
    childprocess::Result result = childprocess::Run(
        {RUVADO_PROGRAM, "-p", std::to_string(world->port), "-t", "127.0.0.1", file}, cwd, 600000);
    Count(world, "", &world->ruvado_runs);
    if (result.status != 0) {
        Count(world, "", &world->ruvado_255);
        std::fprintf(stderr, "chaos: ruvado ended %d:\n%s\n", result.status, result.out.c_str());
    }
    // "Envio     : [X]" then "Respuesta : [Y]": what the till was told of X.
    std::istringstream lines(result.out);
    std::string line;
    std::string sent;
    while (std::getline(lines, line)) {
        if (line.rfind("Envio     : [", 0) == 0) {
            sent = line.substr(13, line.size() - 14);
            Count(world, "", &world->commands);
        } else if (line.rfind("Respuesta : [", 0) == 0 && sent.rfind("B|", 0) == 0) {
            std::string reply = line.substr(13, line.size() - 14);
            Told told = reply.rfind("ERR", 0) != 0                       ? Told::Done
                        : reply.find("DESCONOCIDO") != std::string::npos ? Told::Unknown
                                                                         : Told::NotSent;
            std::lock_guard<std::mutex> guard(world->lock);
            world->told[sent] = told;
            sent.clear();
        }
    }
    // Items ruvado never got to (it ended early) count as unknown: sent or not.
    std::lock_guard<std::mutex> guard(world->lock);
    for (const std::string &command : commands) {
        if (command[0] == 'B' && world->told.count(Shown(command)) == 0) {
            world->told[Shown(command)] = Told::Unknown;
        }
    }
}

// Whether the simulator has run a command: its journal line is written when
// the command starts to run, before its answer.
bool JournalShows(const std::string &journal, const std::string &command, int limit_ms)
{
    auto end = Clock::now() + std::chrono::milliseconds(limit_ms);
    do {
        std::string text = "\n" + childprocess::ReadFile(journal);
        if (text.find("\n" + Shown(command) + "\n") != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    } while (Clock::now() < end);
    return false;
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

// Tills that send a command behind a slow one and leave before its turn:
// those commands must never run.
void Departures(World *world)
{
    int blocker = Connect(world->port);
    if (blocker < 0) {
        return;
    }
    std::string slow = "S" + FS + std::to_string(1500 + world->names++ % 500);
    if (send(blocker, slow.data(), slow.size(), MSG_NOSIGNAL) != (ssize_t)slow.size() ||
        !JournalShows(world->dir + "/journal", slow, 5000)) {
        close(blocker);
        return;
    }
    // The slow command runs on the controller: what comes now waits its turn.
    for (int i = 0; i < 3; i++) {
        int leaving = Connect(world->port);
        if (leaving < 0) {
            continue;
        }
        std::string item = NewItem(world, "gone");
        if (send(leaving, item.data(), item.size(), MSG_NOSIGNAL) == (ssize_t)item.size()) {
            Tell(world, item, Told::Gone);
        }
        close(leaving);
    }
    Count(world, "clients leaving before their turn");
    char buffer[512];
    pollfd wanted{blocker, POLLIN, 0};
    while (poll(&wanted, 1, 20000) > 0 && recv(blocker, buffer, sizeof buffer, 0) > 0) {
        if (std::string(buffer, 3) != "DC2") {
            break;
        }
    }
    close(blocker);
}

void Faults(World *world, unsigned seed, int settings_tills)
{
    std::mt19937 random(seed * 7919 + 1);
    auto pause = [&](int low_ms, int high_ms) {
        std::this_thread::sleep_for(
            std::chrono::milliseconds(low_ms + random() % (high_ms - low_ms)));
    };
    while (world->running) {
        pause(300, 2000);
        switch (random() % 9) {
        case 0:
            Control(world, "late 1 " + std::to_string(200 + random() % 1500));
            Count(world, "late answers");
            break;
        case 1:
            Control(world, "drop " + std::to_string(1 + random() % 3));
            Count(world, "dropped frames");
            break;
        case 2:
            Control(world, "garble " + std::to_string(1 + random() % 2));
            Count(world, "damaged answers");
            break;
        case 3:
        case 4:
            Control(world, "vanish");
            pause(20, 1500);
            Control(world, "back");
            Count(world, "line flaps");
            break;
        case 5:
            Control(world, "rate 19200");
            pause(200, 1500);
            Control(world, "rate 9600");
            Count(world, "rate changes");
            break;
        case 6:
            Control(world, "busy " + std::to_string(500 + random() % 3000));
            Count(world, "slow-command times");
            break;
        case 7: {
            // A crowd: with the regular tills, 64 at once, each selling a
            // few items.
            std::vector<std::thread> crowd;
            for (int i = 0; i < 64 - settings_tills; i++) {
                crowd.emplace_back([world, i, seed] {
                    std::mt19937 own(seed * 31 + (unsigned)i);
                    SellWithResends(world, 3, &own);
                });
            }
            for (std::thread &till : crowd) {
                till.join();
            }
            Count(world, "crowds of 64 tills");
            break;
        }
        default:
            Departures(world);
            break;
        }
    }
    Control(world, "rate 9600");
    Control(world, "back");
}

int Run(const Settings &settings)
{
    World world;
    world.dir = childprocess::MakeTempDir();
    std::string journal = world.dir + "/journal";
    childprocess::Child sim = childprocess::Start({FISCALSIM_PROGRAM, "-r", "9600", "-b", "1500",
                                                   "-l", world.dir + "/line", "-c",
                                                   world.dir + "/control", "-j", journal});
    if (childprocess::ReadLine(sim.out).empty()) {
        std::fprintf(stderr, "chaos: the simulator did not start\n");
        return 2;
    }
    // Room for the 64 tills, the tills that leave and a reconnecting one: the
    // client limit itself is tested apart.
    childprocess::Child server = childprocess::Start({FISCALD_PROGRAM, "-p", "0", "-s", "-c", "100",
                                                      "-f", world.dir + "/trace",
                                                      world.dir + "/line"});
    std::string ready = childprocess::ReadFrom(server.out, "escuchando en ");
    size_t colon = ready.rfind(':');
    if (colon == std::string::npos) {
        std::fprintf(stderr, "chaos: the server did not start: %s\n", ready.c_str());
        return 2;
    }
    world.port = std::stoi(ready.substr(colon + 1));
    int opener = Connect(world.port);
    if (opener < 0 || !IsAnswer(Ask(opener, "A"))) {
        std::fprintf(stderr, "chaos: no receipt could be opened\n");
        return 2;
    }
    close(opener);

    std::vector<std::thread> tills;
    for (int till = 0; till < settings.tills; till++) {
        tills.emplace_back([&world, till, &settings] {
            std::mt19937 random(settings.seed * 1000 + (unsigned)till);
            for (int round = 0; world.running; round++) {
                if (till % 2 == 0) {
                    SellWithRuvado(&world, till * 100000 + round, 6);
                } else {
                    SellWithResends(&world, 6, &random);
                }
                // A till's pace between sales: while the line is down, tills
                // would otherwise spin through sales that cannot be sent.
                std::this_thread::sleep_for(std::chrono::milliseconds(100 + random() % 400));
            }
        });
    }
    std::thread faults(Faults, &world, settings.seed, settings.tills);
    auto end = Clock::now() + std::chrono::seconds(settings.seconds);
    while (Clock::now() < end) {
        std::this_thread::sleep_for(200ms);
    }
    world.running = false;
    faults.join();
    for (std::thread &till : tills) {
        till.join();
    }

    kill(server.pid, SIGTERM);
    int server_status = childprocess::Reap(server);
    kill(sim.pid, SIGTERM);
    childprocess::Reap(sim);

    std::map<std::string, int> ran;
    std::istringstream lines(childprocess::ReadFile(journal));
    std::string line;
    long journal_lines = 0;
    while (std::getline(lines, line)) {
        ran[line]++;
        journal_lines++;
    }
    long done_not_run = 0, ran_twice = 0, gone_ran = 0, not_sent_ran = 0;
    std::map<Told, long> by_kind;
    for (const auto &[command, told] : world.told) {
        int count = ran.count(command) != 0 ? ran[command] : 0;
        by_kind[told]++;
        done_not_run += told == Told::Done && count == 0;
        gone_ran += told == Told::Gone && count > 0;
        not_sent_ran += told == Told::NotSent && count > 0;
        if ((told == Told::Done || told == Told::NotSent || told == Told::Unknown) && count > 1) {
            std::fprintf(stderr, "chaos: ran %d times: %s\n", count, command.c_str());
        }
        if (told == Told::Gone && count > 0) {
            std::fprintf(stderr, "chaos: ran after its till left: %s\n", command.c_str());
        }
        if (told == Told::Done && count == 0) {
            std::fprintf(stderr, "chaos: told done, never ran: %s\n", command.c_str());
        }
    }
    for (const auto &[command, count] : ran) {
        ran_twice += command[0] == 'B' && count > 1;
    }

    std::printf("chaos: %d s, seed %u, %d tills; %ld commands (%ld resends), %ld journal lines\n",
                settings.seconds, settings.seed, settings.tills, world.commands, world.resends,
                journal_lines);
    std::printf(
        "chaos: sales told done %ld, not sent %ld, unknown %ld; left before their turn %ld\n",
        by_kind[Told::Done], by_kind[Told::NotSent], by_kind[Told::Unknown], by_kind[Told::Gone]);
    for (const auto &[fault, count] : world.faults) {
        std::printf("chaos: fault: %s %d\n", fault.c_str(), count);
    }
    std::printf("chaos: ruvado runs %ld, ended 255: %ld\n", world.ruvado_runs, world.ruvado_255);
    std::printf("chaos: told done never ran %ld; ran twice %ld; ran after its till left %ld; "
                "told not sent yet ran %ld; server status %d\n",
                done_not_run, ran_twice, gone_ran, not_sent_ran, server_status);
    bool clean = done_not_run == 0 && ran_twice == 0 && gone_ran == 0 && not_sent_ran == 0 &&
                 world.ruvado_255 == 0 && server_status == 0 && by_kind[Told::Done] > 0;
    if (clean) {
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
        if (option == "--quiet") {
            settings.quiet = true;
        } else if (i + 1 < argc && option == "--seconds") {
            settings.seconds = std::atoi(argv[++i]);
        } else if (i + 1 < argc && option == "--seed") {
            settings.seed = (unsigned)std::atoi(argv[++i]);
        } else if (i + 1 < argc && option == "--tills") {
            settings.tills = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: chaos [--seconds N] [--seed N] [--tills N]\n");
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    return Run(settings);
}
