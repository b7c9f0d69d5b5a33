// The whole kit on one machine: ruvado (the native program, or ruvado.exe
// under wine) -> TCP -> fiscald -> packet layer -> ttywire -> pty -> the
// simulated controller, which runs on a thread of this test so that it can
// be made to fall silent or vanish. RUVADO_COMMAND names the program as in
// the sender's black-box tests: the flavour, then the command line prefix.
#include "childprocess.h"
#include "fiscalsim.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

const int RUN_LIMIT_MS = 30000;

std::vector<std::string> RuvadoPrefix(bool *windows)
{
    std::vector<std::string> words;
    const char *command = std::getenv("RUVADO_COMMAND");
    std::string all = command == nullptr ? "" : command;
    size_t start = 0;
    for (size_t bar; (bar = all.find('|', start)) != std::string::npos; start = bar + 1) {
        words.push_back(all.substr(start, bar - start));
    }
    words.push_back(all.substr(start));
    *windows = words.front() == "windows";
    words.erase(words.begin());
    return words;
}

class Kit : public ::testing::Test {
protected:
    void SetUp() override
    {
        prefix_ = RuvadoPrefix(&windows_);
        ASSERT_FALSE(prefix_.empty() || prefix_[0].empty()) << "RUVADO_COMMAND is not set";
        dir_ = childprocess::MakeTempDir();
        // The wine runner ends with 77 where it cannot run the program: a
        // 32-bit ruvado.exe on a machine without a 32-bit wine.
        if (windows_ && childprocess::Run(prefix_, dir_, 30000).status == 77) {
            GTEST_SKIP() << childprocess::ReadFile(dir_ + "/stderr.txt");
        }
    }

    void TearDown() override
    {
        if (server_.pid > 0) {
            kill(server_.pid, SIGTERM);
            childprocess::Result ended = childprocess::Wait(server_, 10000);
            EXPECT_EQ(ended.status, 0) << "fiscald did not end cleanly on SIGTERM";
        }
        if (sim_running_) {
            fiscalsim_stop();
            runner_.join();
            fiscalsim_close();
        }
        childprocess::RemoveTree(dir_);
    }

    void StartSim(long baud, int busy_ms)
    {
        ASSERT_EQ(fiscalsim_open(baud, busy_ms, (dir_ + "/line").c_str()), 0);
        runner_ = std::thread(fiscalsim_run);
        sim_running_ = true;
    }

    // fiscald on the simulator's link, on a free loopback port.
    void StartServer(std::vector<std::string> options)
    {
        std::vector<std::string> argv = {FISCALD_PROGRAM, "-p", "0", "-f", dir_ + "/trace"};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back(dir_ + "/line");
        server_ = childprocess::Start(argv, childprocess::InFolder(dir_));
        std::string out = childprocess::ReadLine(server_.out, 15000);
        const std::string ready = "escuchando en 127.0.0.1:";
        ASSERT_EQ(out.rfind(ready, 0), 0u)
            << "fiscald said: " << out << childprocess::ReadFile(dir_ + "/stderr.txt");
        port_ = std::stoi(out.substr(ready.size()));
    }

    childprocess::Child StartRuvado(const std::string &commands)
    {
        childprocess::WriteFile(dir_ + "/cmd.txt", commands);
        std::vector<std::string> argv = prefix_;
        argv.insert(argv.end(), {"-p", std::to_string(port_), "-t", "127.0.0.1", "cmd.txt"});
        return childprocess::Start(argv, childprocess::InFolder(dir_));
    }

    childprocess::Result RunRuvado(const std::string &commands)
    {
        return childprocess::Wait(StartRuvado(commands), RUN_LIMIT_MS);
    }

    // The console is text mode on Windows: each line feed comes out as CR LF.
    std::string Console(const std::string &text)
    {
        std::string shown = "Conectando a 127.0.0.1, port " + std::to_string(port_) + "\n" + text;
        std::string converted;
        for (char c : shown) {
            if (c == '\n' && windows_) {
                converted += '\r';
            }
            converted += c;
        }
        return converted;
    }

    std::string Trace() { return childprocess::ReadFile(dir_ + "/trace"); }

    bool TraceShowsWithin(const std::string &text, int limit_ms)
    {
        for (int waited = 0; waited < limit_ms; waited += 50) {
            if (Trace().find(text) != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    std::vector<std::string> prefix_;
    bool windows_ = false;
    std::string dir_;
    bool sim_running_ = false;
    std::thread runner_;
    childprocess::Child server_;
    int port_ = 0;
};

TEST_F(Kit, AWholeReceiptIsShownExactlyWithFieldsSeparatedByBars)
{
    StartSim(9600, 500);
    StartServer({});
    auto result = RunRuvado("A\nB\x1c"
                            "Cafe\x1c"
                            "2\x1c"
                            "1.50\nB\x1c"
                            "Agua\x1c"
                            "1\x1c"
                            "0.75\nC\nE\n");

    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out,
              Console("Envio     : [A]\nRespuesta : [0000|0100|00000001]\n\n"
                      "Envio     : [B|Cafe|2|1.50]\nRespuesta : [0000|0100|Cafe|3.00|3.00]\n\n"
                      "Envio     : [B|Agua|1|0.75]\nRespuesta : [0000|0100|Agua|0.75|3.75]\n\n"
                      "Envio     : [C]\nRespuesta : [0000|0100|2|3.75]\n\n"
                      "Envio     : [E]\nRespuesta : [0000|0000|00000001|2|3.75]\n\n"));
}

TEST_F(Kit, InterimRepliesOfSlowCommandsAreWaitedThroughAndOnlyTheFinalOneShown)
{
    StartSim(9600, 900);
    StartServer({"-i", "200"});
    auto result = RunRuvado("S\nP\n*\n");

    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, Console("Envio     : [S]\nRespuesta : [0000|0000|900]\n\n"
                                  "Envio     : [P]\nRespuesta : [8008|0000|900]\n\n"
                                  "Envio     : [*]\nRespuesta : [0000|0000|0|00000000|0]\n\n"));
    // The waits above were really interrupted by interim replies of both kinds.
    EXPECT_NE(Trace().find("respuesta intermedia DC2"), std::string::npos);
    EXPECT_NE(Trace().find("respuesta intermedia DC4"), std::string::npos);
}

TEST_F(Kit, TheServerFindsAControllerAt38400AndServesThroughIt)
{
    StartSim(38400, 500);
    StartServer({"-s", "-w", "300"});
    auto result = RunRuvado("*\n");

    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, Console("Envio     : [*]\nRespuesta : [0000|0000|0|00000000|0]\n\n"));
    EXPECT_NE(Trace().find("Controlador fiscal detectado a 38400 baudios\r\n"), std::string::npos);
}

TEST_F(Kit, AControllerThatStopsAnsweringGivesAnErrorReplyNotSilence)
{
    StartSim(9600, 500);
    StartServer({"-w", "300"});
    ASSERT_EQ(RunRuvado("*\n").status, 0);
    fiscalsim_set_rate(57600);   // deaf at the line's rate from now on
    auto result = RunRuvado("A\n*\n");

    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out,
              Console("Envio     : [A]\nRespuesta : [ERR|SIN RESPUESTA|DESCONOCIDO]\n\n"
                      "Envio     : [*]\nRespuesta : [ERR|SIN RESPUESTA|DESCONOCIDO]\n\n"));
}

TEST_F(Kit, AClientLeavingMidCommandDoesNotStopTheNextOneBeingServed)
{
    StartSim(9600, 1500);
    StartServer({});
    childprocess::Child leaving = StartRuvado("A\nS\n");
    ASSERT_TRUE(TraceShowsWithin("comando [S]", 10000)) << Trace();
    kill(-leaving.pid, SIGKILL);
    childprocess::Wait(leaving, 5000);

    auto result = RunRuvado("*\n");
    EXPECT_EQ(result.status, 0);
    // The abandoned receipt was opened and the slow command ran to its end.
    EXPECT_EQ(result.out, Console("Envio     : [*]\nRespuesta : [0000|0100|1|00000001|0]\n\n"));
}

TEST_F(Kit, ALineThatVanishesGivesErrorsAndIsServedAgainWhenItComesBack)
{
    StartSim(9600, 500);
    StartServer({"-w", "300"});
    ASSERT_EQ(RunRuvado("*\n").status, 0);

    fiscalsim_vanish();
    auto gone = RunRuvado("*\n");
    EXPECT_EQ(gone.status, 0);
    EXPECT_EQ(gone.out, Console("Envio     : [*]\nRespuesta : [ERR|LINEA CAIDA|NO ENVIADO]\n\n"));

    ASSERT_EQ(fiscalsim_come_back(), 0);
    ASSERT_TRUE(TraceShowsWithin("linea abierta otra vez", 5000)) << Trace();
    auto back = RunRuvado("*\n");
    EXPECT_EQ(back.status, 0);
    EXPECT_EQ(back.out, Console("Envio     : [*]\nRespuesta : [0000|0000|0|00000000|0]\n\n"));
}

}   // namespace
