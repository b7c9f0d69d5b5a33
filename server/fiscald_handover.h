/*
 * fiscald_handover - a running server hands its service to the program now
 * installed at its path (a package upgrade), without a client noticing: on
 * SIGUSR2 it lets the command on the line finish, then execs the program
 * with the same command line and a descriptor that carries the listening
 * socket, every client's connection and state, the queue, the commands in
 * doubt and the device's lock. The new program starts a worker of its own.
 *
 *   HandoverExec(argv)   writes the handover and execs argv[0] (or the
 *                        running program's file): returns only if that
 *                        failed, -1, with everything as it was
 *   HandoverTake()       in the new program: 1 when it was started by a
 *                        handover and has taken it, 0 when it was not,
 *                        -1 when the handover could not be read (message)
 *   HandoverPut/Get(fd, tag, bytes, size)  one module's part: 0 or -1
 */
#ifndef FISCALD_HANDOVER_H
#define FISCALD_HANDOVER_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The parts, in the order they are written. */
enum HandoverTag { HANDOVER_LAYOUT = 1, HANDOVER_CLIENTS, HANDOVER_DISPATCH, HANDOVER_LINE };

/* The environment variable that names the handover's descriptor. */
#define FISCALD_HANDOVER_VARIABLE "FISCALD_HANDOVER_FD"

int HandoverExec(char **argv);
int HandoverTake(void);
int HandoverPut(int fd, int tag, const void *bytes, size_t size);
int HandoverGet(int fd, int tag, void *bytes, size_t size);
/* Lets a descriptor live on into the program exec'd next (or not again). */
void HandoverKeepOpen(int fd, int keep);

#ifdef __cplusplus
}
#endif

#endif
