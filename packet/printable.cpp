// A byte at a time and bounded by the output's size, so that a command of any
// length, NULs included, gives a copy that fits.
#include "printable.h"
#include "fiscalframe.h"

size_t PrintableCopy(const char *bytes, size_t length, char *out, size_t size)
{
    size_t used = 0;
    if (size == 0) {
        return 0;
    }
    for (size_t i = 0; i < length && used + 1 < size; i++) {
        unsigned char byte = (unsigned char)bytes[i];
        if (byte == FRAME_FS) {
            out[used++] = '|';
        } else if (byte < 0x20 || byte == 0x7F) {
            out[used++] = '.';
        } else {
            out[used++] = (char)byte;
        }
    }
    out[used] = '\0';
    return used;
}
