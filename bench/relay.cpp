// The floor of the kit's path: the same processes and hand-overs as fiscald
// with none of its work. A TCP server process takes one client at a time
// and passes each receive over a SOCK_SEQPACKET pair to a line process,
// which writes it as a frame on the controller's pty, reads the answer frame
// and passes its body back; the server sends it to the client. Blocking
// calls throughout, no queue, no timers, no checks: the least two processes
// can do per command on this path.
//   bench_relay PORT RATE     prints the bound TCP port, serves until killed
// PORT is the simulator's port name ("pts/4").
#include "fiscalframe.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

static speed_t SpeedCode(long rate)
{
    switch (rate) {
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    default:
        return B38400;
    }
}

[[noreturn]] static void LineProcess(int sock, const char *port, long rate)
{
    std::string path = std::string("/dev/") + port;
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    struct termios line;
    if (fd < 0 || tcgetattr(fd, &line) != 0) {
        perror("bench_relay: line");
        _exit(1);
    }
    cfmakeraw(&line);
    cfsetospeed(&line, SpeedCode(rate));
    cfsetispeed(&line, SpeedCode(rate));
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &line);
    unsigned char seq = FRAME_SEQ_FIRST;
    char command[512];
    ssize_t got;
    while ((got = recv(sock, command, sizeof command, 0)) > 0) {
        char frame[FRAME_MAX_WIRE];
        int length = FrameEncode(seq, command, (int)got, frame, (int)sizeof frame);
        seq = seq == FRAME_SEQ_LAST ? FRAME_SEQ_FIRST : (unsigned char)(seq + 1);
        if (length < 0 || write(fd, frame, (size_t)length) != length) {
            _exit(1);
        }
        FrameReader reader;
        FrameReaderReset(&reader);
        int done = 0;
        while (!done) {
            unsigned char block[512];
            ssize_t n = read(fd, block, sizeof block);
            if (n <= 0) {
                _exit(1);
            }
            for (ssize_t i = 0; i < n && !done; i++) {
                done = FrameReaderPush(&reader, block[i]) == FRAME_DONE;
            }
        }
        send(sock, reader.body, (size_t)reader.body_len, 0);
    }
    _exit(0);
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: bench_relay PORT RATE\n");
        return 2;
    }
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0) {
        perror("bench_relay: socketpair");
        return 1;
    }
    if (fork() == 0) {
        close(pair[0]);
        LineProcess(pair[1], argv[1], atol(argv[2]));
    }
    close(pair[1]);
    signal(SIGPIPE, SIG_IGN);
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, (struct sockaddr *)&local, sizeof local) != 0 || listen(listener, 16) != 0) {
        perror("bench_relay: listen");
        return 1;
    }
    socklen_t length = sizeof local;
    getsockname(listener, (struct sockaddr *)&local, &length);
    printf("%u\n", (unsigned)ntohs(local.sin_port));
    fflush(stdout);
    for (;;) {
        int client = accept(listener, nullptr, nullptr);
        if (client < 0) {
            continue;
        }
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        char buffer[512];
        ssize_t got;
        while ((got = recv(client, buffer, sizeof buffer, 0)) > 0) {
            if (send(pair[0], buffer, (size_t)got, 0) != got) {
                return 1;
            }
            got = recv(pair[0], buffer, sizeof buffer, 0);
            if (got <= 0 || send(client, buffer, (size_t)got, 0) != got) {
                break;
            }
        }
        close(client);
    }
}
