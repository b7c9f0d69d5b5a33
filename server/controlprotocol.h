/*
 * The control socket, between a running fiscald and the fiscald that asks
 * it (--status, --forget): a Unix stream socket; the asker sends one request
 * line, the server answers and closes the connection.
 *
 *   "estado\n"       the status report, "key value" lines (fiscald_status.h)
 *   "olvidar ID\n"   the command in doubt ID is let go: "olvidado ID\n", or
 *                    "error ..." when there is none with that id
 *
 * The service's socket is CONTROL_RUNTIME_DIR/<instance>.control, reachable
 * by root and the fiscald group only (the directory is theirs).
 */
#ifndef FISCALD_CONTROLPROTOCOL_H
#define FISCALD_CONTROLPROTOCOL_H

#define CONTROL_RUNTIME_DIR   "/run/fiscald" /* the services' runtime directory */
#define CONTROL_SOCKET_SUFFIX ".control"
#define CONTROL_STATUS        "estado"
#define CONTROL_FORGET        "olvidar"
#define CONTROL_FORGOTTEN     "olvidado"
#define CONTROL_ERROR         "error"
#define CONTROL_REQUEST_MAX   64 /* a request line, its newline included */
#define CONTROL_REPLY_MAX                                                                          \
    524288                           /* the longest report: every client, queue entry              \
                                        and command in doubt */
#define CONTROL_ANSWER_LIMIT_MS 5000 /* a connection is closed this long after it came */

#endif
