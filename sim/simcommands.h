/*
 * simcommands - the simulated controller's command set and receipt state
 * (docs/simulator.md). Pure bookkeeping: no line, no clock.
 *
 *   SimCommandsReset()                 no receipt open, numbering from 1
 *   SimExecute(body, len, busy, reply) run one command body, fill reply
 */
#ifndef SIMCOMMANDS_H
#define SIMCOMMANDS_H

#ifdef __cplusplus
extern "C" {
#endif

#define SIM_FIELDS_MAX 1000

/* status1: printer */
#define SIM_PRN_PAPER_WAITED 0x0008 /* paper ran out during the command */
#define SIM_PRN_ANY          0x8000 /* any printer bit above is set */
/* status2: fiscal */
#define SIM_FIS_UNKNOWN      0x0001 /* command code not known */
#define SIM_FIS_BAD_FIELD    0x0002 /* a field missing or out of range */
#define SIM_FIS_BAD_STATE    0x0004 /* not allowed with/without a receipt open */
#define SIM_FIS_RECEIPT_OPEN 0x0100 /* a receipt is open after the command */
#define SIM_FIS_ANY_ERROR    0x8000 /* any of bits 0-7 is set */

typedef struct SimReply {
    unsigned short status1;          /* printer status word */
    unsigned short status2;          /* fiscal status word */
    char fields[SIM_FIELDS_MAX + 1]; /* FS-separated answer fields */
    int busy_ms;                     /* work time before the answer goes out */
    int busy_kind;                   /* keep-alive byte sent meanwhile (DC2/DC4) */
} SimReply;

void SimCommandsReset(void);
/* busy_ms: the configured work time of the slow commands. */
void SimExecute(const char *body, int len, int busy_ms, SimReply *reply);

#ifdef __cplusplus
}
#endif

#endif
