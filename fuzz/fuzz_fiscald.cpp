// fiscald's handling of random client bytes: the server's own code (no main)
// serves a real loopback client through its serving loop, and its line
// worker talks to the simulator on a pty, on a thread of this process. The
// input is the client's bytes, cut into commands at each line feed; each
// command is sent and answered before the next goes.
#include "descriptors.h"
#include "fiscald_clients.h"
#include "fiscald_line.h"
#include "fiscald_options.h"
#include "fiscald_serve.h"
#include "fiscalsim.h"

#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

static int ServerPort;
static int Signals;
static ServerOptions Options;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Slow commands work 1 ms unless told otherwise (see below).
    if (fiscalsim_open(9600, 1, nullptr) != 0) {
        abort();
    }
    static std::thread simulator([] { fiscalsim_run(); });
    simulator.detach();
    char program[] = "fiscald";
    char interim[] = "-i100";
    char port_name[64];
    strncpy(port_name, fiscalsim_port_name(), sizeof port_name - 1);
    char *argv[] = {program, interim, port_name, nullptr};
    const char *reason = "";
    Signals = ServeCatchSignals();
    if (ParseServerOptions(3, argv, &Options) != -1 || Signals < 0) {
        abort();
    }
    ClientsConfigure(&Options);
    LineConfigure(&Options, 0, 0);
    if (LineStartUp() != 0 || ServeWaitForLine(Signals) != 0 ||
        ClientsListen("127.0.0.1", 0, &ServerPort, &reason) != 0) {
        abort();
    }
    return 0;
}

// Serves until the client has a final reply: 1 with it, 0 when the server
// closed the connection.
static int AwaitReply(int client)
{
    char taken[CLIENT_REPLY_MAX * 4];
    for (int round = 0; round < 1000; round++) {
        ServeRound(Signals, 10);
        struct pollfd wanted = {client, POLLIN, 0};
        if (poll(&wanted, 1, 0) != 1) {
            continue;
        }
        ssize_t got = recv(client, taken, sizeof taken - 1, 0);
        if (got <= 0) {
            return 0;
        }
        taken[got] = '\0';
        if (strstr(taken, "DC2") != nullptr || strstr(taken, "DC4") != nullptr) {
            // An interim reply always comes alone, never with the final one.
            if (got % 3 != 0) {
                abort();
            }
            continue;
        }
        // A final reply: one receive, at most 500 bytes.
        if (got > CLIENT_REPLY_MAX) {
            abort();
        }
        return 1;
    }
    abort();   // no reply within ten seconds
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int client = descriptors::ConnectLoopback(ServerPort);
    if (client < 0) {
        abort();
    }
    size_t start = 0;
    int connected = 1;
    while (connected && start < size) {
        const uint8_t *end = (const uint8_t *)memchr(data + start, '\n', size - start);
        size_t length = end != nullptr ? (size_t)(end - (data + start)) + 1 : size - start;
        if (length > CLIENT_COMMAND_MAX) {
            length = CLIENT_COMMAND_MAX;   // one receive, one command
        }
        uint8_t command[CLIENT_COMMAND_MAX];
        memcpy(command, data + start, length);
        // A slow command given its own work time ("S<FS>60000") would hold
        // the run for a minute; the interims it draws are tested elsewhere.
        if (command[0] == 'S' || command[0] == 'P') {
            command[0] = 's';
        }
        if (send(client, command, length, MSG_NOSIGNAL) != (ssize_t)length) {
            abort();
        }
        connected = AwaitReply(client);
        start += length;
    }
    close(client);
    ServeRound(Signals, 10);
    return 0;
}
