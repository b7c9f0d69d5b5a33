// ruvado's command-file reading and display over random bytes: the input is
// a command file and the server's replies, and the whole exchange loop runs
// over a socket pair instead of a connection, so every line read, every send
// and every reply shown goes through the program's own code.
//
// Input: two bytes giving the length of the file part (little end first),
// the file, then the reply bytes the "server" has sent before it closes.
#include "exchange.h"
#include "tcp.h"

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The display is the program's console; here it goes nowhere.
    if (freopen("/dev/null", "w", stdout) == nullptr) {
        abort();
    }
    SocketsInit();
    return 0;
}

static void WriteAll(int fd, const uint8_t *bytes, size_t size)
{
    while (size > 0) {
        ssize_t written = write(fd, bytes, size);
        if (written <= 0) {
            abort();
        }
        bytes += written;
        size -= (size_t)written;
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2) {
        return 0;
    }
    size_t file_size = ((size_t)data[0] | ((size_t)data[1] << 8)) % (size - 1);
    const uint8_t *file_bytes = data + 2;
    const uint8_t *reply_bytes = file_bytes + file_size;
    size_t reply_size = size - 2 - file_size;

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) {
        abort();
    }
    // Room for every command sent: the "server" reads none of them.
    int room = 4 * 1024 * 1024;
    setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    setsockopt(pair[1], SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    WriteAll(pair[1], reply_bytes, reply_size);
    shutdown(pair[1], SHUT_WR);

    FILE *commands = tmpfile();
    if (commands == nullptr) {
        abort();
    }
    if (file_size > 0 && fwrite(file_bytes, 1, file_size, commands) != file_size) {
        abort();
    }
    rewind(commands);

    int result = ExchangeCommands(commands, pair[0]);
    if (result != 0 && result != -1) {
        abort();
    }
    fclose(commands);
    close(pair[0]);
    close(pair[1]);

    // The display on its own, over the raw bytes: FS shown as '|', cut at
    // the first NUL, long texts cut at the buffer, never overrun.
    char text[4096];
    size_t shown = size < sizeof text - 1 ? size : sizeof text - 1;
    for (size_t i = 0; i < shown; i++) {
        text[i] = (char)data[i];
    }
    text[shown] = '\0';
    ShowTrace("Respuesta : [%s]\n\n", text);
    (void)IsInterimReply(text);
    return 0;
}
