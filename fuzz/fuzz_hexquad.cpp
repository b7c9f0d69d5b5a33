// hexquad over random short texts: the result is always a 16-bit value, the
// text is never read past its terminator, and four hexadecimal digits give
// their value.
#include "hexquad.h"

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Exactly the text and its terminator, so a read past it is caught.
    char *text = (char *)malloc(size + 1);
    memcpy(text, data, size);
    text[size] = '\0';

    int value = hexquad(text);
    if (value < 0 || value > 0xFFFF) {
        abort();
    }

    int digits = 0;
    while (digits < 4 && text[digits] != '\0' &&
           strchr("0123456789abcdefABCDEF", text[digits]) != nullptr) {
        digits++;
    }
    if (digits == 4) {
        char four[5] = {text[0], text[1], text[2], text[3], '\0'};
        if (value != (int)strtol(four, nullptr, 16)) {
            abort();
        }
    }
    free(text);
    return 0;
}
