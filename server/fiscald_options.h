/*
 * fiscald_options - the server's command line, its defaults and ranges.
 *
 *   ParseServerOptions(argc, argv, options)  -1: go on and serve (or ask a
 *       running server, when options->ask is set); otherwise the exit status
 *       (0 help or version, 2 a bad option; message printed)
 */
#ifndef FISCALD_OPTIONS_H
#define FISCALD_OPTIONS_H

#include "clientprotocol.h"
#include "fiscald_access.h"

#ifdef __cplusplus
extern "C" {
#endif

#define FISCALD_DEFAULT_ADDRESS    "127.0.0.1"
#define FISCALD_DEFAULT_PORT       CLIENT_DEFAULT_PORT
#define FISCALD_DEFAULT_INTERIM_MS 10000 /* well under ruvado's 15 s per receive */
#define FISCALD_INTERIM_MIN_MS     100
#define FISCALD_INTERIM_MAX_MS     60000
#define FISCALD_DEFAULT_IDLE_S     300 /* a silent client is let go after this */
#define FISCALD_MAX_IDLE_S         86400
#define FISCALD_DEFAULT_CLIENTS    64
#define FISCALD_MAX_CLIENTS        1000
#define FISCALD_MAX_PATH           4095 /* the device as given */
/* No timer of the server looks further ahead than this. */
#define FISCALD_LONGEST_WAIT_MS 60000

typedef struct ServerOptions {
    const char *address; /* dotted IPv4 to listen on */
    long tcp_port;       /* 0: any free port */
    long baud;           /* 0: start_comm's 9600 */
    int search;          /* search the rate instead */
    long interim_ms;
    long try_limit_ms; /* 0: the packet layer's default */
    long idle_s;       /* 0: never */
    long max_clients;
    AccessList access;
    int verbose;              /* trace on standard output */
    const char *trace_file;   /* null: none */
    int journal;              /* every message as a plain line on standard error */
    const char *state_file;   /* null: none */
    int one_till_per_address; /* a new connection may resend its address's kept command */
    const char *control;      /* the control socket to listen at; null: none */
    const char *ask;          /* --status, --forget: the request for a running server;
                                 null: serve */
    const char *ask_target;   /* the server asked: instance or socket; null: the only one */
    const char *device;       /* as given on the command line */
    char ask_request[64];     /* room for the request ask points to */
} ServerOptions;

int ParseServerOptions(int argc, char **argv, ServerOptions *options);

#ifdef __cplusplus
}
#endif

#endif
