// MandaPaqueteFiscal against the simulated controller on a real pty.
#include "simline_fixture.h"

#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;
using PacketExchange = SimLine;

TEST(PacketSettings, RetryCountDefaultsToThreeAndEachSetReturnsThePrevious)
{
    EXPECT_EQ(SetCommandRetries(1), PACKET_DEFAULT_RETRIES);
    EXPECT_EQ(SetCommandRetries(7), 1);
    EXPECT_EQ(SetCommandRetries(0), 7);
    EXPECT_EQ(SetCommandRetries(3), 0);
}

TEST(PacketSettings, TryLimitOutsideItsRangeIsRefusedAndKept)
{
    EXPECT_EQ(SetPacketTryLimit(PACKET_TRY_LIMIT_MIN_MS - 1), -1);
    EXPECT_EQ(SetPacketTryLimit(PACKET_TRY_LIMIT_MAX_MS + 1), -1);
    EXPECT_EQ(SetPacketTryLimit(800), PACKET_TRY_LIMIT_MS);
    EXPECT_EQ(SetPacketTryLimit(PACKET_TRY_LIMIT_MS), 800);
}

TEST(PacketSettings, BadPortOrCommandFailsAtOnceWithItsReason)
{
    char answer[PACKET_ANSWER_SIZE] = "stale";
    unsigned short s1 = 0, s2 = 0;
    EXPECT_EQ(MandaPaqueteFiscal(10, "*", &s1, &s2, answer), -1);
    EXPECT_EQ(PacketLastError(), PACKET_BAD_PORT);
    EXPECT_STREQ(answer, "");
    EXPECT_EQ(MandaPaqueteFiscal(-1, "*", &s1, &s2, answer), -1);
    EXPECT_EQ(MandaPaqueteFiscal(3, "*", &s1, &s2, answer), -1);   // slot not open
    EXPECT_EQ(PacketLastError(), PACKET_BAD_PORT);
}

TEST_F(PacketExchange, StatusQueryAnswersStatusWordsAndFsFields)
{
    std::string answer;
    ASSERT_EQ(Send("*", &answer), 0);
    EXPECT_EQ(PacketLastError(), PACKET_OK);
    EXPECT_EQ(s1_, 0);
    EXPECT_EQ(s2_, 0);
    EXPECT_EQ(answer, "0\x1C"
                      "00000000\x1C"
                      "0");
}

TEST_F(PacketExchange, ReceiptCommandsAnswerTheirFields)
{
    std::string answer;
    ASSERT_EQ(Send("A", &answer), 0);
    EXPECT_EQ(answer, "00000001");
    EXPECT_EQ(s2_, 0x0100);
    ASSERT_EQ(Send("B\x1C"
                   "Cafe con leche\x1C"
                   "2\x1C"
                   "1.50",
                   &answer),
              0);
    EXPECT_EQ(answer, "Cafe con leche\x1C"
                      "3.00\x1C"
                      "3.00");
    ASSERT_EQ(Send("B\x1C"
                   "Medialuna\x1C"
                   "3\x1C"
                   "0.8",
                   &answer),
              0);
    EXPECT_EQ(answer, "Medialuna\x1C"
                      "2.40\x1C"
                      "5.40");
    ASSERT_EQ(Send("C", &answer), 0);
    EXPECT_EQ(answer, "2\x1C"
                      "5.40");
    ASSERT_EQ(Send("E", &answer), 0);
    EXPECT_EQ(answer, "00000001\x1C"
                      "2\x1C"
                      "5.40");
    EXPECT_EQ(s2_, 0x0000);
    // A refused command is still an answer: 0, with the reason in the words.
    ASSERT_EQ(Send("E", &answer), 0);
    EXPECT_EQ(s2_, 0x8004);
    EXPECT_EQ(answer, "");
    ASSERT_EQ(Send("Z", &answer), 0);
    EXPECT_EQ(s2_, 0x8001);
}

TEST_F(PacketExchange, DroppedFramesAreRetriedUntilTheCountRunsOut)
{
    SetCommandRetries(3);
    fiscalsim_drop(2);
    std::string answer;
    ASSERT_EQ(Send("A", &answer), 0);
    EXPECT_EQ(answer, "00000001");
    EXPECT_EQ(fiscalsim_frames_received(), 3);
    EXPECT_EQ(fiscalsim_commands_executed(), 1);

    SetCommandRetries(1);
    fiscalsim_drop(1);
    EXPECT_EQ(Send("C", &answer), -1);
    EXPECT_EQ(PacketLastError(), PACKET_NO_ANSWER);
    EXPECT_EQ(answer, "");
    EXPECT_EQ(fiscalsim_frames_received(), 4);
}

TEST_F(PacketExchange, DamagedAnswersAreAskedForAgainWithoutRunningTheCommandTwice)
{
    SetCommandRetries(3);
    fiscalsim_garble(2);
    std::string answer;
    ASSERT_EQ(Send("A", &answer), 0);
    EXPECT_EQ(answer, "00000001");
    EXPECT_EQ(fiscalsim_frames_received(), 3);
    EXPECT_EQ(fiscalsim_commands_executed(), 1);   // the repeats got the kept answer

    SetCommandRetries(1);
    fiscalsim_garble(1);
    EXPECT_EQ(Send("C", &answer), -1);
    EXPECT_EQ(PacketLastError(), PACKET_REFUSED);
}

TEST_F(PacketExchange, ALateAnswerIsNeverTakenForTheNextCommand)
{
    SetCommandRetries(1);
    fiscalsim_answer_late(1, PACKET_TRY_LIMIT_MS + 300);
    std::string answer;
    EXPECT_EQ(Send("A", &answer), -1);
    EXPECT_EQ(PacketLastError(), PACKET_NO_ANSWER);
    // The receipt was opened all the same; its answer arrives while the next
    // command is on its way and must be passed over.
    SetCommandRetries(3);
    ASSERT_EQ(Send("C", &answer), 0);
    EXPECT_EQ(answer, "0\x1C"
                      "0.00");
    EXPECT_EQ(s2_, 0x0100);
}

TEST_F(PacketExchange, ALateAnswerWithinTheTriesIsTaken)
{
    SetCommandRetries(3);
    fiscalsim_answer_late(1, PACKET_TRY_LIMIT_MS + 200);
    std::string answer;
    ASSERT_EQ(Send("A", &answer), 0);
    EXPECT_EQ(answer, "00000001");
    EXPECT_EQ(fiscalsim_commands_executed(), 1);
}

TEST_F(PacketExchange, AWrongRateGetsSilenceAndMinusOneAfterEachTry)
{
    ASSERT_EQ(SetBaudRate(port_, 19200), 0);
    SetCommandRetries(2);
    std::string answer;
    auto start = Clock::now();
    EXPECT_EQ(Send("*", &answer), -1);
    long long waited = ElapsedMs(start);
    EXPECT_EQ(PacketLastError(), PACKET_NO_ANSWER);
    EXPECT_GE(waited, 2 * PACKET_TRY_LIMIT_MS - 20);
    EXPECT_EQ(fiscalsim_frames_received(), 2);
    EXPECT_EQ(fiscalsim_commands_executed(), 0);
    ASSERT_EQ(SetBaudRate(port_, 9600), 0);
    EXPECT_EQ(Send("*", &answer), 0);
}

TEST_F(PacketExchange, AnswerIsCutAtFiveHundredBytesTerminatorIncluded)
{
    char buffer[700];
    memset(buffer, 0x7F, sizeof buffer);
    unsigned short s1 = 0, s2 = 0;
    ASSERT_EQ(MandaPaqueteFiscal(port_,
                                 "L\x1C"
                                 "900",
                                 &s1, &s2, buffer),
              0);
    EXPECT_EQ(strlen(buffer), (size_t)PACKET_ANSWER_SIZE - 1);
    EXPECT_EQ(std::string(buffer, 12), "012345678901");
    for (size_t i = PACKET_ANSWER_SIZE; i < sizeof buffer; i++) {
        ASSERT_EQ(buffer[i], 0x7F) << "written past the answer at " << i;
    }

    memset(buffer, 0x7F, sizeof buffer);
    ASSERT_EQ(MandaPaqueteFiscal(port_,
                                 "L\x1C"
                                 "499",
                                 &s1, &s2, buffer),
              0);
    EXPECT_EQ(strlen(buffer), 499u);
    ASSERT_EQ(MandaPaqueteFiscal(port_,
                                 "L\x1C"
                                 "498",
                                 &s1, &s2, buffer),
              0);
    EXPECT_EQ(strlen(buffer), 498u);
    EXPECT_EQ(buffer[499], '\0');   // from the 499-byte answer before
}

TEST_F(PacketExchange, OverlongCommandIsRefusedBeforeAnythingIsSent)
{
    std::string answer;
    EXPECT_EQ(Send(std::string(PACKET_MAX_COMMAND + 1, 'B'), &answer), -1);
    EXPECT_EQ(PacketLastError(), PACKET_BAD_COMMAND);
    EXPECT_EQ(fiscalsim_frames_received(), 0);
    ASSERT_EQ(Send(std::string(PACKET_MAX_COMMAND, 'Z'), &answer), 0);
    EXPECT_EQ(s2_, 0x8002);   // too many characters for a field: answered as bad field
}

std::vector<int> Waits;
void RecordWait(int port, int kind)
{
    (void)port;
    Waits.push_back(kind);
}

TEST_F(PacketExchange, KeepAlivesHoldTheTryOpenAndReachTheWaitHook)
{
    SetCommandRetries(1);
    Waits.clear();
    PacketWaitHook before = SetPacketWaitHook(RecordWait);
    EXPECT_EQ(before, nullptr);
    std::string answer;
    // 700 ms of work, longer than the 500 ms try limit.
    ASSERT_EQ(Send("S", &answer), 0);
    EXPECT_EQ(answer, "700");
    ASSERT_GE(Waits.size(), 2u);
    for (int kind : Waits) {
        EXPECT_EQ(kind, 0x12);
    }

    Waits.clear();
    ASSERT_EQ(Send("P\x1C"
                   "600",
                   &answer),
              0);
    EXPECT_EQ(answer, "600");
    EXPECT_EQ(s1_, 0x8008);
    ASSERT_GE(Waits.size(), 2u);
    for (int kind : Waits) {
        EXPECT_EQ(kind, 0x14);
    }
    EXPECT_EQ(SetPacketWaitHook(nullptr), RecordWait);
}

TEST_F(PacketExchange, AVanishedLineFailsAtOnceAsLineGoneAndWorksWhenReopened)
{
    SetCommandRetries(3);
    ASSERT_EQ(fiscalsim_vanish(), 0);
    std::string answer;
    auto start = Clock::now();
    EXPECT_EQ(Send("*", &answer), -1);
    EXPECT_EQ(PacketLastError(), PACKET_LINE_GONE);
    EXPECT_LT(ElapsedMs(start), PACKET_TRY_LIMIT_MS);   // no tries wasted on a dead line

    end_comm(&PortControl[port_]);
    ASSERT_EQ(fiscalsim_come_back(), 0);
    port_ = start_comm(fiscalsim_port_name());
    ASSERT_GE(port_, 0);
    ASSERT_EQ(Send("*", &answer), 0);
    EXPECT_EQ(answer, "0\x1C"
                      "00000000\x1C"
                      "0");
}

}   // namespace
