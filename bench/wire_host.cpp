// The least any host can do on a paced line: the packet layer alone, on the
// simulator's pty, runs each line of a command file through
// MandaPaqueteFiscal, with no server and no client in between. It also
// counts what crossed the line, by the framing's own encoder, for the wire
// limit: every command frame and every answer frame, as sent (the sequence
// byte never changes a frame's length).
//   bench_wire_host PORT RATE FILE ROUNDS
// PORT is the simulator's port name ("pts/4"). Prints one JSON line:
//   {"seconds": [...], "frame_bytes": B, "keepalives": K, "commands": N}
#include "fiscalframe.h"
#include "fiscalpacket.h"
#include "ttywire.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

static int KeepAlives;

static void CountKeepAlive(int, int)
{
    KeepAlives++;
}

int main(int argc, char **argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: bench_wire_host PORT RATE FILE ROUNDS\n");
        return 2;
    }
    std::vector<std::string> commands;
    std::ifstream file(argv[3], std::ios::binary);
    for (std::string line; std::getline(file, line);) {
        if (!line.empty()) {
            commands.push_back(line);
        }
    }
    int rounds = atoi(argv[4]);
    int slot = start_comm(argv[1]);
    if (slot < 0 || SetBaudRate(slot, atol(argv[2])) != 0) {
        fprintf(stderr, "bench_wire_host: cannot open %s at %s\n", argv[1], argv[2]);
        return 1;
    }
    SetPacketWaitHook(CountKeepAlive);
    std::vector<double> seconds;
    long frame_bytes = 0;
    for (int round = 0; round < rounds; round++) {
        KeepAlives = 0;
        frame_bytes = 0;
        auto start = std::chrono::steady_clock::now();
        for (const std::string &command : commands) {
            unsigned short status1 = 0;
            unsigned short status2 = 0;
            char answer[PACKET_ANSWER_SIZE];
            if (MandaPaqueteFiscal(slot, command.c_str(), &status1, &status2, answer) != 0) {
                fprintf(stderr, "bench_wire_host: %s got no answer (error %d)\n", command.c_str(),
                        PacketLastError());
                return 1;
            }
            char frame[FRAME_MAX_WIRE];
            frame_bytes += FrameEncode(FRAME_SEQ_FIRST, command.data(), (int)command.size(), frame,
                                       (int)sizeof frame);
            frame_bytes += FrameEncodeAnswer(FRAME_SEQ_FIRST, status1, status2, answer, frame,
                                             (int)sizeof frame);
        }
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        seconds.push_back(took.count());
    }
    end_comm(&PortControl[slot]);
    printf("{\"seconds\": [");
    for (size_t i = 0; i < seconds.size(); i++) {
        printf("%s%.6f", i > 0 ? ", " : "", seconds[i]);
    }
    printf("], \"frame_bytes\": %ld, \"keepalives\": %d, \"commands\": %zu}\n", frame_bytes,
           KeepAlives, commands.size());
    return 0;
}
