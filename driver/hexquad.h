/*
 * hexquad - the first four characters of a text, read as hexadecimal
 * digits, as a 16-bit value (0 to 65535). Reading stops early at the
 * text's terminator.
 */
#ifndef HEXQUAD_H
#define HEXQUAD_H

#ifdef __cplusplus
extern "C" {
#endif

int hexquad(const char *text);

#ifdef __cplusplus
}
#endif

#endif
