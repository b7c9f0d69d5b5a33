/*
 * wholenumber - the one parser of the programs' numeric options.
 *
 *   ParseWholeNumber(text, low, high)  the decimal number in text when it is
 *                                      all digits and within low..high, else -1
 */
#ifndef WHOLENUMBER_H
#define WHOLENUMBER_H

#include <errno.h>
#include <stdlib.h>

/* Every range the programs take is of numbers >= 0, so -1 cannot be a value.
 * A sign, blanks or trailing text are refused: "12x" is no 12. */
static inline long ParseWholeNumber(const char *text, long low, long high)
{
    char *end = NULL;
    if (text == NULL || text[0] < '0' || text[0] > '9') {
        return -1;
    }
    errno = 0;
    long value = strtol(text, &end, 10);
    if (*end != '\0' || errno != 0 || value < low || value > high) {
        return -1;
    }
    return value;
}

#endif
