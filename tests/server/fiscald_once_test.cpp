// A command runs at most once and never for a client that has left; many
// clients share the one line; the server outlives hang-ups, its line worker's
// end, a flapping device and a second server on the same line.
#include "childprocess.h"
#include "fiscald_fixture.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

namespace {

using namespace fiscaldtest;
using namespace std::chrono_literals;

const std::string UNKNOWN_SILENT = "ERR" + FS + "SIN RESPUESTA" + FS + "DESCONOCIDO";
const std::string STATUS_IDLE = "0000" + FS + "0000" + FS + "0" + FS + "00000000" + FS + "0";

std::string Item(const std::string &name)
{
    return "B" + FS + name + FS + "1" + FS + "1";
}

// The server ends (an upgrade's SIGTERM, a crash's SIGKILL) between a
// command that ran unanswered and its resend: the restarted server goes on
// from its state file, and the resend is answered from the controller's
// memory instead of running again.
TEST_F(Fiscald, ARestartBetweenACommandAndItsResendSettlesItFromTheControllersMemory)
{
    StartSim(9600, 0);
    const std::vector<std::string> args = {"-w", "300", "--one-till-per-address", "--state-file",
                                           TempDir() + "/state"};
    for (int signal_number : {SIGTERM, SIGKILL}) {
        SCOPED_TRACE(signal_number);
        StartServer(args);
        int till = NewClient();
        Final(till, "A");   // a receipt open (the second time: still open)
        long before = fiscalsim_commands_executed();
        fiscalsim_answer_late(1, 1500);
        ASSERT_EQ(Final(till, Item("y")), UNKNOWN_SILENT);
        StopServer(signal_number);
        std::this_thread::sleep_for(800ms);   // the late answer has gone by
        StartServer(args);
        std::string settled = Final(NewClient(), Item("y"));
        EXPECT_EQ(settled.rfind("0000" + FS + "0100" + FS + "y" + FS, 0), 0u) << settled;
        EXPECT_EQ(fiscalsim_commands_executed(), before + 1);
        ASSERT_EQ(StopServer(SIGTERM), 0);
    }
}

// A package upgrade hands the service to the new program (SIGUSR2) while 16
// tills are in the middle of their receipts: no till's run fails, nothing
// queued is lost, and every item runs once.
TEST_F(Fiscald, AHandoverUnderLoadCostsNoTillARunAndRunsEveryItemOnce)
{
    StartSim(9600, 0);
    std::string dir = TempDir();
    ASSERT_EQ(fiscalsim_journal((dir + "/journal").c_str()), 0);
    StartServer({"-f", dir + "/trace", "--state-file", dir + "/state"});
    const int tills = 16;
    const int items = 150;
    std::vector<childprocess::Result> results(tills);
    std::vector<std::thread> runs;
    for (int till = 0; till < tills; till++) {
        std::string file = "till" + std::to_string(till) + ".txt";
        std::string lines;
        for (int item = 0; item < items; item++) {
            lines += Item("t" + std::to_string(till) + "-" + std::to_string(item)) + "\n";
        }
        childprocess::WriteFile(dir + "/" + file, lines);
        runs.emplace_back([&, till, file] {
            results[(size_t)till] = childprocess::Run(
                {RUVADO_PROGRAM, "-p", std::to_string(tcp_port_), "-t", "127.0.0.1", file}, dir,
                60000);
        });
    }
    for (int handover = 0; handover < 3; handover++) {
        std::this_thread::sleep_for(60ms);
        kill(server_.pid, SIGUSR2);
        EXPECT_NE(ReadFrom(server_.out, "escuchando en ", 10000).find("escuchando en "),
                  std::string::npos);
    }
    for (std::thread &run : runs) {
        run.join();
    }
    // Each handover came while tills were served.
    std::string journal_lines = childprocess::ReadFile(dir + "/trace");
    size_t handovers = 0;
    for (size_t at = journal_lines.find("servicio recibido"); at != std::string::npos;
         at = journal_lines.find("servicio recibido", at + 1)) {
        handovers++;
    }
    EXPECT_EQ(handovers, 3u) << journal_lines;
    size_t last = journal_lines.rfind("servicio recibido");
    ASSERT_NE(last, std::string::npos);
    EXPECT_NE(journal_lines.find("comando [", last), std::string::npos) << "all done before";
    for (int till = 0; till < tills; till++) {
        EXPECT_EQ(results[(size_t)till].status, 0) << results[(size_t)till].out;
        EXPECT_EQ(results[(size_t)till].out.find("Respuesta : [ERR"), std::string::npos)
            << results[(size_t)till].out;
    }
    std::map<std::string, int> runs_of;
    std::istringstream journal(childprocess::ReadFile(dir + "/journal"));
    for (std::string line; std::getline(journal, line);) {
        runs_of[line]++;
    }
    for (int till = 0; till < tills; till++) {
        for (int item = 0; item < items; item++) {
            std::string sold = "B|t" + std::to_string(till) + "-" + std::to_string(item) + "|1|1";
            EXPECT_EQ(runs_of[sold], 1) << sold;
        }
    }
    EXPECT_EQ(StopServer(SIGTERM), 0);
}

TEST_F(Fiscald, ACommandWhoseClientLeftBeforeItsTurnNeverRuns)
{
    StartSim(9600, 0);
    StartServer({"-i", "300"});
    int busy = NewClient();
    ASSERT_EQ(send(busy,
                   "S\x1c"
                   "900",
                   5, MSG_NOSIGNAL),
              5);
    int leaving = NewClient();
    ASSERT_EQ(send(leaving, "A", 1, MSG_NOSIGNAL), 1);
    std::this_thread::sleep_for(100ms);   // queued behind the slow command
    shutdown(leaving, SHUT_RDWR);
    std::string reply = ReceiveOnce(busy);
    while (IsInterim(reply)) {
        reply = ReceiveOnce(busy);
    }
    EXPECT_EQ(reply, "0000" + FS + "0000" + FS + "900");
    EXPECT_EQ(Final(NewClient(), "*"), STATUS_IDLE);   // no receipt was opened
}

TEST_F(Fiscald, ClientsAreServedInTurnWithInterimsAndPastTheLimitGetABusyReply)
{
    StartSim(9600, 0);
    StartServer({"-i", "300", "-c", "64"});
    // 64 tills at once, and one idle: nobody waits for the idle one.
    int idle = NewClient();
    ASSERT_GE(idle, 0);
    std::vector<int> tills;
    for (int i = 0; i < 63; i++) {
        tills.push_back(NewClient());
    }
    int slow = tills[0];
    ASSERT_EQ(send(slow,
                   "S\x1c"
                   "800",
                   5, MSG_NOSIGNAL),
              5);
    for (size_t i = 1; i < tills.size(); i++) {
        ASSERT_EQ(send(tills[i], "*", 1, MSG_NOSIGNAL), 1);
    }
    int past = NewClient();
    EXPECT_EQ(ReceiveOnce(past, 5000), "ERR" + FS + "SERVIDOR OCUPADO" + FS + "NO ENVIADO");
    EXPECT_EQ(ReceiveOnce(past, 5000), "");   // and closed
    // Read as each till reads: every receive as it comes.
    std::vector<std::string> finals(tills.size());
    int interims = 0;
    size_t pending = tills.size() - 1;
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (pending > 0 && std::chrono::steady_clock::now() < deadline) {
        std::vector<pollfd> watched;
        for (size_t i = 1; i < tills.size(); i++) {
            if (finals[i].empty()) {
                watched.push_back({tills[i], POLLIN, 0});
            }
        }
        poll(watched.data(), watched.size(), 100);
        for (const pollfd &one : watched) {
            if (!(one.revents & (POLLIN | POLLHUP))) {
                continue;
            }
            size_t i = std::find(tills.begin(), tills.end(), one.fd) - tills.begin();
            std::string reply = ReceiveOnce(one.fd, 0);
            if (IsInterim(reply)) {
                interims++;
                continue;
            }
            finals[i] = reply.empty() ? "(closed)" : reply;
            pending--;
        }
    }
    for (size_t i = 1; i < tills.size(); i++) {
        EXPECT_EQ(finals[i], STATUS_IDLE) << "till " << i;
    }
    EXPECT_GE(interims, 62);   // each waited its turn behind the slow command
}

TEST_F(Fiscald, ASecondServerOnTheSameLineRefusesToStartAndNamesTheHolder)
{
    StartSim(9600, 0);
    StartServer({});
    std::string device = std::string("/dev/") + fiscalsim_port_name();
    Child second = Spawn({"-p", "0", device});
    EXPECT_EQ(ReadFrom(second.err), "fiscald: " + device +
                                        " ya esta en uso por otro proceso (pid " +
                                        std::to_string(server_.pid) + ")\n");
    int status = Reap(second);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_EQ(Final(NewClient(), "*"), STATUS_IDLE);
}

TEST_F(Fiscald, HangUpsAndSighupNeverEndAServiceStartedServer)
{
    // A stable name longer than a port name may be: resolved at every open.
    std::string dir = TempDir() + "/serial/by-id/usb-Fiscal_Controller_0123456789-if00";
    std::filesystem::create_directories(dir);
    std::string link = dir + "/port";
    StartSim(9600, 0, link.c_str());
    StartServer({"-w", "300", "-j"}, link, true);
    int client = NewClient();
    ASSERT_EQ(Final(client, "A"), "0000" + FS + "0100" + FS + "00000001");
    kill(server_.pid, SIGHUP);
    ASSERT_EQ(fiscalsim_vanish(), 0);
    EXPECT_EQ(Final(client, "*"), "ERR" + FS + "LINEA CAIDA" + FS + "NO ENVIADO");
    ASSERT_EQ(fiscalsim_come_back(), 0);
    EXPECT_EQ(Final(client, "C"), "0000" + FS + "0100" + FS + "0" + FS + "0.00");
    EXPECT_EQ(waitpid(server_.pid, nullptr, WNOHANG), 0);
    // The journal lines: plain, no stamp, no CR.
    kill(server_.pid, SIGTERM);
    std::string err = ReadFrom(server_.err);
    ASSERT_EQ(Reap(server_), 0);
    EXPECT_NE(err.find("\nfiscald: comando [A]\nfiscald: respuesta [0000|0100|00000001]\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("\nfiscald: SIGHUP: el archivo de traza se abre de nuevo\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(err.find('\r'), std::string::npos);
}

TEST_F(Fiscald, AWorkerEndedMidCommandIsStartedAgainAndItsClientToldTheOutcomeIsUnknown)
{
    StartSim(9600, 0);
    StartServer({"-i", "5000"});
    int client = NewClient();
    long frames = fiscalsim_frames_received();
    ASSERT_EQ(send(client,
                   "S\x1c"
                   "600",
                   5, MSG_NOSIGNAL),
              5);
    for (int i = 0; i < 100 && fiscalsim_frames_received() == frames; i++) {
        std::this_thread::sleep_for(10ms);
    }
    pid_t worker = WorkerPid();
    ASSERT_GT(worker, 0);
    kill(worker, SIGKILL);
    EXPECT_EQ(ReceiveOnce(client), "ERR" + FS + "LINEA CAIDA" + FS + "DESCONOCIDO");
    std::this_thread::sleep_for(700ms);   // the slow command ends on the controller
    EXPECT_EQ(Final(client, "*"), STATUS_IDLE);
    EXPECT_NE(WorkerPid(), worker);
}

// A service manager waits 30 s for a stop before it kills: the server ends
// within its 20 s even with a command that would run longer, and tells the
// waiting clients what became of their commands.
TEST_F(Fiscald, AStopEndsWithinTwentySecondsEvenWithASlowCommandOnTheLine)
{
    StartSim(9600, 0);
    StartServer({});
    int slow = NewClient();
    int waiting = NewClient();
    long frames = fiscalsim_frames_received();
    ASSERT_EQ(send(slow,
                   "S\x1c"
                   "60000",
                   7, MSG_NOSIGNAL),
              7);
    for (int i = 0; i < 100 && fiscalsim_frames_received() == frames; i++)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(send(waiting, "*", 1, MSG_NOSIGNAL), 1);
    std::this_thread::sleep_for(100ms);
    auto asked = std::chrono::steady_clock::now();
    kill(server_.pid, SIGTERM);
    EXPECT_EQ(ReceiveOnce(waiting, 5000), "ERR" + FS + "SERVIDOR DETENIDO" + FS + "NO ENVIADO");
    std::string reply = ReceiveOnce(slow, 30000);
    while (IsInterim(reply))
        reply = ReceiveOnce(slow, 30000);
    EXPECT_EQ(reply, "ERR" + FS + "SERVIDOR DETENIDO" + FS + "DESCONOCIDO");
    EXPECT_EQ(Reap(server_), 0);
    auto took = std::chrono::steady_clock::now() - asked;
    EXPECT_GE(took, 19s);
    EXPECT_LT(took, 25s);
}

TEST_F(Fiscald, OnlyClientsOfTheAllowedNetworksAreServed)
{
    StartSim(9600, 0);
    StartServer({"-a", "10.0.0.0/8"});
    int outsider = NewClient();
    ASSERT_GE(outsider, 0);
    // Told why, before a byte of it can reach the line.
    EXPECT_EQ(ReceiveOnce(outsider, 5000), "ERR" + FS + "CLIENTE NO ADMITIDO" + FS + "NO ENVIADO");
    EXPECT_EQ(ReceiveOnce(outsider, 5000), "");
    ASSERT_EQ(StopServer(SIGTERM), 0);

    StartServer({"-a", "192.168.0.0/24, 127.0.0.1", "-l", "0.0.0.0"});
    EXPECT_EQ(Final(NewClient(), "*"), STATUS_IDLE);
    ASSERT_EQ(StopServer(SIGTERM), 0);
    // Every network may reach a server listening beyond loopback without a list.
    StartServer({"-l", "0.0.0.0"});
    EXPECT_EQ(ReadFrom(server_.err, "", 500),
              "fiscald: aviso: escucha en 0.0.0.0 sin redes admitidas (-a): cualquier equipo "
              "que llegue al puerto puede mandar comandos\n");
}

TEST_F(Fiscald, ARestartedServerTriesTheRateItFoundLastBeforeSearching)
{
    StartSim(38400, 0);
    std::string state = TempDir() + "/state";
    auto started = [&](const std::string &line) {
        return startup_out_.find(line) != std::string::npos;
    };
    StartServer({"-s", "-w", "300", "-v", "--state-file", state});
    EXPECT_TRUE(started("Controlador fiscal detectado a 38400 baudios")) << startup_out_;
    EXPECT_NE(childprocess::ReadFile(state).find("rate 38400\n"), std::string::npos);
    ASSERT_EQ(StopServer(SIGTERM), 0);

    StartServer({"-s", "-w", "300", "-v", "--state-file", state});
    EXPECT_TRUE(started("controlador fiscal a 38400 baudios, como la ultima vez")) << startup_out_;
    EXPECT_FALSE(started("Probando a 1200 bauds")) << startup_out_;
    ASSERT_EQ(StopServer(SIGTERM), 0);

    // A controller set to another rate is still found, by the full search.
    fiscalsim_set_rate(19200);
    StartServer({"-s", "-w", "300", "-v", "--state-file", state});
    EXPECT_TRUE(started("Controlador fiscal detectado a 19200 baudios")) << startup_out_;
    EXPECT_NE(childprocess::ReadFile(state).find("rate 19200\n"), std::string::npos);
    ASSERT_EQ(StopServer(SIGTERM), 0);

    // With a command in doubt the remembered rate is taken with no probe, so
    // that its resend can be settled; the controller has moved meanwhile:
    // one command is lost to it, and the next one searches and is served.
    const std::vector<std::string> keeping = {"-s",           "-w", "300", "--one-till-per-address",
                                              "--state-file", state};
    StartServer(keeping);
    fiscalsim_answer_late(1, 1500);
    ASSERT_EQ(Final(NewClient(), "A"), UNKNOWN_SILENT);
    StopServer(SIGKILL);
    fiscalsim_set_rate(38400);
    std::this_thread::sleep_for(800ms);   // the late answer has gone by
    StartServer(keeping);
    int till = NewClient();
    EXPECT_EQ(Final(till, "*"), UNKNOWN_SILENT);
    std::string served = Final(NewClient(), "*");
    EXPECT_EQ(served.rfind("0000" + FS, 0), 0u) << served;
    ASSERT_EQ(StopServer(SIGTERM), 0);

    childprocess::WriteFile(state, "rate 12\n");   // a bad file: a full search
    StartServer({"-s", "-w", "300", "-v", "--state-file", state});
    EXPECT_TRUE(started("Probando a 1200 bauds")) << startup_out_;
}

// Items sold through a flapping line: told done, told unknown, registered.
struct Sales {
    int done = 0;
    int unknown = 0;
};

// Sells one item, resending while the reply says its outcome is unknown.
void SellOne(int fd, const std::string &name, Sales *sales)
{
    const std::string command = Item(name);
    for (int round = 0; round < 20; round++) {
        std::string reply;
        if (send(fd, command.data(), command.size(), MSG_NOSIGNAL) != (ssize_t)command.size()) {
            return;
        }
        do {
            reply = ReceiveOnce(fd);
        } while (IsInterim(reply));
        if (reply.rfind("0000" + FS + "0100" + FS, 0) == 0) {
            sales->done++;
            return;
        }
        if (reply.find("DESCONOCIDO") == std::string::npos) {
            if (reply.find("NO ENVIADO") == std::string::npos) {
                ADD_FAILURE() << "unexpected reply: " << reply;
            }
            std::this_thread::sleep_for(20ms);
            continue;   // not sent: sending it again is safe
        }
        if (reply.find("NO VERIFICABLE") != std::string::npos) {
            break;
        }
        std::this_thread::sleep_for(20ms);
    }
    sales->unknown++;
}

TEST_F(Fiscald, AHundredLineFlapsLeaveItServingWithFlatResourcesAndNothingRunTwice)
{
    std::string link = TempDir() + "/link";
    StartSim(9600, 0, link.c_str());
    StartServerForMemory({"-s", "-w", "300", "-i", "2000"}, link);
    int client = NewClient();
    ASSERT_EQ(Final(client, "A"), "0000" + FS + "0100" + FS + "00000001");
    long descriptors = CountOpenDescriptors(server_.pid);
    long resident = MemoryKb(server_.pid, "VmRSS");

    std::atomic<bool> flapping{true};
    std::thread flaps([&] {
        std::mt19937 random(7);
        for (int i = 0; i < 100; i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 120));
            fiscalsim_vanish();
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 60));
            fiscalsim_come_back();
        }
        flapping = false;
    });
    Sales sales;
    int sold = 0;
    while (flapping) {
        SellOne(client, "i" + std::to_string(sold++), &sales);
        std::this_thread::sleep_for(5ms);   // a till's pace, not a flood
    }
    flaps.join();

    // Still serving; the receipt holds every item told done, and beyond
    // those at most the ones whose outcome stayed unknown.
    std::string subtotal;
    for (int i = 0; i < 50 && subtotal.rfind("0000" + FS + "0100" + FS, 0) != 0; i++) {
        std::this_thread::sleep_for(100ms);
        subtotal = Final(client, "C");
    }
    ASSERT_EQ(subtotal.rfind("0000" + FS + "0100" + FS, 0), 0u) << subtotal;
    int registered = std::stoi(subtotal.substr(10));
    std::printf("%d items sold: %d done, %d unknown, %d registered\n", sold, sales.done,
                sales.unknown, registered);
    EXPECT_GE(registered, sales.done);
    EXPECT_LE(registered, sales.done + sales.unknown);
    EXPECT_EQ(CountOpenDescriptors(server_.pid), descriptors);
    EXPECT_LE(MemoryKb(server_.pid, "VmRSS"), resident + 256);
}

}   // namespace
