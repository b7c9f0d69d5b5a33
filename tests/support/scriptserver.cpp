#include "scriptserver.h"

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace scriptserver {

using Clock = std::chrono::steady_clock;

Server::Server(Script script) : script_(std::move(script))
{
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    if (listener_ < 0) {
        throw std::runtime_error("scriptserver: socket");
    }
    int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listener_, 1) != 0) {
        throw std::runtime_error("scriptserver: bind/listen");
    }
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
}

Server::~Server()
{
    Finish();
}

void Server::Finish()
{
    if (thread_.joinable()) {
        thread_.join();
    }
    if (connection_ >= 0) {
        close(connection_);
    }
    connection_ = -1;
    if (listener_ >= 0) {
        close(listener_);
    }
    listener_ = -1;
}

std::vector<std::string> Server::Receives()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return receives_;
}

// Returns false once the connection is closed by a step.
bool Server::RunSteps(const std::vector<Step> &steps, const std::string &received)
{
    for (const Step &step : steps) {
        if (step.delay_ms > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(step.delay_ms));
        }
        switch (step.action) {
        case Action::Reply:
            send(connection_, step.bytes.data(), step.bytes.size(), MSG_NOSIGNAL);
            break;
        case Action::Echo:
            send(connection_, received.data(), received.size(), MSG_NOSIGNAL);
            break;
        case Action::Silent:
            break;
        case Action::Reset: {
            linger abortive{1, 0};
            setsockopt(connection_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
            close(connection_);
            connection_ = -1;
            return false;
        }
        case Action::Close:
            close(connection_);
            connection_ = -1;
            return false;
        }
    }
    return true;
}

void Server::Run()
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(script_.lifetime_ms);
    auto remaining_ms = [&] {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return left > 0 ? static_cast<int>(left) : 0;
    };

    pollfd waiting{listener_, POLLIN, 0};
    if (poll(&waiting, 1, remaining_ms()) != 1) {
        return;
    }
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    connection_ = accept(listener_, reinterpret_cast<sockaddr *>(&peer), &length);
    if (connection_ < 0) {
        return;
    }
    int one = 1;
    setsockopt(connection_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    peer_port_ = ntohs(peer.sin_port);
    accepted_ = true;

    if (!RunSteps(script_.on_connect, {})) {
        return;
    }
    for (size_t index = 0;; index++) {
        pollfd readable{connection_, POLLIN, 0};
        if (poll(&readable, 1, remaining_ms()) != 1) {
            return;
        }
        char buffer[4096];
        ssize_t got = recv(connection_, buffer, sizeof buffer, 0);
        if (got <= 0) {
            return;
        }
        std::string received(buffer, static_cast<size_t>(got));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            receives_.push_back(received);
        }
        received_any_ = true;
        const auto &steps = index < script_.per_receive.size() ? script_.per_receive[index]
                                                               : script_.otherwise;
        if (!RunSteps(steps, received)) {
            return;
        }
    }
}

}   // namespace scriptserver
