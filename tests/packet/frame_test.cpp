// The framing on its own: what goes on the wire, what a reader accepts, and
// that no byte stream at all can make the reader misbehave.
#include "fiscalframe.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

std::string Encode(unsigned char seq, const std::string &body)
{
    char out[FRAME_MAX_WIRE];
    int len = FrameEncode(seq, body.data(), (int)body.size(), out, sizeof out);
    EXPECT_GE(len, 0);
    return std::string(out, len < 0 ? 0 : len);
}

struct Fed {
    int done = 0, bad = 0, control = 0;
    std::string last_body;
    unsigned char last_seq = 0;
    std::string controls;
};

Fed Feed(FrameReader &reader, const std::string &bytes)
{
    Fed fed;
    for (unsigned char byte : bytes) {
        int result = FrameReaderPush(&reader, byte);
        if (result == FRAME_DONE) {
            fed.done++;
            fed.last_body.assign(reader.body, reader.body_len);
            fed.last_seq = reader.seq;
        } else if (result == FRAME_BAD) {
            fed.bad++;
        } else if (result == FRAME_CONTROL) {
            fed.control++;
            fed.controls += (char)reader.control;
        }
    }
    return fed;
}

Fed FeedFresh(const std::string &bytes)
{
    FrameReader reader;
    FrameReaderReset(&reader);
    return Feed(reader, bytes);
}

TEST(FrameChecksum, IsCrc16CcittWithTheStandardCheckValue)
{
    const char text[] = "123456789";
    EXPECT_EQ(FrameChecksum((const unsigned char *)text, 9), 0x29B1);
}

TEST(FrameEncode, PutsStxSequenceBodyEtxAndFourHexDigits)
{
    std::string wire = Encode(' ', "*");
    const unsigned char covered[] = {' ', '*', 0x03};
    char check[5];
    snprintf(check, sizeof check, "%04X", FrameChecksum(covered, 3));
    EXPECT_EQ(wire, std::string("\x02 *\x03") + check);
}

TEST(FrameEncode, EscapesControlBytesButCarriesFsAndHighBytesAsTheyAre)
{
    std::string wire = Encode('!', std::string("a\x1C\x02\x03\x1B\x15\x7F\xFF", 8));
    EXPECT_EQ(wire.substr(0, 15),
              std::string("\x02!a\x1C\x1B\x42\x1B\x43\x1B\x5B\x1B\x55\x7F\xFF\x03", 15));
    for (size_t i = 1; i + 5 < wire.size(); i++) {
        EXPECT_FALSE((unsigned char)wire[i] < 0x20 && wire[i] != 0x1C && wire[i] != 0x1B)
            << "raw control byte at " << i;
    }
}

TEST(FrameEncode, RoundTripsEveryByteButNulAndEverySequence)
{
    std::string body;
    for (int byte = 1; byte < 256; byte++) {
        body += (char)byte;
    }
    for (int seq = FRAME_SEQ_FIRST; seq <= FRAME_SEQ_LAST; seq++) {
        Fed fed = FeedFresh(Encode((unsigned char)seq, body));
        ASSERT_EQ(fed.done, 1) << seq;
        EXPECT_EQ(fed.bad, 0);
        EXPECT_EQ(fed.last_seq, seq);
        EXPECT_EQ(fed.last_body, body);
    }
    EXPECT_EQ(FeedFresh(Encode(' ', "")).last_body, "");
}

TEST(FrameEncode, RefusesNulsBadSequencesAndSmallBuffers)
{
    char out[64];
    EXPECT_EQ(FrameEncode(' ', "a\0b", 3, out, sizeof out), -1);
    EXPECT_EQ(FrameEncode(0x1F, "a", 1, out, sizeof out), -1);
    EXPECT_EQ(FrameEncode(0x7F, "a", 1, out, sizeof out), -1);
    // "ab" takes 2 + 2 + 5 bytes on the wire plus the terminator: exactly 10.
    EXPECT_EQ(FrameEncode(' ', "ab", 2, out, 10), 9);
    EXPECT_EQ(out[9], '\0');
    EXPECT_EQ(FrameEncode(' ', "ab", 2, out, 9), -1);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(FrameEncode(' ', "\x01", 1, out, 10), 9);
    EXPECT_EQ(FrameEncode(' ', "\x01", 1, out, 9), -1);
}

TEST(FrameSeq, StartsWhereTheNumberSaysAndWrapsAfterTheLastByte)
{
    EXPECT_EQ(FrameSeqFirst(0), 0x20);
    EXPECT_EQ(FrameSeqFirst(94), 0x7E);
    EXPECT_EQ(FrameSeqFirst(95), 0x20);
    EXPECT_EQ(FrameSeqFirst(95 * 1000 + 33), 0x41);
    EXPECT_EQ(FrameSeqFirst(4294967295UL), 0x25);
    EXPECT_EQ(FrameSeqAfter(0x20), 0x21);
    EXPECT_EQ(FrameSeqAfter(0x7D), 0x7E);
    EXPECT_EQ(FrameSeqAfter(0x7E), 0x20);
}

TEST(FrameReader, RejectsAnyDamagedChecksumDigitOrBodyByte)
{
    std::string good = Encode('#', "B\x1C"
                                   "Cafe\x1C"
                                   "2\x1C"
                                   "1.50");
    for (size_t i = 1; i < good.size(); i++) {
        std::string damaged = good;
        damaged[i] = (char)(damaged[i] ^ 0x01);
        Fed fed = FeedFresh(damaged);
        EXPECT_EQ(fed.done, 0) << "byte " << i;
    }
    // Checksum digits are upper case only; find a frame whose digits hold a letter.
    int letters_seen = 0;
    for (int seq = FRAME_SEQ_FIRST; seq <= FRAME_SEQ_LAST && letters_seen < 5; seq++) {
        std::string wire = Encode((unsigned char)seq, "*");
        std::string lower = wire;
        for (size_t i = lower.size() - 4; i < lower.size(); i++) {
            lower[i] = (char)tolower((unsigned char)lower[i]);
        }
        if (lower == wire) {
            continue;
        }
        letters_seen++;
        EXPECT_EQ(FeedFresh(lower).done, 0) << lower;
        EXPECT_EQ(FeedFresh(wire).done, 1);
    }
    EXPECT_EQ(letters_seen, 5);
}

TEST(FrameReader, RejectsRawControlBytesBadEscapesAndBadSequences)
{
    EXPECT_EQ(FeedFresh(std::string("\x02 a\x01"
                                    "b\x03"
                                    "0000",
                                    10))
                  .bad,
              1);
    EXPECT_EQ(FeedFresh(std::string("\x02 a\x1B\x40\x03"
                                    "0000",
                                    10))
                  .bad,
              1);   // escaped NUL
    EXPECT_EQ(FeedFresh(std::string("\x02 a\x1B\x5C\x03"
                                    "0000",
                                    10))
                  .bad,
              1);   // escaped FS
    EXPECT_EQ(FeedFresh(std::string("\x02 a\x1B"
                                    "a\x03"
                                    "0000",
                                    10))
                  .bad,
              1);
    EXPECT_EQ(FeedFresh(std::string("\x02\x7F"
                                    "a\x03"
                                    "0000",
                                    9))
                  .bad,
              1);
    EXPECT_EQ(FeedFresh(std::string("\x02\x1C"
                                    "a\x03"
                                    "0000",
                                    9))
                  .bad,
              1);
}

TEST(FrameReader, PassesOverNoiseAndReportsLoneControlBytes)
{
    std::string wire = std::string("xyz\x12\x14\x15\x06\x7F\xFF", 10) + Encode('$', "hola") +
                       "\x12";
    Fed fed = FeedFresh(wire);
    EXPECT_EQ(fed.done, 1);
    EXPECT_EQ(fed.bad, 0);
    EXPECT_EQ(fed.last_body, "hola");
    EXPECT_EQ(fed.controls, "\x12\x14\x15\x06\x12");
}

TEST(FrameReader, AFrameCutByANewStxIsLostAndTheNewOneCounts)
{
    std::string first = Encode('%', "perdido");
    std::string wire = first.substr(0, 5) + Encode('&', "entero");
    Fed fed = FeedFresh(wire);
    EXPECT_EQ(fed.bad, 1);
    EXPECT_EQ(fed.done, 1);
    EXPECT_EQ(fed.last_seq, '&');
    EXPECT_EQ(fed.last_body, "entero");
}

TEST(FrameReader, RefusesAnOverlongBodyAndRecoversOnTheNextFrame)
{
    std::string body(FRAME_MAX_BODY, 'x');
    Fed fits = FeedFresh(Encode('(', body));
    EXPECT_EQ(fits.done, 1);
    EXPECT_EQ(fits.last_body.size(), (size_t)FRAME_MAX_BODY);

    std::string overlong = std::string("\x02(") + std::string(FRAME_MAX_BODY + 50, 'y') +
                           "\x03"
                           "0000";
    FrameReader reader;
    FrameReaderReset(&reader);
    Fed fed = Feed(reader, overlong + Encode(')', "despues"));
    EXPECT_EQ(fed.bad, 1);
    EXPECT_EQ(fed.done, 1);
    EXPECT_EQ(fed.last_body, "despues");
}

TEST(FrameReader, SurvivesRandomBytesAndStillReadsAFrameAfterThem)
{
    std::mt19937 random(12345);
    FrameReader reader;
    FrameReaderReset(&reader);
    for (int round = 0; round < 200000; round++) {
        // Skew towards the bytes that matter to the reader.
        unsigned char byte = (unsigned char)random();
        if (round % 7 == 0) {
            byte = "\x02\x03\x1B\x1C\x12\x15"[random() % 6];
        }
        int result = FrameReaderPush(&reader, byte);
        ASSERT_TRUE(result == FRAME_MORE || result == FRAME_DONE || result == FRAME_BAD ||
                    result == FRAME_CONTROL);
        ASSERT_LE(reader.body_len, FRAME_MAX_BODY);
        ASSERT_EQ(reader.body[reader.body_len], '\0');
    }
    Fed fed = Feed(reader, Encode('*', "ultimo"));
    EXPECT_EQ(fed.done, 1);
    EXPECT_EQ(fed.last_body, "ultimo");
}

TEST(FrameAnswer, CarriesTwoStatusWordsAndTheFieldsAfterThem)
{
    char out[FRAME_MAX_WIRE];
    ASSERT_GT(FrameEncodeAnswer('+', 0x8008, 0x0100,
                                "00000001\x1C"
                                "3.00",
                                out, sizeof out),
              0);
    Fed fed = FeedFresh(out);
    ASSERT_EQ(fed.done, 1);
    EXPECT_EQ(fed.last_body, "8008\x1C"
                             "0100\x1C"
                             "00000001\x1C"
                             "3.00");
    unsigned short s1 = 0, s2 = 0;
    const char *fields = nullptr;
    ASSERT_EQ(FrameParseAnswer(fed.last_body.data(), (int)fed.last_body.size(), &s1, &s2, &fields),
              0);
    EXPECT_EQ(s1, 0x8008);
    EXPECT_EQ(s2, 0x0100);
    EXPECT_STREQ(fields, "00000001\x1C"
                         "3.00");

    ASSERT_GT(FrameEncodeAnswer('+', 1, 0xFFFF, "", out, sizeof out), 0);
    fed = FeedFresh(out);
    EXPECT_EQ(fed.last_body, "0001\x1C"
                             "FFFF");
    ASSERT_EQ(FrameParseAnswer(fed.last_body.data(), (int)fed.last_body.size(), &s1, &s2, &fields),
              0);
    EXPECT_STREQ(fields, "");
    EXPECT_EQ(s2, 0xFFFF);
}

TEST(FrameAnswer, RejectsBodiesThatAreNotStatusWordsAndFields)
{
    unsigned short s1 = 7, s2 = 7;
    const char *fields = nullptr;
    for (const char *body : {"", "0000",
                             "0000\x1C"
                             "000",
                             "0000 0000",
                             "000G\x1C"
                             "0000",
                             "0000\x1C"
                             "0000x",
                             "abcd\x1C"
                             "0000"}) {
        EXPECT_EQ(FrameParseAnswer(body, (int)strlen(body), &s1, &s2, &fields), -1) << body;
    }
    EXPECT_EQ(s1, 7);
    EXPECT_EQ(s2, 7);
}

}   // namespace
