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
    EXPECT_EQ(hexquad("0080\x1C" "0600"), 0x0080);
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
    // Not hexadecimal, so the value is only the formula's: each byte taken as
    // unsigned (0xE9 - 55 = 178, 0xFF - 55 = 200), never as a negative char.
    const char text[] = "\xE9\xFF\x80\x81";
    int expected = 0;
    for (int byte : {0xE9, 0xFF, 0x80, 0x81}) {
        expected = ((expected * 16) | (byte - 55)) & 0xFFFF;
    }
    EXPECT_EQ(hexquad(text), expected);
    EXPECT_GE(hexquad(text), 0);
    EXPECT_LE(hexquad(text), 65535);
}

}  // namespace
