/*
 * monoclock - the one millisecond clock of the packet layer, the server and
 * the simulator: CLOCK_MONOTONIC, so that a change of the wall clock never
 * stretches or cuts a wait.
 *
 *   MonotonicMs()   milliseconds since an arbitrary fixed point
 *   MonotonicUs()   the same clock in microseconds, for the simulator's
 *                   wire, whose byte times are fractions of a millisecond
 */
#ifndef MONOCLOCK_H
#define MONOCLOCK_H

#include <time.h>

static inline long long MonotonicMs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

static inline long long MonotonicUs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000000 + now.tv_nsec / 1000;
}

#endif
