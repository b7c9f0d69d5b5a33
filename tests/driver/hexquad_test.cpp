#include <gtest/gtest.h>

#include "hexquad.h"

namespace {

TEST(Hexquad, ReadsFourHexDigitsInEitherCase)
{
    EXPECT_EQ(hexquad("1A2f"), 6703);
    EXPECT_EQ(hexquad("0000"), 0);
    EXPECT_EQ(hexquad("FFFF"), 65535);
    EXPECT_EQ(hexquad("ffff"), 65535);
    EXPECT_EQ(hexquad("0600"), 0x0600);
    EXPECT_EQ(hexquad("c0DE"), 0xC0DE);
}

TEST(Hexquad, OnlyTheFirstFourCharactersCount)
{
    EXPECT_EQ(hexquad("12345"), 0x1234);
    EXPECT_EQ(hexquad("0080\x1C"
                      "0600"),
              0x0080);
}

TEST(Hexquad, ShortTextStopsAtItsTerminator)
{
    // What follows the terminator must not be read: here it would change
    // the value.
    const char text[] = {'1', 'A', '\0', '7', '7'};
    EXPECT_EQ(hexquad(text), 0x1A);
    EXPECT_EQ(hexquad(""), 0);
    EXPECT_EQ(hexquad("F"), 0xF);
    EXPECT_EQ(hexquad(nullptr), 0);
}

TEST(Hexquad, BytesAboveSeventyFStayWithinSixteenBits)
{
    // Not hexadecimal, so each byte gives toupper(byte) - 55 taken as
    // unsigned, never as a negative char: 0xE9 -> 178, 0xFF -> 200,
    // 0x80 -> 73, 0x81 -> 74, folded four bits at a time into 16 bits.
    const char text[] = "\xE9\xFF\x80\x81";
    EXPECT_EQ(hexquad(text), 0xECDA);
    EXPECT_GE(hexquad(text), 0);
    EXPECT_LE(hexquad(text), 65535);
}

}   // namespace
