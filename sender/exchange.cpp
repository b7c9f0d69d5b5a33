// ruvado's command line and its exchange with the command server: one line of
// the command file out, one reply in, every exchange shown on the console.
#include "exchange.h"
#include "clientprotocol.h"
#include "optscan.h"
#include "sockapi.h"
#include "tcp.h"
#include "textmode.h"

#include <errno.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

void Usage(void)
{
    printf("Uso: ruvado [-p tcpport] -t host archivo \n");
    exit(1);
}

void ShowTrace(const char *format, ...)
{
    // Room for the longest exchange shown: "Respuesta : [" and a 500-byte
    // reply and "]\n\n" (516 characters), or "Envio     : [" and a
    // 499-character line and "]\n"; anything else is cut, never overrun.
    static char display[1024];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(display, sizeof display, format, arguments);
    va_end(arguments);
    // Written in runs between FS bytes: the same bytes as one putchar each,
    // without taking the stream's lock for every character.
    const char separator[] = {CLIENT_FS, '\0'};
    const char *run = display;
    for (;;) {
        size_t length = strcspn(run, separator);
        fwrite(run, 1, length, stdout);
        if (run[length] == '\0') {
            break;
        }
        putchar('|');
        run += length + 1;
    }
}

// Interim replies say the command is still being worked on.
int IsInterimReply(const char *reply)
{
    return strstr(reply, CLIENT_INTERIM_WORKING) != nullptr ||
           strstr(reply, CLIENT_INTERIM_PAPER) != nullptr;
}

int ReadCommand(FILE *commands, char *line, int size)
{
    // fgets gives no length, and a NUL byte read from the file would make
    // the line look shorter than it is: the rest of the command would be
    // dropped unseen. Every byte fgets leaves alone keeps this non-zero
    // filler, so its terminator is the last NUL in the buffer.
    memset(line, '\n', (size_t)size);
    // A read error ends the loop like the end of the file.
    if (fgets(line, size, commands) == nullptr) {
        return -1;
    }
    int length = size - 1;
    while (length > 0 && line[length] != '\0') {
        length--;
    }
    const char *end = (const char *)memchr(line, '\n', (size_t)length);
    if (end != nullptr) {
        length = (int)(end - line);
    }
    end = (const char *)memchr(line, '\r', (size_t)length);
    if (end != nullptr) {
        length = (int)(end - line);
    }
    line[length] = '\0';
    return length;
}

int ExchangeCommands(FILE *commands, int sock)
{
    char line[RUVADO_LINE_SIZE];
    char reply[CLIENT_REPLY_MAX + 1];
    int length;
    while ((length = ReadCommand(commands, line, sizeof line)) >= 0) {
        // A blank line, a line that starts with CR, or the line feed that a
        // line of 499 characters leaves for the next read: zero bytes that
        // nothing answers, whose wait would end the run as a network failure.
        if (length == 0) {
            continue;
        }
        // Shown up to a NUL byte, like a reply; sent whole. A partial send
        // counts as sent.
        ShowTrace("Envio     : [%s]\n", line);
        if (TcpSend(sock, line, length, RUVADO_WAIT_MS) < 0) {
            printf("Error enviando el comando\n");
            return -1;
        }

        // A receive that carries an interim reply is thrown away whole, even
        // when the final answer came with it.
        for (;;) {
            int received = TcpReceive(sock, reply, CLIENT_REPLY_MAX, RUVADO_WAIT_MS);
            if (received < 0) {
                printf("Error esperando la respuesta (Rc = %d), errno %d\n", received, errno);
                return -1;
            }
            reply[received] = '\0';
            if (!IsInterimReply(reply)) {
                break;
            }
        }
        ShowTrace("Respuesta : [%s]\n\n", reply);
    }
    return 0;
}

int SendFile(const char *path, const char *host, unsigned short port)
{
    const unsigned short any_local_port = 0;
    int sock = TcpOpen(any_local_port);
    if (sock < 0) {
        printf("Error abriendo el port %d en TCP\n", any_local_port);
        return -1;
    }

    struct hostent *server = gethostbyname(host);
    if (server == nullptr || server->h_addr_list[0] == nullptr) {
        printf("No se encontro el Host %s en el archivo hosts\n", host);
        return -1;
    }
    unsigned int network_address = 0;
    memcpy(&network_address, server->h_addr_list[0], sizeof network_address);
    unsigned long address = ntohl(network_address);

    printf("Conectando a %s, port %d\n", TcpAddrText(address), port);
    if (TcpConnect(sock, address, port) < 0) {
        printf("Error conectando al servidor\n");
        return -1;
    }

    FILE *commands = OpenCommandFile(path);
    if (commands == nullptr) {
        printf("Error abriendo el archivo %s, errno %d\n", path, errno);
        exit(1);
    }

    int result = ExchangeCommands(commands, sock);
    if (result == 0) {
        fclose(commands);
        TcpClose(sock);
    }
    return result;
}

int RuvadoMain(int argc, char *argv[])
{
    // The handler is exit itself: output is flushed and the status is the
    // signal's number.
    signal(SIGINT, exit);
    signal(SIGTERM, exit);
    signal(SIGABRT, exit);

    int port = CLIENT_DEFAULT_PORT;
    char host[RUVADO_HOST_SIZE];
    int host_given = 0;
    int option;
    while ((option = getopt(argc, argv, "p:t:u")) != -1) {
        switch (option) {
        case 'p':
            port = atoi(optarg);
            break;
        case 't':
            // A longer name would not fit; cutting it could reach another host.
            if (strlen(optarg) >= sizeof host) {
                Usage();
            }
            snprintf(host, sizeof host, "%s", optarg);
            host_given = 1;
            break;
        default:
            Usage();
        }
    }
    argc -= optind;
    argv += optind;
    if (argc < 1 || !host_given) {
        Usage();
    }

    return SendFile(argv[0], host, (unsigned short)port);
}
