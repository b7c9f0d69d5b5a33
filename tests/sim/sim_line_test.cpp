// The simulator seen from the line: a raw client on the pty's slave writes
// frames byte for byte and reads exactly what comes back.
#include "fiscalsim.h"
#include "wire_fixture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

class SimOnLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(fiscalsim_open(9600, 500, nullptr), 0);
        runner_ = std::thread(fiscalsim_run);
        fd_ = OpenRawLine(fiscalsim_port_name(), B9600);
        ASSERT_GE(fd_, 0);
    }

    void TearDown() override
    {
        if (fd_ >= 0) {
            close(fd_);
        }
        fiscalsim_stop();
        runner_.join();
        fiscalsim_close();
    }

    void Speed(speed_t speed)
    {
        termios line;
        tcgetattr(fd_, &line);
        cfsetospeed(&line, speed);
        cfsetispeed(&line, speed);
        ASSERT_EQ(tcsetattr(fd_, TCSANOW, &line), 0);
    }

    void Write(const std::string &bytes)
    {
        ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), (ssize_t)bytes.size());
    }

    // Everything that arrives until the line has been quiet for quiet_ms.
    std::string ReadQuiet(int quiet_ms)
    {
        std::string got;
        pollfd wanted{fd_, POLLIN, 0};
        while (poll(&wanted, 1, quiet_ms) > 0 && (wanted.revents & POLLIN)) {
            char chunk[256];
            ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n <= 0) {
                break;
            }
            got.append(chunk, (size_t)n);
        }
        return got;
    }

    int fd_ = -1;
    std::thread runner_;
};

TEST_F(SimOnLine, ReportsAPortNameUnderDevThatOpens)
{
    std::string name = fiscalsim_port_name();
    EXPECT_EQ(name.rfind("pts/", 0), 0u) << name;
    EXPECT_EQ(access(("/dev/" + name).c_str(), R_OK | W_OK), 0);
}

TEST_F(SimOnLine, AnswersAFrameWithTheSameSequenceByte)
{
    Write(Frame('K', "*"));
    EXPECT_EQ(ReadQuiet(300), Answer('K', 0, 0,
                                     "0\x1C"
                                     "00000000\x1C"
                                     "0"));
}

TEST_F(SimOnLine, StaysSilentAtEveryOtherRateAndAnswersAgainAtItsOwn)
{
    for (speed_t speed : {B1200, B2400, B4800, B19200, B38400, B57600}) {
        Speed(speed);
        Write(Frame('L', "A"));
        EXPECT_EQ(ReadQuiet(150), "") << speed;
        Write(std::string("\x02L\x03"
                          "0000",
                          7));   // not even a NAK
        EXPECT_EQ(ReadQuiet(100), "") << speed;
    }
    EXPECT_EQ(fiscalsim_commands_executed(), 0);
    Speed(B9600);
    Write(Frame('M', "A"));
    EXPECT_EQ(ReadQuiet(300), Answer('M', 0, 0x0100, "00000001"));

    ASSERT_EQ(fiscalsim_set_rate(57600), 0);
    Write(Frame('N', "C"));
    EXPECT_EQ(ReadQuiet(150), "");
    Speed(B57600);
    Write(Frame('N', "C"));
    EXPECT_EQ(ReadQuiet(300), Answer('N', 0, 0x0100,
                                     "0\x1C"
                                     "0.00"));
    EXPECT_EQ(fiscalsim_set_rate(12345), -1);
}

TEST_F(SimOnLine, ADamagedFrameGetsANak)
{
    std::string frame = Frame('O', "*");
    frame[frame.size() - 1] = frame.back() == '0' ? '1' : '0';
    Write(frame);
    EXPECT_EQ(ReadQuiet(300), "\x15");
    EXPECT_EQ(fiscalsim_commands_executed(), 0);
}

TEST_F(SimOnLine, ARepeatedFrameIsAnsweredAgainWithoutRunningTwice)
{
    Write(Frame('P', "A"));
    std::string first = ReadQuiet(300);
    Write(Frame('P', "A"));
    EXPECT_EQ(ReadQuiet(300), first);
    EXPECT_EQ(fiscalsim_commands_executed(), 1);
    Write(Frame('Q', "A"));   // same command, new sequence: runs, and is refused
    EXPECT_EQ(ReadQuiet(300), Answer('Q', 0, 0x8104, ""));
}

// The host retries a command for as long as the controller says it is busy,
// and longer: a repeat must get the kept answer however late it comes, and
// also once the line was unplugged and plugged back.
TEST_F(SimOnLine, ARepeatedFrameGetsTheKeptAnswerAtAnyTimeAndAfterTheLineComesBack)
{
    const std::string frame = Frame('Y', "S\x1C"
                                         "5200");
    const std::string answer = Answer('Y', 0, 0, "5200");
    fiscalsim_garble(1);
    Write(frame);
    std::string garbled = ReadQuiet(400);
    ASSERT_GT(garbled.size(), answer.size());
    EXPECT_NE(garbled.substr(garbled.size() - answer.size()), answer);
    Write(frame);
    EXPECT_EQ(ReadQuiet(300), answer);

    ASSERT_EQ(fiscalsim_vanish(), 0);
    close(fd_);
    ASSERT_EQ(fiscalsim_come_back(), 0);
    fd_ = OpenRawLine(fiscalsim_port_name(), B9600);
    ASSERT_GE(fd_, 0);
    Write(frame);
    EXPECT_EQ(ReadQuiet(300), answer);
    EXPECT_EQ(fiscalsim_commands_executed(), 1);
}

TEST_F(SimOnLine, DropGarbleAndLateApplyToTheNextFramesOnly)
{
    fiscalsim_drop(1);
    Write(Frame('R', "*"));
    EXPECT_EQ(ReadQuiet(200), "");
    fiscalsim_garble(1);
    Write(Frame('S', "*"));
    std::string garbled = ReadQuiet(200);
    std::string good = Answer('S', 0, 0,
                              "0\x1C"
                              "00000000\x1C"
                              "0");
    ASSERT_EQ(garbled.size(), good.size());
    EXPECT_NE(garbled, good);
    EXPECT_EQ(garbled.substr(0, good.size() - 1), good.substr(0, good.size() - 1));
    fiscalsim_answer_late(1, 400);
    Write(Frame('T', "*"));
    EXPECT_EQ(ReadQuiet(200), "");
    EXPECT_EQ(ReadQuiet(400), Answer('T', 0, 0,
                                     "0\x1C"
                                     "00000000\x1C"
                                     "0"));
    Write(Frame('U', "*"));
    EXPECT_EQ(ReadQuiet(200), Answer('U', 0, 0,
                                     "0\x1C"
                                     "00000000\x1C"
                                     "0"));
}

TEST_F(SimOnLine, ASlowCommandSendsKeepAlivesAndIgnoresFramesMeanwhile)
{
    Write(Frame('V', "S\x1C"
                     "700"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Write(Frame('W', "*"));
    std::string got = ReadQuiet(400);
    std::string answer = Answer('V', 0, 0, "700");
    ASSERT_GE(got.size(), answer.size() + 3);
    EXPECT_EQ(got.substr(0, 3), "\x12\x12\x12");
    EXPECT_EQ(got.substr(got.size() - answer.size()), answer);
    EXPECT_EQ(got.substr(0, got.size() - answer.size()),
              std::string(got.size() - answer.size(), '\x12'));
    EXPECT_EQ(fiscalsim_commands_executed(), 1);
}

// With the wire on, a long frame takes its time to come in and a long answer
// to go out: ten bit times a byte, 1.04 ms at 9600, and no byte reaches the
// other end before its stop bit has crossed, so an exchange never beats the
// wire. Without the wire the bound is loose.
TEST_F(SimOnLine, TheWireTakesTenBitTimesAByteBothWays)
{
    using namespace std::chrono;
    const std::string long_in = Frame('g', "Z" + std::string(400, 'z'));
    const std::string short_out = Answer('g', 0, 0x8002, "");
    const std::string short_in = Frame('h', "L\x1C"
                                            "500");
    std::string long_out;
    for (int i = 0; i < 500; i++) {
        long_out += (char)('0' + i % 10);
    }
    long_out = Answer('h', 0, 0, long_out);
    const double byte_ms = 10000.0 / 9600;
    for (int wire : {1, 0}) {
        fiscalsim_set_wire(wire);
        for (const auto &[frame, answer] : {std::pair{long_in, short_out}, {short_in, long_out}}) {
            auto start = steady_clock::now();
            Write(frame);
            std::string got;
            pollfd wanted{fd_, POLLIN, 0};
            char chunk[256];
            ssize_t n;
            while (got.size() < answer.size() && poll(&wanted, 1, 2000) > 0 &&
                   (n = read(fd_, chunk, sizeof chunk)) > 0) {
                got.append(chunk, (size_t)n);
            }
            double took = duration<double, std::milli>(steady_clock::now() - start).count();
            EXPECT_EQ(got, answer);
            double paced = byte_ms * (double)(frame.size() + answer.size());
            if (wire) {
                EXPECT_GE(took, paced) << frame.size() << " bytes in";
            } else {
                EXPECT_LT(took, 0.45 * paced) << frame.size() << " bytes in";
            }
        }
    }
    fiscalsim_set_wire(0);
}

TEST_F(SimOnLine, VanishingHangsUpTheLineAndComingBackGivesAWorkingPort)
{
    ASSERT_EQ(fiscalsim_vanish(), 0);
    pollfd wanted{fd_, POLLIN, 0};
    ASSERT_EQ(poll(&wanted, 1, 1000), 1);
    EXPECT_TRUE(wanted.revents & POLLHUP);
    char byte;
    EXPECT_LE(read(fd_, &byte, 1), 0);
    EXPECT_LT(write(fd_, "x", 1), 0);
    close(fd_);

    ASSERT_EQ(fiscalsim_come_back(), 0);
    fd_ = OpenRawLine(fiscalsim_port_name(), B9600);
    ASSERT_GE(fd_, 0);
    Write(Frame('X', "*"));
    EXPECT_EQ(ReadQuiet(300), Answer('X', 0, 0,
                                     "0\x1C"
                                     "00000000\x1C"
                                     "0"));
}

TEST(SimLink, KeepsALinkToThePortAndRemovesItOnClose)
{
    std::string link = testing::TempDir() + "fiscalsim-link-" + std::to_string(getpid());
    ASSERT_EQ(fiscalsim_open(9600, 0, link.c_str()), 0);
    char target[128] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), "/dev/" + std::string(fiscalsim_port_name()));
    ASSERT_EQ(fiscalsim_vanish(), 0);
    ASSERT_EQ(fiscalsim_come_back(), 0);
    memset(target, 0, sizeof target);
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), "/dev/" + std::string(fiscalsim_port_name()));
    fiscalsim_close();
    EXPECT_NE(access(link.c_str(), F_OK), 0);
}

TEST(SimOpen, RefusesARateTermiosLacks)
{
    EXPECT_EQ(fiscalsim_open(1234, 0, nullptr), -1);
    EXPECT_EQ(fiscalsim_open(9600, -1, nullptr), -1);
}

}   // namespace

// A program started from a process hosting the simulator (a command server
// under test, say) must not inherit the pty: if it did, vanishing would not
// hang up the line it holds.
TEST_F(SimOnLine, KeepsItsPtyDescriptorsOutOfStartedPrograms)
{
    const std::string slave = "/dev/" + std::string(fiscalsim_port_name());
    int pty_descriptors = 0;
    for (int fd = 3; fd < 1024; fd++) {
        if (fd == fd_) {
            continue;
        }
        char link[64];
        char target[256];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t len = readlink(link, target, sizeof target - 1);
        if (len <= 0) {
            continue;
        }
        target[len] = '\0';
        if (std::string(target) != "/dev/ptmx" && std::string(target) != slave) {
            continue;
        }
        pty_descriptors++;
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << target << " on descriptor " << fd;
    }
    EXPECT_GE(pty_descriptors, 2);
}
