// The simulator as a program: what it prints, how it ends, how it refuses.
#include "fiscalframe.h"
#include "pipedchild.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

const char Usage[] =
    "usage: fiscalsim [-r rate] [-b busy_ms] [-l link]\n"
    "  -r rate     line rate answered at, in bits per second (default 9600)\n"
    "  -b busy_ms  work time of the slow commands S and P (default 3000)\n"
    "  -l link     keep a symbolic link at this path to the pty's device\n"
    "Prints the port name for start_comm (such as pts/4) and runs until\n"
    "SIGINT or SIGTERM.\n";

using pipedchild::Child;

Child Start(const std::vector<std::string> &args)
{
    return pipedchild::Spawn(FISCALSIM_PROGRAM, args);
}

std::string ReadFrom(int fd, bool one_line)
{
    return one_line ? pipedchild::ReadLine(fd, 5000) : pipedchild::ReadFrom(fd, "", 5000);
}

int Finish(Child &child)
{
    return pipedchild::Reap(child);
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
        if (n <= 0)
            break;
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

TEST(SimProgram, HelpPrintsTheUsageAndSucceeds)
{
    Child child = Start({"-h"});
    EXPECT_EQ(ReadFrom(child.out, false), Usage);
    int status = Finish(child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
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
        {{"-l", std::string(300, 'l')}, "fiscalsim: link path too long: " + std::string(300, 'l') + "\n"},
    };
    for (const auto &[args, reason] : cases) {
        Child child = Start(args);
        EXPECT_EQ(ReadFrom(child.err, false), reason + Usage);
        EXPECT_EQ(ReadFrom(child.out, false), "");
        int status = Finish(child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 2) << reason;
    }
}

}  // namespace
