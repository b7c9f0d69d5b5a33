/*
 * ptypair - a pseudo-terminal pair, set up the one way the kit does it: a
 * program plays the device on the master side while a host opens the slave
 * under its port name. Used by the simulator, the driver tests and the
 * benchmarks; C programs link it with the C linker.
 *
 *   PtyPairOpen(options, pair)  0, or -1 with errno kept and nothing left open
 *   PtyPairClose(pair)          close what is open (safe on a closed pair)
 */
#ifndef PTYPAIR_H
#define PTYPAIR_H

#ifdef __cplusplus
extern "C" {
#endif

/* options, or'ed */
#define PTYPAIR_NONBLOCK   0x1 /* the descriptors opened are non-blocking */
#define PTYPAIR_CLOEXEC    0x2 /* ... and closed in programs started later */
#define PTYPAIR_KEEP_SLAVE 0x4 /* open the slave too and keep it open */
#define PTYPAIR_RAW        0x8 /* raw mode (cfmakeraw) on what is opened */

#define PTYPAIR_NAME_MAX 64 /* port_name's size, terminator included */

typedef struct PtyPair {
    int master;                            /* the device's end; -1 when closed */
    int slave;                             /* the kept slave, else -1 */
    char port_name[PTYPAIR_NAME_MAX];      /* "pts/N", as start_comm takes it */
    char slave_path[PTYPAIR_NAME_MAX + 5]; /* "/dev/pts/N" */
} PtyPair;

int PtyPairOpen(int options, PtyPair *pair);
void PtyPairClose(PtyPair *pair);

#ifdef __cplusplus
}
#endif

#endif
