// The trace channel: console and file lines byte for byte, the file's size
// rule, its path, and the replaceable trace function.
#include <fcntl.h>
#include <stdarg.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "descriptors.h"
#include "driver_support.h"
#include "tracelet.h"

namespace {

// "DDMM-HHMM: " for the given moment, local time.
std::string Stamp(time_t moment)
{
    struct tm local;
    localtime_r(&moment, &local);
    char text[32];
    snprintf(text, sizeof(text), "%02d%02d-%02d%02d: ", local.tm_mday, local.tm_mon + 1,
             local.tm_hour, local.tm_min);
    return text;
}

class TraceChannel : public ::testing::Test {
protected:
    std::string dir;
    std::string log;

    void SetUp() override
    {
        dir = MakeTempDir();
        log = dir + "/fiscal.log";
        SetTracelet(FISCAL_debug);
    }

    void TearDown() override
    {
        set_debug_options(0, 0, "");
        SetTracelet(FISCAL_debug);
        RemoveTree(dir);
    }

    // Traces one message and checks that the file gained exactly the stamped
    // line, stamped with the minute the call happened in.
    void ExpectFileGains(const std::string &before, const std::string &message)
    {
        time_t start = time(nullptr);
        Tracelet("%s", message.c_str());
        time_t end = time(nullptr);
        std::string content = ReadFile(log);
        std::string at_start = before + Stamp(start) + message + "\r\n";
        std::string at_end = before + Stamp(end) + message + "\r\n";
        EXPECT_TRUE(content == at_start || content == at_end)
            << "file holds [" << content << "], expected [" << at_start << "]";
    }
};

TEST_F(TraceChannel, ConsoleLineIsTheMessageAndCrLfAndNoFileIsTouched)
{
    set_debug_options(1, 0, log.c_str());
    std::string printed = CaptureStdout([] { Tracelet("Probando a %ld bauds", 9600L); });
    EXPECT_EQ(printed, "Probando a 9600 bauds\r\n");
    EXPECT_FALSE(FileExists(log));
}

TEST_F(TraceChannel, FileLineCarriesDayMonthHourMinuteStamp)
{
    set_debug_options(0, 1, log.c_str());
    std::string printed = CaptureStdout([&] { ExpectFileGains("", "GetByte ERROR"); });
    EXPECT_EQ(printed, "") << "console switch is off";
    std::string first = ReadFile(log);
    ExpectFileGains(first, "Error mandando paquete, write ret. -1, errno 5");
}

TEST_F(TraceChannel, BothSwitchesPrintAndAppend)
{
    set_debug_options(1, 1, log.c_str());
    std::string printed = CaptureStdout(
        [&] { ExpectFileGains("", "Buscando Controlador Fiscal "); });
    EXPECT_EQ(printed, "Buscando Controlador Fiscal \r\n");
}

TEST_F(TraceChannel, NothingHappensWithBothSwitchesOff)
{
    set_debug_options(0, 0, log.c_str());
    std::string printed = CaptureStdout([] { Tracelet("GetByte ERROR"); });
    EXPECT_EQ(printed, "");
    EXPECT_FALSE(FileExists(log));
}

TEST_F(TraceChannel, SwitchesSetDirectlyAreHonoured)
{
    set_debug_options(0, 0, log.c_str());
    fdebug = 1;
    std::string printed = CaptureStdout([] { Tracelet("%d-%s", 7, "x"); });
    EXPECT_EQ(printed, "7-x\r\n");
    fdebug = 0;
    fsave = 1;
    ExpectFileGains("", "direct");
}

TEST_F(TraceChannel, FileIsOpenedAndClosedForEachMessage)
{
    set_debug_options(0, 1, log.c_str());
    long open_before = descriptors::CountOpenDescriptors(getpid());
    Tracelet("first");
    EXPECT_EQ(descriptors::CountOpenDescriptors(getpid()), open_before);
    // Removed between two messages: the next one creates it anew.
    ASSERT_EQ(unlink(log.c_str()), 0);
    ExpectFileGains("", "second");
    EXPECT_EQ(descriptors::CountOpenDescriptors(getpid()), open_before);
}

TEST_F(TraceChannel, FileOfFiveHundredThousandBytesRestarts)
{
    set_debug_options(0, 1, log.c_str());
    WriteFile(log, std::string(500000, 'o'));
    ExpectFileGains("", "GetByte ERROR");
}

TEST_F(TraceChannel, FileOf499999BytesGetsTheLineAppended)
{
    set_debug_options(0, 1, log.c_str());
    const std::string old(499999, 'o');
    WriteFile(log, old);
    ExpectFileGains(old, "GetByte ERROR");
}

TEST_F(TraceChannel, DebopenAppendsCreatesAndFailsCleanly)
{
    int fd = debopen(log.c_str());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write(fd, "ab", 2), 2);
    close(fd);
    fd = debopen(log.c_str());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write(fd, "cd", 2), 2);
    close(fd);
    EXPECT_EQ(ReadFile(log), "abcd");
    EXPECT_EQ(debopen((dir + "/missing/fiscal.log").c_str()), -1);
}

TEST_F(TraceChannel, UnopenableFileIsSkippedAfterTheConsoleCopy)
{
    std::string unreachable = dir + "/missing/fiscal.log";
    set_debug_options(1, 1, unreachable.c_str());
    std::string printed = CaptureStdout([] { Tracelet("GetByte ERROR"); });
    EXPECT_EQ(printed, "GetByte ERROR\r\n");
    EXPECT_FALSE(FileExists(unreachable));
}

TEST_F(TraceChannel, TraceFileOnAFullDiskLosesTheLineButNotTheConsoleCopy)
{
    // The file opens, every write to it fails with ENOSPC.
    std::string full = dir + "/full.log";
    ASSERT_EQ(symlink("/dev/full", full.c_str()), 0);
    set_debug_options(1, 1, full.c_str());
    std::string printed = CaptureStdout([] {
        Tracelet("Controlador fiscal detectado a %d baudios", 9600);
        Tracelet("%s", std::string(600, 'x').c_str());
    });
    EXPECT_EQ(printed,
              "Controlador fiscal detectado a 9600 baudios\r\n" + std::string(249, 'x') + "\r\n");
    // The channel still works once the file can be written again.
    set_debug_options(0, 1, log.c_str());
    Tracelet("after");
    EXPECT_NE(ReadFile(log).find(": after\r\n"), std::string::npos);
}

TEST_F(TraceChannel, EmptyPathMeansEtcFiscalLog)
{
    const std::string etc_log = "/etc/fiscal.log";
    if (access("/etc", W_OK) != 0) {
        GTEST_SKIP() << "/etc is not writable here";
    }
    struct stat saved_info;
    bool existed = stat(etc_log.c_str(), &saved_info) == 0;
    std::string saved = existed ? ReadFile(etc_log) : "";

    set_debug_options(0, 1, "");
    std::string marker = "trace channel default path " + std::to_string(getpid());
    Tracelet("%s", marker.c_str());
    std::string content = ReadFile(etc_log);

    // Put the machine's own trace file back as it was (a full one restarts,
    // which would have reset its mode too).
    if (existed) {
        WriteFile(etc_log, saved);
        chmod(etc_log.c_str(), saved_info.st_mode & 07777);
    } else {
        unlink(etc_log.c_str());
    }
    ASSERT_GE(content.size(), marker.size() + 2);
    EXPECT_EQ(content.substr(content.size() - marker.size() - 2), marker + "\r\n");
    EXPECT_FALSE(FileExists(log));
}

TEST_F(TraceChannel, PathOver399CharactersIsRefusedAndThePreviousKept)
{
    ASSERT_EQ(set_debug_options(0, 1, log.c_str()), 0);
    std::string too_long = dir + "/" + std::string(400, 'L');
    too_long.resize(400);
    EXPECT_EQ(set_debug_options(1, 1, too_long.c_str()), -1);
    EXPECT_EQ(fdebug, 1) << "the switches are still set";
    EXPECT_EQ(fsave, 1);
    std::string printed = CaptureStdout([&] { ExpectFileGains("", "kept"); });
    EXPECT_EQ(printed, "kept\r\n");

    std::string longest(399, 'k');
    EXPECT_EQ(set_debug_options(0, 0, longest.c_str()), 0);
    EXPECT_EQ(set_debug_options(0, 0, nullptr), -1);
}

TEST_F(TraceChannel, LongMessageIsCutNotOverflowed)
{
    set_debug_options(1, 1, log.c_str());
    const std::string huge(1000, 'x');
    time_t start = time(nullptr);
    std::string printed = CaptureStdout([&] { Tracelet("%s", huge.c_str()); });
    time_t end = time(nullptr);
    const std::string kept(249, 'x');
    EXPECT_EQ(printed, kept + "\r\n");
    std::string content = ReadFile(log);
    EXPECT_TRUE(content == Stamp(start) + kept + "\r\n" || content == Stamp(end) + kept + "\r\n")
        << content;

    // Longest message kept whole: 249 characters.
    unlink(log.c_str());
    printed = CaptureStdout([&] { Tracelet("%s", kept.c_str()); });
    EXPECT_EQ(printed, kept + "\r\n");
}

std::vector<std::string> HostMessages;

void HostTrace(const char *format, va_list args)
{
    char text[300];
    vsnprintf(text, sizeof(text), format, args);
    HostMessages.push_back(text);
}

TEST_F(TraceChannel, SetTraceletSwapsTheFunctionAndHandsBackThePrevious)
{
    set_debug_options(1, 1, log.c_str());
    HostMessages.clear();
    TraceFunction previous = SetTracelet(HostTrace);
    EXPECT_EQ(previous, FISCAL_debug);
    std::string printed = CaptureStdout([] { Tracelet("Probando a %ld bauds", 2400L); });
    EXPECT_EQ(printed, "") << "the default function no longer runs";
    EXPECT_FALSE(FileExists(log));
    EXPECT_EQ(HostMessages, std::vector<std::string>{"Probando a 2400 bauds"});

    EXPECT_EQ(SetTracelet(previous), HostTrace);
    printed = CaptureStdout([] { Tracelet("back"); });
    EXPECT_EQ(printed, "back\r\n");
    EXPECT_EQ(HostMessages.size(), 1u);
}

}   // namespace
