/*
 * The exchange between a till's sender (ruvado) and the command server
 * (fiscald) over TCP: one send is one command, one receive of at most
 * CLIENT_REPLY_MAX bytes is one reply. Replies whose text holds "DC2" or
 * "DC4" are interim: the command is still waiting or running. A final error
 * reply is "ERR<FS>reason<FS>outcome". Meanings: docs/server.md.
 */
#ifndef CLIENTPROTOCOL_H
#define CLIENTPROTOCOL_H

#ifdef __cplusplus
extern "C" {
#endif

#define CLIENT_DEFAULT_PORT 1600
#define CLIENT_COMMAND_MAX  500  /* bytes of one command, as one receive takes them */
#define CLIENT_REPLY_MAX    500  /* bytes of one reply, sent in one send */
#define CLIENT_FS           0x1C /* field separator, in commands and replies */
#define CLIENT_INTERIM_WORKING "DC2" /* waiting, or the controller working */
#define CLIENT_INTERIM_PAPER   "DC4" /* the controller waiting for paper */

#define CLIENT_ERROR_TAG "ERR" /* first field of an error reply */

/* Reasons of an error reply. */
#define REPLY_NO_ANSWER    "SIN RESPUESTA"        /* controller silent, or not found */
#define REPLY_LINE_DOWN    "LINEA CAIDA"          /* device gone and not back yet */
#define REPLY_BAD_COMMAND  "COMANDO INVALIDO"     /* empty, NUL bytes, over 400 bytes */
#define REPLY_TRANSMISSION "ERROR DE TRANSMISION" /* NAK or damaged answer on every try */
#define REPLY_BUSY         "CONTROLADOR OCUPADO"  /* busy past the packet layer's limit */
#define REPLY_SERVER_FULL  "SERVIDOR OCUPADO"     /* client limit reached */
#define REPLY_NOT_ALLOWED  "CLIENTE NO ADMITIDO"  /* outside the server's allowed networks */
#define REPLY_STOPPING     "SERVIDOR DETENIDO"    /* the server is ending */
#define REPLY_UNSETTLED    "NO VERIFICABLE"       /* a resend that can no longer be settled */
#define REPLY_NOT_RECORDED "ESTADO NO GUARDADO"   /* the state file could not be written */

/* Outcomes of an error reply. */
#define OUTCOME_NOT_SENT "NO ENVIADO"  /* it did not run: safe to send again */
#define OUTCOME_UNKNOWN  "DESCONOCIDO" /* it may have run: resend it to settle */

#ifdef __cplusplus
}
#endif

#endif
