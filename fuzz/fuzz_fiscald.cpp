// fiscald's handling of random client bytes: the server's own client and
// line code (no main) serves a real loopback client, and its controller is
// the simulator on a pty, on a thread of this process. The input is the
// client's bytes, cut into commands at each line feed; each command is sent,
// received by the server, exchanged with the controller and answered before
// the next goes.
#include "fiscald.h"
#include "fiscalpacket.h"
#include "fiscalsim.h"

#include <arpa/inet.h>
#include <netinet/in.h>
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
static char Received[FISCALD_RECEIVE_MAX];
static char Reply[FISCALD_REPLY_MAX + 1];

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    signal(SIGPIPE, SIG_IGN);
    // Slow commands work 1 ms unless told otherwise (see below).
    if (fiscalsim_open(9600, 1, nullptr) != 0)
        abort();
    static std::thread simulator([] { fiscalsim_run(); });
    simulator.detach();
    SetPacketWaitHook(ClientWaitHook);
    ServerSetInterim(FISCALD_INTERIM_MIN_MS);
    const char *reason = "";
    if (LineOpen(fiscalsim_port_name(), 0, 0) != 0 ||
        ServerListen("127.0.0.1", 0, &ServerPort, &reason) != 0)
        abort();
    return 0;
}

static int Connect(void)
{
    int client = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in server;
    memset(&server, 0, sizeof server);
    server.sin_family = AF_INET;
    server.sin_port = htons((unsigned short)ServerPort);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (client < 0 || connect(client, (struct sockaddr *)&server, sizeof server) != 0)
        abort();
    return client;
}

// One command through the server; 0 when the client was dropped.
static int Serve(int client, const uint8_t *bytes, size_t length)
{
    if (length > 0 && send(client, bytes, length, MSG_NOSIGNAL) != (ssize_t)length)
        abort();
    int got = ClientReceive(Received, length > 0 ? 2000 : 0);
    if (got < 0)
        return 0;
    if (got == 0) {
        if (length > 0)
            abort();   // sent bytes must arrive
        return 1;
    }
    ClientCommandBegin();
    int written = LineExchange(Received, (size_t)got, Reply, sizeof Reply);
    if (written <= 0 || written > FISCALD_REPLY_MAX || strstr(Reply, "DC2") != nullptr ||
        strstr(Reply, "DC4") != nullptr)
        abort();
    ClientCommandEnd(Reply, written);
    // The client takes the final reply; what arrives is the server's business
    // to have got right (the tests check the texts), here only that it comes.
    char taken[FISCALD_REPLY_MAX * 4];
    struct pollfd wanted = {client, POLLIN, 0};
    if (poll(&wanted, 1, 5000) != 1 || recv(client, taken, sizeof taken, 0) <= 0)
        abort();
    return 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int client = Connect();
    if (ServerAccept(2000) != 1)
        abort();
    size_t start = 0;
    int connected = 1;
    while (connected && start < size) {
        const uint8_t *end = (const uint8_t *)memchr(data + start, '\n', size - start);
        size_t length = end != nullptr ? (size_t)(end - (data + start)) + 1 : size - start;
        if (length > FISCALD_RECEIVE_MAX)
            length = FISCALD_RECEIVE_MAX;   // one receive, one command
        uint8_t command[FISCALD_RECEIVE_MAX];
        memcpy(command, data + start, length);
        // A slow command given its own work time ("S<FS>60000") would hold
        // the run for a minute; the interims it draws are tested elsewhere.
        if (command[0] == 'S' || command[0] == 'P')
            command[0] = 's';
        connected = Serve(client, command, length);
        start += length;
    }
    close(client);
    // The server sees the client leave at its next receive.
    if (connected && ClientReceive(Received, 2000) != -1)
        abort();
    ClientDrop();
    return 0;
}
