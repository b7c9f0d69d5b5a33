/*
 * fiscald_status - how the server is, for the operator: one line for the
 * service manager's status, and a full report for the control socket.
 *
 *   StatusSummary(out, size, now)  one line: the line, clients, the queue,
 *                                  commands served and failed, in doubt
 *   StatusReport(out, size, now)   "key value" lines (docs/server.md, "Status
 *                                  and control"): the length written; a report
 *                                  cut short by the room ends in "cortado"
 *
 * Both write a terminated text and never more than size bytes.
 */
#ifndef FISCALD_STATUS_H
#define FISCALD_STATUS_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

size_t StatusSummary(char *out, size_t size, long long now);
size_t StatusReport(char *out, size_t size, long long now);

#ifdef __cplusplus
}
#endif

#endif
