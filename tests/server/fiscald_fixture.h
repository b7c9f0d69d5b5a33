// The command server as a program for tests: a simulated controller on a
// pty (on a thread of the test), fiscald as a child process on an ephemeral
// port, and plain TCP clients speaking to it the way ruvado does.
#pragma once

#include "childprocess.h"
#include "descriptors.h"
#include "fiscalsim.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace fiscaldtest {

const std::string FS = "\x1c";

inline bool IsInterim(const std::string &reply)
{
    return reply.find("DC2") != std::string::npos || reply.find("DC4") != std::string::npos;
}

using childprocess::Child;
using childprocess::ReadFrom;
using childprocess::Reap;
using descriptors::ConnectLoopback;
using descriptors::CountOpenDescriptors;

inline Child Spawn(std::vector<std::string> args)
{
    args.insert(args.begin(), FISCALD_PROGRAM);
    return childprocess::Start(args);
}

// One receive, as the client makes it: at most 500 bytes. "" on close or time-out.
inline std::string ReceiveOnce(int fd, int limit_ms = 15000)
{
    char buffer[500];
    pollfd wanted{fd, POLLIN, 0};
    if (poll(&wanted, 1, limit_ms) <= 0) {
        return "";
    }
    ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    return got > 0 ? std::string(buffer, (size_t)got) : "";
}

// "VmRSS" or "VmHWM" of a process, in kB.
inline long MemoryKb(pid_t pid, const std::string &field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stol(line.substr(field.size() + 1));
        }
    }
    return -1;
}

// A simulated controller on a thread, and fiscald in front of it.
class Fiscald : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (int fd : clients_) {
            close(fd);
        }
        if (server_.pid > 0) {
            kill(server_.pid, SIGKILL);
            Reap(server_);
        }
        if (sim_running_) {
            fiscalsim_stop();
            runner_.join();
            fiscalsim_close();
        }
        if (!dir_.empty()) {
            childprocess::RemoveTree(dir_);
        }
    }

    void StartSim(long baud, int busy_ms, const char *link = nullptr)
    {
        ASSERT_EQ(fiscalsim_open(baud, busy_ms, link), 0);
        runner_ = std::thread(fiscalsim_run);
        sim_running_ = true;
    }

    std::string TempDir()
    {
        dir_ = childprocess::MakeTempDir();
        return dir_;
    }

    // Starts fiscald on the simulator's port (or `port_name`) and learns its TCP port.
    // new_session: started the way a service manager starts it, with no
    // controlling terminal of its own.
    void StartServer(std::vector<std::string> args, const std::string &port_name = "",
                     bool new_session = false)
    {
        args.insert(args.begin(), {"-p", "0"});
        args.push_back(port_name.empty() ? fiscalsim_port_name() : port_name);
        if (new_session) {
            args.insert(args.begin(), {"/usr/bin/setsid", FISCALD_PROGRAM});
            server_ = childprocess::Start(args);
        } else {
            server_ = Spawn(args);
        }
        ASSERT_GT(server_.pid, 0);
        AwaitListening();
    }

    // Reads the started server's output up to "escuchando en ADDRESS:PORT"
    // and learns its TCP port.
    void AwaitListening()
    {
        startup_out_ = ReadFrom(server_.out, "escuchando en ");
        size_t at = startup_out_.find("escuchando en ");
        ASSERT_NE(at, std::string::npos) << startup_out_ << ReadFrom(server_.err, "", 200);
        size_t colon = startup_out_.find(':', at);
        ASSERT_NE(colon, std::string::npos) << startup_out_;
        tcp_port_ = std::stoi(startup_out_.substr(colon + 1));
        ASSERT_GT(tcp_port_, 0);
    }

    // StartServer for a test that holds the server's memory flat. In the
    // sanitizer build, the fake stacks that catch a use after return fill up
    // as they are used: the sanitizer's memory, not the server's. Only the
    // server started here goes without them.
    void StartServerForMemory(std::vector<std::string> args, const std::string &port_name = "")
    {
        const char *sanitizer = std::getenv("ASAN_OPTIONS");
        std::string saved = sanitizer != nullptr ? sanitizer : "";
        setenv("ASAN_OPTIONS", (saved + ":detect_stack_use_after_return=0").c_str(), 1);
        StartServer(args, port_name);
        if (sanitizer != nullptr) {
            setenv("ASAN_OPTIONS", saved.c_str(), 1);
        } else {
            unsetenv("ASAN_OPTIONS");
        }
    }

    int NewClient(const char *from = nullptr)
    {
        int fd = ConnectLoopback(tcp_port_, from);
        if (fd >= 0) {
            clients_.push_back(fd);
        }
        return fd;
    }

    // Sends one command and collects every receive up to the final reply.
    std::vector<std::string> Exchange(int fd, const std::string &command)
    {
        std::vector<std::string> receives;
        if (send(fd, command.data(), command.size(), MSG_NOSIGNAL) != (ssize_t)command.size()) {
            return receives;
        }
        for (;;) {
            std::string reply = ReceiveOnce(fd);
            receives.push_back(reply);
            if (reply.empty() || !IsInterim(reply)) {
                return receives;
            }
        }
    }

    std::string Final(int fd, const std::string &command) { return Exchange(fd, command).back(); }

    // The server's line worker, its one child process; -1 when there is none.
    pid_t WorkerPid() const
    {
        std::string path = "/proc/" + std::to_string(server_.pid) + "/task/" +
                           std::to_string(server_.pid) + "/children";
        FILE *file = fopen(path.c_str(), "r");
        long pid = -1;
        if (file != nullptr) {
            if (fscanf(file, "%ld", &pid) != 1) {
                pid = -1;
            }
            fclose(file);
        }
        return (pid_t)pid;
    }

    int StopServer(int signal_number)
    {
        kill(server_.pid, signal_number);
        return Reap(server_);
    }

    Child server_;
    std::string startup_out_;   // standard output up to "escuchando en"
    int tcp_port_ = 0;
    std::vector<int> clients_;
    std::thread runner_;
    bool sim_running_ = false;
    std::string dir_;
};

}   // namespace fiscaldtest
