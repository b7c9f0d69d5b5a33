// ruvado run as a real program against the scripted server. The same binary
// runs twice under CTest: against the native ruvado and against ruvado.exe
// under wine. RUVADO_COMMAND says which, as '|'-separated words: the flavour
// ("posix" or "windows"), then the command line prefix (the program, or a
// runner and its arguments followed by the program).
#include "childprocess.h"
#include "scriptserver.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <netinet/in.h>
#include <regex>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace scriptserver;
using childprocess::ReadFile;
using childprocess::WriteFile;

namespace {

const int RUN_LIMIT_MS = 30000;

bool IsWindows()
{
    const char *command = std::getenv("RUVADO_COMMAND");
    return command != nullptr && std::string(command).rfind("windows|", 0) == 0;
}

// The console and the log are text mode on Windows: each line feed is
// written as CR LF.
std::string Text(const std::string &posix_text)
{
    if (!IsWindows()) {
        return posix_text;
    }
    std::string converted;
    for (char c : posix_text) {
        if (c == '\n') {
            converted += '\r';
        }
        converted += c;
    }
    return converted;
}

// Matches actual against expected where each '#' in expected stands for a
// run of digits (the errno of a failed receive is whatever the runtime left).
bool MatchesWithNumbers(const std::string &actual, const std::string &expected)
{
    std::string pattern;
    for (char c : expected) {
        if (c == '#') {
            pattern += "-?[0-9]+";
        } else if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) {
            (pattern += '\\') += c;
        } else {
            pattern += c;
        }
    }
    return std::regex_match(actual, std::regex(pattern));
}

class Ruvado : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *command = std::getenv("RUVADO_COMMAND");
        ASSERT_NE(command, nullptr) << "RUVADO_COMMAND is not set";
        std::string all(command);
        size_t start = 0;
        for (size_t semicolon; (semicolon = all.find('|', start)) != std::string::npos;
             start = semicolon + 1) {
            prefix_.push_back(all.substr(start, semicolon - start));
        }
        prefix_.push_back(all.substr(start));
        prefix_.erase(prefix_.begin());   // the flavour
        ASSERT_FALSE(prefix_.empty());
        dir_ = childprocess::MakeTempDir();
        // The wine runner ends with 77 where it cannot run the program: a
        // 32-bit ruvado.exe on a machine without a 32-bit wine.
        if (IsWindows() && childprocess::Run(prefix_, dir_, RUN_LIMIT_MS).status == 77) {
            GTEST_SKIP() << ReadFile(dir_ + "/stderr.txt");
        }
    }
    void TearDown() override { childprocess::RemoveTree(dir_); }

    std::vector<std::string> Args(std::vector<std::string> args)
    {
        std::vector<std::string> all = prefix_;
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }
    childprocess::Result RunRuvado(std::vector<std::string> args)
    {
        return childprocess::Run(Args(args), dir_, RUN_LIMIT_MS);
    }
    childprocess::Result RunAgainst(Server &server, const std::string &file_bytes)
    {
        WriteFile(dir_ + "/cmd.txt", file_bytes);
        auto result = RunRuvado(
            {"-p", std::to_string(server.Port()), "-t", "127.0.0.1", "cmd.txt"});
        server.Finish();
        return result;
    }
    std::string Connecting(unsigned short port)
    {
        return "Conectando a 127.0.0.1, port " + std::to_string(port) + "\n";
    }

    std::vector<std::string> prefix_;
    std::string dir_;
};

TEST_F(Ruvado, SendsEachLineWithoutTerminatorAndShowsFsAsBar)
{
    Script script;
    script.per_receive = {{Reply("OK\x1c"
                                 "1")},
                          {Reply("OK 2")}};
    Server server(script);
    auto result = RunAgainst(server, "A\x1c"
                                     "B\r\nsecond line\n");

    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, Text(Connecting(server.Port()) +
                               "Envio     : [A|B]\nRespuesta : [OK|1]\n\n"
                               "Envio     : [second line]\nRespuesta : [OK 2]\n\n"));
    EXPECT_EQ(server.Receives(), (std::vector<std::string>{"A\x1c"
                                                           "B",
                                                           "second line"}));
}

TEST_F(Ruvado, LogsItsLocalPortToSpoolerLogWithAnEmptyLineAfter)
{
    Script script;
    script.otherwise = {Echo()};
    Server server(script);
    auto result = RunAgainst(server, "x\n");
    ASSERT_EQ(result.status, 0);

    std::string log = ReadFile(dir_ + "/spooler.log");
    std::string port = std::to_string(server.PeerPort());
    std::string nl = IsWindows() ? "\r\n" : "\n";
    EXPECT_TRUE(std::regex_match(
        log, std::regex("[0-3][0-9]/[01][0-9]-[0-2][0-9]:[0-5][0-9]:[0-6][0-9]: Port local = " +
                        port + nl + nl)))
        << log;
}

TEST_F(Ruvado, RotatesAFullSpoolerLogToTheBackup)
{
    std::string full(500000, 'x');
    WriteFile(dir_ + "/spooler.log", full);
    WriteFile(dir_ + "/spooler.l_g", "older backup");
    Script script;
    script.otherwise = {Echo()};
    Server server(script);
    auto result = RunAgainst(server, "x\n");
    ASSERT_EQ(result.status, 0);

    EXPECT_EQ(ReadFile(dir_ + "/spooler.l_g"), full);
    std::string fresh = ReadFile(dir_ + "/spooler.log");
    EXPECT_EQ(fresh.find("Port local = " + std::to_string(server.PeerPort())), 16u) << fresh;
    EXPECT_EQ(
        fresh.size(),
        Text("dd/mm-hh:mm:ss: Port local = " + std::to_string(server.PeerPort()) + "\n\n").size());
}

TEST_F(Ruvado, ThrowsAwayInterimRepliesEvenWhenTheAnswerCameWithThem)
{
    Script script;
    script.per_receive = {
        // Apart by 400 ms: each its own receive even for a program slowed by
        // valgrind on a busy machine.
        {Reply("DC2", 50), Reply("..DC4..", 400), Reply("DC2", 400), Reply("OK", 400)},
        {Reply("DC4 and OK together"), Reply("FINAL", 400)},
        // Control bytes 0x12/0x14 are no interim replies: only the letters count.
        {Reply("\x12\x14")},
    };
    Server server(script);
    auto result = RunAgainst(server, "one\ntwo\nthree\n");

    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out,
              Text(Connecting(server.Port()) + "Envio     : [one]\nRespuesta : [OK]\n\n" +
                   "Envio     : [two]\nRespuesta : [FINAL]\n\n" +
                   "Envio     : [three]\nRespuesta : [\x12\x14]\n\n"));
}

TEST_F(Ruvado, ShowsTheLongestLineAndReplyWholeAndSplitsLongerLines)
{
    std::string line499(499, 'L');
    std::string reply500(500, 'R');
    std::string long_line = std::string(499, 'a') + std::string(499, 'b') + "tail";
    Script script;
    script.per_receive = {{Reply(reply500)}};
    script.otherwise = {Echo()};
    Server server(script);
    auto result = RunAgainst(server, "first\n" + line499 + "\n" + long_line + "\n");

    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out,
              Text(Connecting(server.Port()) + "Envio     : [first]\nRespuesta : [" + reply500 +
                   "]\n\n" + "Envio     : [" + line499 + "]\nRespuesta : [" + line499 + "]\n\n" +
                   "Envio     : [" + std::string(499, 'a') + "]\nRespuesta : [" +
                   std::string(499, 'a') + "]\n\n" + "Envio     : [" + std::string(499, 'b') +
                   "]\nRespuesta : [" + std::string(499, 'b') + "]\n\n" +
                   "Envio     : [tail]\nRespuesta : [tail]\n\n"));
    EXPECT_EQ(server.Receives(), (std::vector<std::string>{"first", line499, std::string(499, 'a'),
                                                           std::string(499, 'b'), "tail"}));
}

TEST_F(Ruvado, AReplyOver500BytesSpillsIntoTheNextCommandsReply)
{
    std::string big = std::string(500, 'x') + "REST";
    Script script;
    // "2" is answered at once by the spilled rest, so ruvado sends "3" at
    // once too, and the server may take "2" and "3" in one receive. Its
    // second receive is answered either way, late enough for ruvado to have
    // taken the rest on its own first.
    script.per_receive = {{Reply(big)}, {Reply("third", 500)}};
    Server server(script);
    auto result = RunAgainst(server, "1\n2\n3\n");

    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out,
              Text(Connecting(server.Port()) + "Envio     : [1]\nRespuesta : [" +
                   std::string(500, 'x') + "]\n\n" + "Envio     : [2]\nRespuesta : [REST]\n\n" +
                   "Envio     : [3]\nRespuesta : [third]\n\n"));
    auto receives = server.Receives();
    ASSERT_FALSE(receives.empty());
    EXPECT_EQ(receives[0], "1");
    std::string all;
    for (const auto &receive : receives) {
        all += receive;
    }
    EXPECT_EQ(all, "123");
}

TEST_F(Ruvado, ShowsAReplyOnlyUpToItsFirstNul)
{
    Script script;
    script.per_receive = {{Reply(std::string("OK\0DC2 hidden", 13))}};
    Server server(script);
    auto result = RunAgainst(server, "q\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out,
              Text(Connecting(server.Port()) + "Envio     : [q]\nRespuesta : [OK]\n\n"));
}

TEST_F(Ruvado, EndOfFileWithoutLineFeedAndEmptyFile)
{
    {
        Script script;
        script.otherwise = {Echo()};
        Server server(script);
        auto result = RunAgainst(server, "last");
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out,
                  Text(Connecting(server.Port()) + "Envio     : [last]\nRespuesta : [last]\n\n"));
    }
    {
        Server server(Script{});
        auto result = RunAgainst(server, "");
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, Text(Connecting(server.Port())));
        EXPECT_TRUE(server.Accepted());
        EXPECT_TRUE(server.Receives().empty());
    }
}

TEST_F(Ruvado, CtrlZEndsTheCommandFileOnlyOnWindows)
{
    Script script;
    script.otherwise = {Echo()};
    Server server(script);
    auto result = RunAgainst(server, "A\nB\x1a"
                                     "C\nD\n");

    EXPECT_EQ(result.status, 0);
    if (IsWindows()) {
        EXPECT_EQ(result.out,
                  Text(Connecting(server.Port()) + "Envio     : [A]\nRespuesta : [A]\n\n" +
                       "Envio     : [B]\nRespuesta : [B]\n\n"));
        EXPECT_EQ(server.Receives(), (std::vector<std::string>{"A", "B"}));
    } else {
        EXPECT_EQ(server.Receives(), (std::vector<std::string>{"A",
                                                               "B\x1a"
                                                               "C",
                                                               "D"}));
    }
}

TEST_F(Ruvado, ConnectionClosedOrResetByTheServerEndsWithRc108AndStatus255)
{
    for (bool reset : {false, true}) {
        Script script;
        script.per_receive = {{Reply("first ok")}, {reset ? Reset(50) : Close(50)}};
        Server server(script);
        auto result = RunAgainst(server, "1\n2\n3\n");

        EXPECT_EQ(result.status, 255) << "reset " << reset;
        std::string expected =
            Connecting(server.Port()) + "Envio     : [1]\nRespuesta : [first ok]\n\n" +
            "Envio     : [2]\nError esperando la respuesta (Rc = -108), errno #\n";
        EXPECT_TRUE(MatchesWithNumbers(result.out, Text(expected))) << result.out;
        if (reset && !IsWindows()) {
            EXPECT_NE(result.out.find("errno 104\n"), std::string::npos) << "ECONNRESET expected";
        }
        EXPECT_EQ(server.Receives(), (std::vector<std::string>{"1", "2"}));
    }
}

TEST_F(Ruvado, WaitsThroughALateAnswer)
{
    Script script;
    script.per_receive = {{Reply("late", 1500)}};
    Server server(script);
    auto result = RunAgainst(server, "slow\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out,
              Text(Connecting(server.Port()) + "Envio     : [slow]\nRespuesta : [late]\n\n"));
}

// An empty command (a blank line, a line that starts with CR, the line feed
// left by a line of 499 characters or of 498 and CR LF) is neither shown,
// sent nor waited for: nothing would answer zero bytes.
TEST_F(Ruvado, EmptyCommandsAreSkippedAndTheRunGoesOn)
{
    std::string line499(499, 'L');
    std::string line498(498, 'M');
    Script script;
    script.otherwise = {Echo()};
    Server server(script);
    auto result = RunAgainst(server,
                             "first\n\n\r\n\rafter CR\n" + line499 + "\n" + line498 + "\r\nlast\n");

    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out,
              Text(Connecting(server.Port()) + "Envio     : [first]\nRespuesta : [first]\n\n" +
                   "Envio     : [" + line499 + "]\nRespuesta : [" + line499 + "]\n\n" +
                   "Envio     : [" + line498 + "]\nRespuesta : [" + line498 + "]\n\n" +
                   "Envio     : [last]\nRespuesta : [last]\n\n"));
    EXPECT_EQ(server.Receives(), (std::vector<std::string>{"first", line499, line498, "last"}));
}

// The one full 15 s wait of this suite: with no answer the receive wait runs
// out.
TEST_F(Ruvado, CommandWithoutAnswerTimesOutWithRc101After15Seconds)
{
    Server server(Script{});
    auto started = std::chrono::steady_clock::now();
    auto result = RunAgainst(server, "unanswered\n");
    auto waited = std::chrono::steady_clock::now() - started;

    EXPECT_EQ(result.status, 255);
    EXPECT_TRUE(MatchesWithNumbers(result.out,
                                   Text(Connecting(server.Port()) + "Envio     : [unanswered]\n" +
                                        "Error esperando la respuesta (Rc = -101), errno #\n")))
        << result.out;
    EXPECT_GE(waited, std::chrono::milliseconds(14900));
    EXPECT_EQ(server.Receives(), std::vector<std::string>{"unanswered"});
}

TEST_F(Ruvado, UnopenableCommandFileEndsWithStatus1AfterConnecting)
{
    Server server(Script{});
    auto result = RunRuvado(
        {"-p", std::to_string(server.Port()), "-t", "127.0.0.1", "missing.txt"});
    server.Finish();
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out,
              Text(Connecting(server.Port()) + "Error abriendo el archivo missing.txt, errno 2\n"));
    EXPECT_TRUE(server.Accepted());
}

TEST_F(Ruvado, UsageErrorsPrintTheUsageAndEndWithStatus1)
{
    WriteFile(dir_ + "/cmd.txt", "x\n");
    const std::string usage = Text("Uso: ruvado [-p tcpport] -t host archivo \n");
    std::string host99(99, 'h');
    std::vector<std::vector<std::string>> cases = {
        {},
        {"-u", "-t", "127.0.0.1", "cmd.txt"},
        {"-x", "-t", "127.0.0.1", "cmd.txt"},
        {"-t", "127.0.0.1"},               // no command file
        {"-t", "127.0.0.1", "--"},         // "--" is consumed, not a file
        {"-t", "127.0.0.1", "-"},          // so is a lone "-"
        {"-t"},                            // option without its argument
        {"-p", "1600", "cmd.txt"},         // no host
        {"-t", host99 + "h", "cmd.txt"},   // 100 characters do not fit
        {"-p"},                            // -p without its argument
    };
    for (const auto &args : cases) {
        auto result = RunRuvado(args);
        std::string shown;
        for (const auto &arg : args) {
            shown += "'" + arg + "' ";
        }
        EXPECT_EQ(result.status, 1) << shown;
        EXPECT_EQ(result.out, usage) << shown;
    }
}

TEST_F(Ruvado, NetworkFailuresEndWithStatus255)
{
    WriteFile(dir_ + "/cmd.txt", "x\n");
    // A port that was just free: nothing listens there.
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    getsockname(probe, reinterpret_cast<sockaddr *>(&address), &length);
    unsigned short free_port = ntohs(address.sin_port);
    close(probe);

    auto refused = RunRuvado({"-p", std::to_string(free_port), "-t", "127.0.0.1", "cmd.txt"});
    EXPECT_EQ(refused.status, 255);
    EXPECT_EQ(refused.out, Text(Connecting(free_port) + "Error conectando al servidor\n"));

    // "abc" converts to port 0.
    auto port_zero = RunRuvado({"-p", "abc", "-t", "127.0.0.1", "cmd.txt"});
    EXPECT_EQ(port_zero.status, 255);
    EXPECT_EQ(port_zero.out, Text(Connecting(0) + "Error conectando al servidor\n"));

    auto unknown = RunRuvado({"-t", "no-such-host.invalid", "cmd.txt"});
    EXPECT_EQ(unknown.status, 255);
    EXPECT_EQ(unknown.out,
              Text("No se encontro el Host no-such-host.invalid en el archivo hosts\n"));
}

TEST_F(Ruvado, OptionScanningOnTheRealCommandLine)
{
    Script script;
    script.otherwise = {Echo()};
    std::string port;
    {
        // "--" ends the options and is consumed; -p attached to its value.
        Server server(script);
        WriteFile(dir_ + "/f", "a\n");
        auto result = RunRuvado(
            {"-p" + std::to_string(server.Port()), "-t", "127.0.0.1", "--", "f", "ignored"});
        server.Finish();
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(server.Receives(), std::vector<std::string>{"a"});
    }
    {
        // A lone "-" ends the options too; the last -p wins; a port above
        // 65535 keeps its low 16 bits.
        Server server(script);
        auto result = RunRuvado(
            {"-p", "1", "-t127.0.0.1", "-p", std::to_string(65536 * 3 + server.Port()), "-", "f"});
        server.Finish();
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out,
                  Text(Connecting(server.Port()) + "Envio     : [a]\nRespuesta : [a]\n\n"));
    }
    {
        // Options after the first operand are not scanned: the "-p" that
        // follows "f" is ignored and the port is the one given before.
        Server server(script);
        auto result = RunRuvado(
            {"-p", std::to_string(server.Port()), "-t", "127.0.0.1", "f", "-p", "9"});
        server.Finish();
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(server.Receives(), std::vector<std::string>{"a"});
    }
}

// Windows turns SIGINT into a console event that a program without a console
// never sees, so the signal statuses are pinned down on POSIX.
TEST_F(Ruvado, SigtermAndSigintEndTheRunWithTheSignalNumberAndFlushedOutput)
{
    if (IsWindows()) {
        GTEST_SKIP() << "POSIX signals only";
    }
    for (int signal_number : {SIGTERM, SIGINT}) {
        Server server(Script{});
        WriteFile(dir_ + "/cmd.txt", "wait\n");
        auto child = childprocess::Start(
            Args({"-p", std::to_string(server.Port()), "-t", "127.0.0.1", "cmd.txt"}),
            childprocess::InFolder(dir_));
        for (int tries = 0; tries < 500 && !server.Received(); tries++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(server.Received());
        kill(child.pid, signal_number);
        auto result = childprocess::Wait(child, RUN_LIMIT_MS);
        server.Finish();
        EXPECT_EQ(result.signal, 0);
        EXPECT_EQ(result.status, signal_number);
        EXPECT_EQ(result.out, Connecting(server.Port()) + "Envio     : [wait]\n");
    }
}

// Faults around the exchange: the file system and odd input. Network faults
// (refused, unknown host, closed, reset, silent) are in the Ruvado cases above.
class RuvadoFaults : public Ruvado {
protected:
    // Runs ruvado against a server that answers every command with "OK".
    childprocess::Result RunAnswered(Server &server, const std::string &file_bytes,
                                     std::vector<std::string> runner = {})
    {
        WriteFile(dir_ + "/cmd.txt", file_bytes);
        std::vector<std::string> args = runner;
        for (const std::string &word :
             Args({"-p", std::to_string(server.Port()), "-t", "127.0.0.1", "cmd.txt"})) {
            args.push_back(word);
        }
        auto result = childprocess::Run(args, dir_, RUN_LIMIT_MS);
        server.Finish();
        return result;
    }
    static Script AnswerOk()
    {
        Script script;
        script.otherwise = {Reply("OK")};
        return script;
    }
    std::string OneExchange(unsigned short port, const std::string &shown)
    {
        return Text(Connecting(port) + "Envio     : [" + shown + "]\nRespuesta : [OK]\n\n");
    }
};

TEST_F(RuvadoFaults, ADirectoryGivenAsCommandFileIsRefusedLikeAMissingFile)
{
    ASSERT_EQ(mkdir((dir_ + "/d").c_str(), 0755), 0);
    Server server(Script{});
    auto result = RunRuvado({"-p", std::to_string(server.Port()), "-t", "127.0.0.1", "d"});
    server.Finish();
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(MatchesWithNumbers(
        result.out, Text(Connecting(server.Port()) + "Error abriendo el archivo d, errno #\n")))
        << result.out;
    EXPECT_TRUE(server.Receives().empty());
}

TEST_F(RuvadoFaults, AnUnreadableCommandFileIsRefusedWithEacces)
{
    if (IsWindows()) {
        GTEST_SKIP() << "POSIX permissions; wine maps them loosely";
    }
    WriteFile(dir_ + "/secret.txt", "x\n");
    ASSERT_EQ(chmod((dir_ + "/secret.txt").c_str(), 0), 0);
    // root reads any file: run ruvado as nobody, so that the open really
    // fails the permission check. The directory must let nobody in.
    std::vector<std::string> args;
    if (geteuid() == 0) {
        if (access("/usr/bin/setpriv", X_OK) != 0) {
            GTEST_SKIP() << "running as root and setpriv is missing";
        }
        ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
        args = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    Server server(Script{});
    for (const std::string &word :
         Args({"-p", std::to_string(server.Port()), "-t", "127.0.0.1", "secret.txt"})) {
        args.push_back(word);
    }
    auto result = childprocess::Run(args, dir_, RUN_LIMIT_MS);
    server.Finish();
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out,
              Connecting(server.Port()) + "Error abriendo el archivo secret.txt, errno 13\n");
}

TEST_F(RuvadoFaults, AnUnwritableSpoolerLogLosesItsLineButNotTheRun)
{
    // A directory in the log's place: the open fails, as for a read-only file.
    ASSERT_EQ(mkdir((dir_ + "/spooler.log").c_str(), 0755), 0);
    Server server(AnswerOk());
    auto result = RunAnswered(server, "cmd\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, OneExchange(server.Port(), "cmd"));
    EXPECT_EQ(server.Receives(), std::vector<std::string>{"cmd"});
}

TEST_F(RuvadoFaults, ASpoolerLogOnAFullDiskLosesItsLineButNotTheRun)
{
    if (IsWindows()) {
        GTEST_SKIP() << "/dev/full and mount namespaces are Linux";
    }
    // The log opens, and every write to it fails with ENOSPC.
    ASSERT_EQ(symlink("/dev/full", (dir_ + "/spooler.log").c_str()), 0);
    {
        Server server(AnswerOk());
        auto result = RunAnswered(server, "one\n");
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, OneExchange(server.Port(), "one"));
    }
    // A real file system that is full: a 16 kB tmpfs in a private mount
    // namespace, filled up before ruvado runs in it.
    std::string full = dir_ + "/full";
    ASSERT_EQ(mkdir(full.c_str(), 0755), 0);
    if (childprocess::Run({"/usr/bin/unshare", "-rm", "true"}, dir_, 5000).status != 0) {
        GTEST_SKIP() << "no private mount namespace here (unshare -rm)";
    }
    Server server(AnswerOk());
    WriteFile(dir_ + "/cmd.txt", "two\n");
    std::string command =
        "mount -t tmpfs -o size=16k tmpfs full && cd full && "
        "{ head -c 1048576 /dev/zero > filler 2>/dev/null; true; } && exec \"$@\"";
    std::vector<std::string> args = {"/usr/bin/unshare", "-rm", "sh", "-c", command, "sh"};
    for (const std::string &word :
         Args({"-p", std::to_string(server.Port()), "-t", "127.0.0.1", "../cmd.txt"})) {
        args.push_back(word);
    }
    auto result = childprocess::Run(args, dir_, RUN_LIMIT_MS);
    server.Finish();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, OneExchange(server.Port(), "two"));
    EXPECT_EQ(server.Receives(), std::vector<std::string>{"two"});
}

TEST_F(RuvadoFaults, NulBytesInALineAreSentWithTheRestOfTheLine)
{
    // A NUL must not cut a command short unseen: "B|Cafe|2|150" cut at a NUL
    // could go out as another, valid command. The whole line goes, the
    // server judges it; the console shows it up to the NUL, as a reply.
    static const char file[] = "B\x1c"
                               "Cafe\x1c"
                               "2\x1c"
                               "15\0"
                               "0\r\n\0\n"
                               "next\n";
    static const char first[] = "B\x1c"
                                "Cafe\x1c"
                                "2\x1c"
                                "15\0"
                                "0";
    Server server(AnswerOk());
    auto result = RunAnswered(server, std::string(file, sizeof file - 1));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(server.Receives(), (std::vector<std::string>{std::string(first, sizeof first - 1),
                                                           std::string("\0", 1), "next"}));
    EXPECT_EQ(result.out,
              Text(Connecting(server.Port()) + "Envio     : [B|Cafe|2|15]\nRespuesta : [OK]\n\n"
                                               "Envio     : []\nRespuesta : [OK]\n\n"
                                               "Envio     : [next]\nRespuesta : [OK]\n\n"));
}

TEST_F(RuvadoFaults, ATenMegabyteSingleLineGoesOutIn499BytePieces)
{
    if (IsWindows()) {
        GTEST_SKIP() << "twenty thousand exchanges through wine's console take minutes";
    }
    std::string line;
    line.reserve(10000000);
    for (int i = 0; i < 10000000; i++) {
        line += (char)('a' + i % 26);
    }
    Server server(AnswerOk());
    auto result = RunAnswered(server, line + "\n");
    EXPECT_EQ(result.status, 0);
    auto receives = server.Receives();
    ASSERT_EQ(receives.size(), 10000000u / 499 + 1);
    std::string expected = Connecting(server.Port());
    std::string joined;
    for (const std::string &piece : receives) {
        EXPECT_LE(piece.size(), 499u);
        joined += piece;
        expected += "Envio     : [" + piece + "]\nRespuesta : [OK]\n\n";
    }
    EXPECT_TRUE(joined == line) << "the line did not arrive whole and in order";
    EXPECT_TRUE(result.out == expected)
        << "console output differs; " << result.out.size() << " bytes";
}

}   // namespace
