// The log file on disk: line format, rotation limits, echo switch, bounds.
#include "log.h"
#include "testdir.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

const char STAMP[] = "[0-3][0-9]/[01][0-9]-[0-2][0-9]:[0-5][0-9]:[0-6][0-9]: ";

class Log : public InTempDir {
protected:
    void TearDown() override
    {
        LogEcho(1);
        InTempDir::TearDown();
    }
};

TEST_F(Log, WritesAStampedLineAndTheMessagesOwnLineFeedGivesAnEmptyLine)
{
    LogMessage(0, "Port local = %u\n", 1031u);
    std::string log = Read("spooler.log");
    EXPECT_TRUE(std::regex_match(
        log, std::regex(std::string(STAMP) + "Port local = 1031" + Newline() + Newline())))
        << log;
    LogMessage(0, "100%% sure");
    log = Read("spooler.log");
    EXPECT_EQ(log.substr(log.size() - 9 - Newline().size()), "100% sure" + Newline());
}

TEST_F(Log, AppendsBelow500000BytesOnDisk)
{
    Write("spooler.log", std::string(499999, 'a'));
    LogMessage(0, "one more");
    std::string log = Read("spooler.log");
    EXPECT_EQ(log.size(), 499999u + 16u + 8u + Newline().size());
    EXPECT_EQ(log.substr(0, 499999), std::string(499999, 'a'));
    EXPECT_FALSE(std::filesystem::exists("spooler.l_g"));
}

TEST_F(Log, RotatesAt500000BytesReplacingTheOlderBackup)
{
    Write("spooler.log", std::string(500000, 'a'));
    Write("spooler.l_g", "older backup");
    LogMessage(0, "fresh");
    EXPECT_EQ(Read("spooler.l_g"), std::string(500000, 'a'));
    EXPECT_TRUE(std::regex_match(Read("spooler.log"),
                                 std::regex(std::string(STAMP) + "fresh" + Newline())));
}

TEST_F(Log, CountsStoredLineEndsTowardsTheLimit)
{
    // 499976 bytes and a line of 22 characters and its line end: 499999 bytes
    // on POSIX, but 500000 on Windows, where the line feed is stored as CR LF.
    Write("spooler.log", std::string(499976, 'a'));
    LogMessage(0, "filler");
    EXPECT_EQ(Read("spooler.log").size(), 499976u + 22u + Newline().size());
    LogMessage(0, "next");
    EXPECT_EQ(std::filesystem::exists("spooler.l_g"), Newline().size() == 2);
}

TEST_F(Log, EchoesOnlyWhenAskedAndSwitchedOn)
{
    testing::internal::CaptureStdout();
    LogMessage(0, "quiet");
    LogMessage(0x100, "low byte is zero");
    LogMessage(1, "loud %d\n", 5);
    EXPECT_EQ(LogEcho(0), 0);
    LogMessage(1, "silenced");
    EXPECT_EQ(LogEcho(7), 1);
    std::string shown = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(std::regex_match(shown, std::regex(std::string(STAMP) + "loud 5\r?\n\r?\n")))
        << shown;

    std::string log = Read("spooler.log");
    for (const char *message : {"quiet", "low byte is zero", "loud 5", "silenced"}) {
        EXPECT_NE(log.find(message), std::string::npos) << message;
    }
}

TEST_F(Log, CutsAnOverlongMessageInsteadOfOverrunning)
{
    std::string huge(5000, 'x');
    LogMessage(0, "%s", huge.c_str());
    std::string log = Read("spooler.log");
    EXPECT_EQ(log.size(), 2047u);
    EXPECT_EQ(log.substr(16), std::string(2047 - 16, 'x'));
}

TEST_F(Log, OpenRefusesNoNameAndAnUnopenableLogIsSkipped)
{
    EXPECT_EQ(LogOpen(nullptr), -1);
    std::filesystem::create_directory("spooler.log");
    LogMessage(0, "lost");
    EXPECT_TRUE(std::filesystem::is_directory("spooler.log"));
    EXPECT_LT(LogOpen("no-such-dir/x.log"), 0);
}

}   // namespace
