/*
 * fiscald_worker - the line worker, a child process that holds the device
 * through the driver and runs one command at a time through the packet layer.
 *
 *   WorkerStart(setup, pid, sock)  forks it: 0 with its pid and this side's
 *                                  socket, or -1
 */
#ifndef FISCALD_WORKER_H
#define FISCALD_WORKER_H

#include "workermessages.h"

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

int WorkerStart(const WorkerSetup *setup, pid_t *pid, int *sock);

#ifdef __cplusplus
}
#endif

#endif
