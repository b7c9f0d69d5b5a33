/*
 * fiscald - the command server between TCP clients (ruvado) and one fiscal
 * controller behind the packet layer. Reply format and options: docs/server.md.
 *
 * Controller line (fiscald_line.cpp):
 *   LineOpen(name, baud, search)   open the device, set or search its rate; 0 or -1
 *   LineExchange(cmd, len, reply)  one command, its final reply text
 *   LineCheck()                    reopen a vanished line once it is back
 *   LineClose()
 * Client side (fiscald_client.cpp):
 *   ServerListen(addr, port, &bound)  0 or -1 (message printed)
 *   ServerAccept() / ClientReceive() / ClientFinish()
 *   ClientWaitHook(port, kind)     the packet layer's wait hook: interim replies
 * Reply text (fiscald_reply.cpp):
 *   ReplyAnswer / ReplyError / ReplyInterim
 */
#ifndef FISCALD_H
#define FISCALD_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define FISCALD_DEFAULT_ADDRESS   "127.0.0.1"
#define FISCALD_DEFAULT_PORT      1600
#define FISCALD_DEFAULT_INTERIM_MS 1000
#define FISCALD_INTERIM_MIN_MS    100
#define FISCALD_INTERIM_MAX_MS    60000
#define FISCALD_DEFAULT_IDLE_S    300    /* a silent client is let go after this */
#define FISCALD_MAX_IDLE_S        86400
#define FISCALD_MAX_NAME          44     /* port name: "/dev/" + name must fit 50 bytes */
#define FISCALD_RECEIVE_MAX       500    /* one receive, one command */
#define FISCALD_REPLY_MAX         500    /* one reply, in one send */

/* Error reasons, the second field of "ERR<FS>reason". */
#define REPLY_NO_ANSWER      "SIN RESPUESTA"      /* controller silent, or not found */
#define REPLY_LINE_DOWN      "LINEA CAIDA"        /* device gone and not back yet */
#define REPLY_BAD_COMMAND    "COMANDO INVALIDO"   /* empty, NUL bytes, over 400 bytes */
#define REPLY_TRANSMISSION   "ERROR DE TRANSMISION" /* NAK or damaged answer on every try */
#define REPLY_BUSY           "CONTROLADOR OCUPADO"  /* busy past the packet layer's limit */

/* --- controller line --- */
/* baud: 0 keeps start_comm's 9600; search non-zero: SearchPrn instead.
 * -1 when the device cannot be opened (message printed); a failed search
 * is not fatal (returns 0, later commands search again). */
int LineOpen(const char *name, long baud, int search);
/* Writes the final reply (never holding "DC2"/"DC4") into reply, at most
 * FISCALD_REPLY_MAX bytes plus terminator. Returns its length. */
int LineExchange(const char *command, size_t length, char *reply, size_t size);
void LineCheck(void);
void LineClose(void);

/* --- client side --- */
/* Prints nothing; on -1 the reason is in *reason (static text) and errno. */
int ServerListen(const char *address, int port, int *bound_port, const char **reason);
void ServerSetInterim(int milliseconds);
/* 1 a client was taken, 0 none waiting within wait_ms, -1 error. */
int ServerAccept(int wait_ms);
int ClientConnected(void);   /* 1 while a client is being served */
/* Bytes of one command (1..FISCALD_RECEIVE_MAX), 0 none within wait_ms,
 * -1 the client left (its socket is closed). */
int ClientReceive(char *buffer, int wait_ms);
void ClientCommandBegin(void);
/* Sends the final reply, after any interim has left; a failed send closes
 * the client quietly. */
void ClientCommandEnd(const char *reply, int length);
void ClientDrop(void);
void ServerClose(void);
void ClientWaitHook(int port, int kind);

/* --- reply text --- */
int ReplyAnswer(char *out, size_t size, unsigned short status1, unsigned short status2,
                const char *fields);
int ReplyError(char *out, size_t size, const char *reason);
/* "DC2" for the controller working, "DC4" for it waiting for paper. */
const char *ReplyInterim(int kind);
/* Printable copy for the trace: FS as '|', other control bytes as '.'. */
void ReplyPrintable(const char *bytes, size_t length, char *out, size_t size);

#ifdef __cplusplus
}
#endif

#endif
