/*
 * fiscald_state - the state file: the rate the controller was last found at.
 *
 *   StateReadRate(path)         the rate kept, or 0 when missing or bad
 *   StateWriteRate(path, rate)  written whole or not at all: 0 or -1
 */
#ifndef FISCALD_STATE_H
#define FISCALD_STATE_H

#ifdef __cplusplus
extern "C" {
#endif

long StateReadRate(const char *path);
int StateWriteRate(const char *path, long rate);

#ifdef __cplusplus
}
#endif

#endif
