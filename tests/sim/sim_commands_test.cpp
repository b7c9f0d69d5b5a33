// The simulated controller's command set, without a line.
#include "fiscalframe.h"
#include "simcommands.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Answer {
    unsigned short s1, s2;
    std::string fields;
    int busy_ms, busy_kind;
};

Answer Exec(const std::string &body, int busy_ms = 1000)
{
    SimReply reply;
    SimExecute(body.data(), (int)body.size(), busy_ms, &reply);
    return {reply.status1, reply.status2, reply.fields, reply.busy_ms, reply.busy_kind};
}

class SimCommands : public ::testing::Test {
protected:
    void SetUp() override { SimCommandsReset(); }
};

TEST_F(SimCommands, AReceiptRunsFromOpenToCloseAndNumbersFollowOn)
{
    EXPECT_EQ(Exec("*").fields, "0\x1C"
                                "00000000\x1C"
                                "0");
    Answer opened = Exec("A");
    EXPECT_EQ(opened.fields, "00000001");
    EXPECT_EQ(opened.s2, 0x0100);
    EXPECT_EQ(Exec("B\x1C"
                   "Pan\x1C"
                   "1\x1C"
                   "10")
                  .fields,
              "Pan\x1C"
              "10.00\x1C"
              "10.00");
    EXPECT_EQ(Exec("B\x1C"
                   "Queso\x1C"
                   "3\x1C"
                   "0.05")
                  .fields,
              "Queso\x1C"
              "0.15\x1C"
              "10.15");
    EXPECT_EQ(Exec("*").fields, "1\x1C"
                                "00000001\x1C"
                                "2");
    EXPECT_EQ(Exec("C").fields, "2\x1C"
                                "10.15");
    Answer closed = Exec("E");
    EXPECT_EQ(closed.fields, "00000001\x1C"
                             "2\x1C"
                             "10.15");
    EXPECT_EQ(closed.s2, 0x0000);
    EXPECT_EQ(Exec("A").fields, "00000002");
    EXPECT_EQ(Exec("C").fields, "0\x1C"
                                "0.00");
}

TEST_F(SimCommands, CommandsOutOfTurnAreRefusedAndChangeNothing)
{
    for (const char *body : {"B\x1C"
                             "Pan\x1C"
                             "1\x1C"
                             "1",
                             "C", "E"}) {
        Answer refused = Exec(body);
        EXPECT_EQ(refused.s2, 0x8004) << body;
        EXPECT_EQ(refused.fields, "");
    }
    Exec("A");
    Answer again = Exec("A");
    EXPECT_EQ(again.s2, 0x8104);
    EXPECT_EQ(Exec("*").fields, "1\x1C"
                                "00000001\x1C"
                                "0");
}

TEST_F(SimCommands, BadFieldsAreRefusedWithoutTouchingTheReceipt)
{
    Exec("A");
    for (const char *body : {"B",
                             "B\x1C"
                             "Pan\x1C"
                             "1",
                             "B\x1C\x1C"
                             "1\x1C"
                             "1",
                             "B\x1C"
                             "Pan\x1C"
                             "0\x1C"
                             "1",
                             "B\x1C"
                             "Pan\x1C"
                             "x\x1C"
                             "1",
                             "B\x1C"
                             "Pan\x1C"
                             "1\x1C"
                             "1.234",
                             "B\x1C"
                             "Pan\x1C"
                             "1\x1C"
                             "1.",
                             "B\x1C"
                             "Pan\x1C"
                             "1\x1C"
                             ".5",
                             "B\x1C"
                             "Pan\x1C"
                             "1\x1C"
                             "-1",
                             "B\x1C"
                             "Pan\x1C"
                             "10000\x1C"
                             "1",
                             "B\x1C"
                             "Pan\x1C"
                             "1\x1C"
                             "1\x1C"
                             "1\x1C"
                             "1",
                             "AX",
                             "A\x1C"
                             "1"}) {
        EXPECT_EQ(Exec(body).s2, 0x8102) << body;
    }
    EXPECT_EQ(Exec("B\x1C" + std::string(64, 'x') +
                   "\x1C"
                   "1\x1C"
                   "1")
                  .s2,
              0x8102);
    EXPECT_EQ(Exec("B\x1C" + std::string(63, 'x') +
                   "\x1C"
                   "1\x1C"
                   "1")
                  .s2,
              0x0100);
    EXPECT_EQ(Exec("C").fields, "1\x1C"
                                "1.00");
}

TEST_F(SimCommands, UnknownOrEmptyCommandsAreReportedAsUnknown)
{
    EXPECT_EQ(Exec("Q").s2, 0x8001);
    EXPECT_EQ(Exec("").s2, 0x8001);
    EXPECT_EQ(Exec("a").s2, 0x8001);
}

TEST_F(SimCommands, SlowCommandsWorkForTheConfiguredOrGivenTime)
{
    Answer slow = Exec("S", 1500);
    EXPECT_EQ(slow.busy_ms, 1500);
    EXPECT_EQ(slow.busy_kind, FRAME_DC2);
    EXPECT_EQ(slow.fields, "1500");
    EXPECT_EQ(slow.s1, 0);
    Answer paper = Exec("P\x1C"
                        "250",
                        1500);
    EXPECT_EQ(paper.busy_ms, 250);
    EXPECT_EQ(paper.busy_kind, FRAME_DC4);
    EXPECT_EQ(paper.s1, 0x8008);
    EXPECT_EQ(Exec("S\x1C"
                   "600001")
                  .s2,
              0x8002);
    EXPECT_EQ(Exec("S\x1C"
                   "abc")
                  .s2,
              0x8002);
    EXPECT_EQ(Exec("S\x1C"
                   "abc")
                  .busy_ms,
              0);
}

TEST_F(SimCommands, LineTestAnswersTheAskedLengthUpToItsLimit)
{
    EXPECT_EQ(Exec("L\x1C"
                   "12")
                  .fields,
              "012345678901");
    EXPECT_EQ(Exec("L\x1C"
                   "0")
                  .fields,
              "");
    EXPECT_EQ(Exec("L\x1C"
                   "1000")
                  .fields.size(),
              1000u);
    EXPECT_EQ(Exec("L\x1C"
                   "1001")
                  .s2,
              0x8002);
    EXPECT_EQ(Exec("L").s2, 0x8002);
}

}   // namespace
