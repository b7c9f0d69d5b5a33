// Four hexadecimal digits to a 16-bit word. Characters are not validated; the
// caller passes hexadecimal digits.
#include "hexquad.h"

#include <ctype.h>

int hexquad(const char *text)
{
    int value = 0;
    // Stops at the terminator so that a short text is never read past its end.
    for (int i = 0; text != nullptr && i < 4 && text[i] != '\0'; i++) {
        // The character functions take an unsigned char value; a plain char of
        // 0x80 or more would be negative.
        int c = static_cast<unsigned char>(text[i]);
        int digit = isdigit(c) ? c - '0' : toupper(c) - 55;
        value = ((value * 16) | digit) & 0xFFFF;
    }
    return value;
}
