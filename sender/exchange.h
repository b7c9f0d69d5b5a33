/* ruvado's exchange with the command server.
 *
 *   RuvadoMain(argc, argv)        the whole program: options, then SendFile;
 *                                 returns the exit status (0, or -1 for a
 *                                 network failure); usage errors and an
 *                                 unopenable command file end the process
 *                                 with status 1
 *   Usage()                       prints the usage message, exits with 1
 *   SendFile(path, host, port)    sends each line of the command file and
 *                                 shows it with its reply: 0 or -1
 *   ShowTrace(format, ...)        printf-style, to standard output, with
 *                                 every FS byte shown as '|'
 *   ExchangeCommands(commands, sock)  SendFile's loop over an open command
 *                                 file and a connected socket (empty
 *                                 commands are skipped): 0 at the end of
 *                                 the file, -1 on a network failure
 *   ReadCommand(commands, line, size) next command without its line ending,
 *                                 NUL-terminated: its length in bytes (NUL
 *                                 bytes read from the file count), or -1 at
 *                                 the end of the file (or a read error)
 *   IsInterimReply(reply)         1 when the reply holds "DC2" or "DC4"
 *
 * The default port, the reply limit, FS and the interim marks are the client
 * protocol's, from protocol/clientprotocol.h.
 */
#ifndef RUVADO_EXCHANGE_H
#define RUVADO_EXCHANGE_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#define RUVADO_WAIT_MS   15000 /* limit of every send wait and receive wait */
#define RUVADO_LINE_SIZE 500   /* a line is read with this limit: 499 characters */
#define RUVADO_HOST_SIZE 100   /* host buffer: 99 characters and the NUL */

int RuvadoMain(int argc, char *argv[]);
void Usage(void);
int SendFile(const char *path, const char *host, unsigned short port);
int ExchangeCommands(FILE *commands, int sock);
int ReadCommand(FILE *commands, char *line, int size);
int IsInterimReply(const char *reply);
void ShowTrace(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

#ifdef __cplusplus
}
#endif

#endif
