// The simulator as a program: what it prints, how it ends, how it refuses.
#include "childprocess.h"
#include "fiscalframe.h"
#include "kitversion.h"
#include "wire_fixture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

const char USAGE_TEXT[] =
    "usage: fiscalsim [-r rate] [-b busy_ms] [-l link] [-c fifo] [-j journal] [-W]\n"
    "       fiscalsim -h | --help | --version\n"
    "  -r rate     line rate answered at, in bits per second (default 9600)\n"
    "  -b busy_ms  work time of the slow commands S and P (default 3000)\n"
    "  -l link     keep a symbolic link at this path to the pty's device\n"
    "  -c fifo     make a FIFO at this new path and take control lines from it\n"
    "  -j journal  append a line to this file for each command run\n"
    "  -W, --wire  take the line's time: ten bit times a byte each way\n"
    "Prints the port name for start_comm (such as pts/4) and runs until\n"
    "SIGINT or SIGTERM.\n";

using childprocess::Child;

Child Start(std::vector<std::string> args)
{
    args.insert(args.begin(), FISCALSIM_PROGRAM);
    return childprocess::Start(args);
}

std::string ReadFrom(int fd, bool one_line)
{
    return one_line ? childprocess::ReadLine(fd, 5000) : childprocess::ReadFrom(fd, "", 5000);
}

int Finish(Child &child)
{
    return childprocess::Reap(child);
}

// Writes bytes, then returns all that comes back until the line is quiet.
std::string Exchange(int fd, const std::string &bytes, int quiet_ms = 300)
{
    std::string got;
    if (write(fd, bytes.data(), bytes.size()) != (ssize_t)bytes.size()) {
        return "write failed";
    }
    pollfd wanted{fd, POLLIN, 0};
    char chunk[256];
    ssize_t n;
    while (poll(&wanted, 1, quiet_ms) > 0 && (n = read(fd, chunk, sizeof chunk)) > 0) {
        got.append(chunk, (size_t)n);
    }
    return got;
}

// Each call opens the FIFO, writes and closes it, as a shell's echo does.
void WriteFifo(const std::string &path, const std::string &text)
{
    int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
    close(fd);
}

TEST(SimProgram, PrintsThePortNameAnswersAtItsRateAndEndsOnSigterm)
{
    Child child = Start({"-r", "38400", "-b", "0"});
    ASSERT_GT(child.pid, 0);
    std::string line = ReadFrom(child.out, true);
    ASSERT_EQ(line.rfind("pts/", 0), 0u) << line;
    ASSERT_EQ(line.back(), '\n');
    std::string name = line.substr(0, line.size() - 1);

    int fd = open(("/dev/" + name).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    termios settings;
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    cfsetospeed(&settings, B38400);
    cfsetispeed(&settings, B38400);
    tcsetattr(fd, TCSANOW, &settings);
    char frame[64];
    int len = FrameEncode('a', "S", 1, frame, sizeof frame);
    ASSERT_EQ(write(fd, frame, (size_t)len), len);
    char expected[64];
    int expected_len = FrameEncodeAnswer('a', 0, 0, "0", expected, sizeof expected);
    std::string got;
    pollfd wanted{fd, POLLIN, 0};
    while ((int)got.size() < expected_len && poll(&wanted, 1, 2000) > 0) {
        char chunk[64];
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) {
            break;
        }
        got.append(chunk, (size_t)n);
    }
    EXPECT_EQ(got, std::string(expected, (size_t)expected_len));
    close(fd);

    kill(child.pid, SIGTERM);
    EXPECT_EQ(ReadFrom(child.out, false), "");
    EXPECT_EQ(ReadFrom(child.err, false), "");
    int status = Finish(child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(SimProgram, EndsOnSigintToo)
{
    Child child = Start({});
    ASSERT_GT(child.pid, 0);
    ASSERT_EQ(ReadFrom(child.out, true).rfind("pts/", 0), 0u);
    kill(child.pid, SIGINT);
    int status = Finish(child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(SimProgram, HelpAndVersionPrintOnStandardOutputAndSucceed)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"-h", USAGE_TEXT}, {"--help", USAGE_TEXT}, {"--version", "fiscalsim " KIT_VERSION "\n"}};
    for (const auto &[option, printed] : cases) {
        Child child = Start({option});
        EXPECT_EQ(ReadFrom(child.out, false), printed);
        EXPECT_EQ(ReadFrom(child.err, false), "");
        int status = Finish(child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << option;
    }
}

TEST(SimProgram, BadOptionsGetTheReasonAndTheUsageWithStatusTwo)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-x"}, "fiscalsim: unknown option: -x\n"},
        {{"-r"}, "fiscalsim: missing value for: -r\n"},
        {{"-r", "57601"}, "fiscalsim: unsupported rate: 57601\n"},
        {{"-r", "9600x"}, "fiscalsim: unsupported rate: 9600x\n"},
        {{"-r", "-9600"}, "fiscalsim: unsupported rate: -9600\n"},
        {{"-b", "600001"}, "fiscalsim: busy time must be 0 to 600000 ms: 600001\n"},
        {{"-b", ""}, "fiscalsim: busy time must be 0 to 600000 ms: \n"},
        {{"-l", std::string(300, 'l')},
         "fiscalsim: link path too long: " + std::string(300, 'l') + "\n"},
    };
    for (const auto &[args, reason] : cases) {
        Child child = Start(args);
        EXPECT_EQ(ReadFrom(child.err, false), reason + USAGE_TEXT);
        EXPECT_EQ(ReadFrom(child.out, false), "");
        int status = Finish(child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 2) << reason;
    }
}

// A script's view: control lines through the FIFO, split, bunched and from
// the shell, and a journal that holds exactly the commands that ran.
TEST(SimProgram, TakesControlLinesFromItsFifoAndJournalsEachCommandRun)
{
    const std::string dir = childprocess::MakeTempDir();
    const std::string fifo = dir + "/control", journal = dir + "/journal", link = dir + "/line";
    Child child = Start({"-b", "0", "-c", fifo, "-j", journal, "-l", link});
    std::string name = ReadFrom(child.out, true);
    ASSERT_EQ(name.rfind("pts/", 0), 0u) << name;
    name.pop_back();
    int fd = OpenRawLine(name, B9600);
    ASSERT_GE(fd, 0);

    WriteFifo(fifo, "dr");
    WriteFifo(fifo, "op 1\ngarble 1\n");
    EXPECT_EQ(Exchange(fd, Frame('a', "A")), "");
    const std::string opened = Answer('b', 0, 0x0100, "00000001");
    std::string garbled = Exchange(fd, Frame('b', "A"));
    EXPECT_EQ(garbled.size(), opened.size());
    EXPECT_NE(garbled, opened);
    EXPECT_EQ(Exchange(fd, Frame('b', "A")), opened);   // the kept answer: no second run

    WriteFifo(fifo, "drop\nfly 2\ndrop 1 2\ndrop  1\n" + std::string(5000, 'x') + "\nrate 12345\n");
    const std::string x64(64, 'x');
    EXPECT_EQ(childprocess::ReadFrom(child.err, "fiscalsim: malformed control line: \"rate", 5000),
              "fiscalsim: malformed control line: \"drop\"\n"
              "fiscalsim: unknown control line: \"fly 2\"\n"
              "fiscalsim: malformed control line: \"drop 1 2\"\n"
              "fiscalsim: malformed control line: \"drop  1\"\n"
              "fiscalsim: control line too long: \"" +
                  x64 +
                  "...\"\n"
                  "fiscalsim: malformed control line: \"rate 12345\"\n");

    std::string shell = "echo 'rate 19200' >" + fifo + " && echo 'busy 300' >" + fifo;
    ASSERT_EQ(system(shell.c_str()), 0);
    EXPECT_EQ(Exchange(fd, Frame('c', "C")), "");   // deaf at 9600 now
    close(fd);
    fd = OpenRawLine(name, B19200);
    std::string slow = Exchange(fd, Frame('d', "S"));
    EXPECT_EQ(slow, std::string(slow.size() - Answer('d', 0, 0x0100, "300").size(), '\x12') +
                        Answer('d', 0, 0x0100, "300"));
    const std::string item = "B\x1C"
                             "x\x01y\x1C"
                             "1\x1C"
                             "1";
    EXPECT_EQ(Exchange(fd, Frame('e', item)), Answer('e', 0, 0x0100,
                                                     "x\x01y\x1C"
                                                     "1.00\x1C"
                                                     "1.00"));

    WriteFifo(fifo, "vanish\n");
    pollfd hung{fd, POLLIN, 0};
    ASSERT_EQ(poll(&hung, 1, 2000), 1);
    EXPECT_TRUE(hung.revents & POLLHUP);
    close(fd);
    WriteFifo(fifo, "back\n");
    // The pty that went is gone from /dev, so the link opens once it is back.
    fd = -1;
    for (int waited = 0; waited < 100 && fd < 0; waited++) {
        char target[128] = {};
        if (readlink(link.c_str(), target, sizeof target - 1) > 5) {
            fd = OpenRawLine(target + 5, B19200);
        }
        if (fd < 0) {
            poll(nullptr, 0, 20);
        }
    }
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Exchange(fd, Frame('f', "E")), Answer('f', 0, 0,
                                                    "00000001\x1C"
                                                    "1\x1C"
                                                    "1.00"));
    close(fd);

    kill(child.pid, SIGTERM);
    EXPECT_EQ(childprocess::ReadFrom(child.err, "", 5000), "");
    int status = Finish(child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(access(fifo.c_str(), F_OK), 0);
    const std::string journaled = "A\nS\nB|x.y|1|1\nE\n";
    EXPECT_EQ(childprocess::ReadFile(journal), journaled);

    // A FIFO path that exists is refused, and what is there is left alone.
    child = Start({"-c", journal});
    EXPECT_EQ(childprocess::ReadFrom(child.err, "", 5000),
              "fiscalsim: " + journal + " already exists: the control FIFO needs a new path\n");
    EXPECT_EQ(childprocess::ReadFrom(child.out, "", 5000), "");
    status = Finish(child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(childprocess::ReadFile(journal), journaled);
    std::string cleanup = "rm -rf " + dir;
    EXPECT_EQ(system(cleanup.c_str()), 0);
}

}   // namespace
