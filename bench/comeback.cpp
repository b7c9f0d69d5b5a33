// How soon the first command is answered after the line comes back, and
// after the server starts again, with the simulator (in this process, on
// the wire's time) at one rate that does not change.
//   bench_comeback FISCALD RATE ROUNDS
// Every time is from the moment the line is back (fiscalsim_come_back has
// returned) or the server is started, to the final reply of a status command
// `*` sent then. Prints one JSON line:
//   {"rate": R, "steady_ms": S, "back_ms": [...], "restart_state_ms": [...],
//    "restart_fixed_ms": [...], "restart_search_ms": [...]}
// steady: the same command on a line that stayed; back: the line vanished,
// a command was told so, and the line came back; restart_state: fiscald -s
// with the state file the last run wrote; restart_fixed: fiscald -b RATE
// (no search at all); restart_search: fiscald -s with no state file.
#include "fiscalsim.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

static double NowMs()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

struct Server {
    pid_t pid = -1;
    int port = 0;
};

// Starts fiscald and waits for its "escuchando en ADDRESS:PORT" line.
static Server StartServer(const std::string &fiscald, const std::vector<std::string> &args)
{
    Server server;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        return server;
    }
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(fiscald.c_str()));
    for (const std::string &arg : args) {
        argv.push_back(const_cast<char *>(arg.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (posix_spawn(&server.pid, fiscald.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
        server.pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string line;
    char byte;
    while (server.pid > 0 && read(out[0], &byte, 1) == 1 && byte != '\n') {
        line += byte;
    }
    close(out[0]);
    size_t colon = line.rfind(':');
    if (line.rfind("escuchando en ", 0) == 0 && colon != std::string::npos) {
        server.port = atoi(line.c_str() + colon + 1);
    }
    return server;
}

static void StopServer(Server &server)
{
    if (server.pid > 0) {
        kill(server.pid, SIGTERM);
        waitpid(server.pid, nullptr, 0);
    }
    server.pid = -1;
}

static int Connect(int port)
{
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons((unsigned short)port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(sock, (struct sockaddr *)&address, sizeof address) != 0) {
        close(sock);
        return -1;
    }
    return sock;
}

// One command and its final reply ("" on a failure).
static std::string Exchange(int sock, const char *command)
{
    char reply[501];
    if (send(sock, command, strlen(command), MSG_NOSIGNAL) != (ssize_t)strlen(command)) {
        return "";
    }
    for (;;) {
        struct pollfd wanted = {sock, POLLIN, 0};
        if (poll(&wanted, 1, 15000) != 1) {
            return "";
        }
        ssize_t got = recv(sock, reply, 500, 0);
        if (got <= 0) {
            return "";
        }
        std::string text(reply, (size_t)got);
        if (text.find("DC2") == std::string::npos && text.find("DC4") == std::string::npos) {
            return text;
        }
    }
}

static bool Answered(const std::string &reply)
{
    return !reply.empty() && reply.rfind("ERR", 0) != 0;
}

// From start to the first command answered: the server's start-up included.
static double FirstAnswerMs(const std::string &fiscald, const std::vector<std::string> &args)
{
    double begin = NowMs();
    Server server = StartServer(fiscald, args);
    int sock = server.port > 0 ? Connect(server.port) : -1;
    bool answered = sock >= 0 && Answered(Exchange(sock, "*"));
    double took = NowMs() - begin;
    if (sock >= 0) {
        close(sock);
    }
    StopServer(server);
    if (!answered) {
        fprintf(stderr, "bench_comeback: no answer from fiscald %s\n", args[0].c_str());
        exit(1);
    }
    return took;
}

static void PrintList(const char *name, const std::vector<double> &values)
{
    printf(", \"%s\": [", name);
    for (size_t i = 0; i < values.size(); i++) {
        printf("%s%.2f", i > 0 ? ", " : "", values[i]);
    }
    printf("]");
}

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: bench_comeback FISCALD RATE ROUNDS\n");
        return 2;
    }
    const std::string fiscald = argv[1];
    const std::string rate = argv[2];
    const int rounds = atoi(argv[3]);
    char folder[] = "/tmp/kit-comeback-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        perror("bench_comeback: mkdtemp");
        return 1;
    }
    const std::string link = std::string(folder) + "/line";
    const std::string state = std::string(folder) + "/state";
    if (fiscalsim_open(atol(argv[2]), 1500, link.c_str()) != 0) {
        perror("bench_comeback: fiscalsim_open");
        return 1;
    }
    fiscalsim_set_wire(1);
    std::thread simulator([] { fiscalsim_run(); });

    // The first search writes the state file for the restarts after it.
    std::vector<double> search = {FirstAnswerMs(fiscald, {"-p", "0", "-s", link})};
    search.push_back(FirstAnswerMs(fiscald, {"-p", "0", "-s", "--state-file", state, link}));
    std::vector<double> with_state;
    std::vector<double> fixed;
    for (int round = 0; round < rounds; round++) {
        with_state.push_back(
            FirstAnswerMs(fiscald, {"-p", "0", "-s", "--state-file", state, link}));
        fixed.push_back(FirstAnswerMs(fiscald, {"-p", "0", "-b", rate, link}));
    }

    Server server = StartServer(fiscald, {"-p", "0", "-s", "--state-file", state, link});
    int sock = server.port > 0 ? Connect(server.port) : -1;
    std::vector<double> steady;
    std::vector<double> back;
    for (int i = 0; i < 10 && sock >= 0; i++) {
        double begin = NowMs();
        if (!Answered(Exchange(sock, "*"))) {
            break;
        }
        steady.push_back(NowMs() - begin);
    }
    for (int round = 0; round < rounds && sock >= 0; round++) {
        fiscalsim_vanish();
        if (Exchange(sock, "*").rfind("ERR", 0) != 0) {
            fprintf(stderr, "bench_comeback: the vanished line was not reported\n");
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));   // the cable is out
        fiscalsim_come_back();
        double begin = NowMs();
        if (!Answered(Exchange(sock, "*"))) {
            fprintf(stderr, "bench_comeback: no answer after the line came back\n");
            break;
        }
        back.push_back(NowMs() - begin);
    }
    if (sock >= 0) {
        close(sock);
    }
    StopServer(server);
    fiscalsim_stop();
    simulator.join();
    fiscalsim_close();
    unlink(state.c_str());
    rmdir(folder);
    if (steady.empty() || (int)back.size() != rounds) {
        return 1;
    }
    std::sort(steady.begin(), steady.end());
    printf("{\"rate\": %s, \"steady_ms\": %.2f", rate.c_str(), steady[steady.size() / 2]);
    PrintList("back_ms", back);
    PrintList("restart_state_ms", with_state);
    PrintList("restart_fixed_ms", fixed);
    PrintList("restart_search_ms", search);
    printf("}\n");
    return 0;
}
