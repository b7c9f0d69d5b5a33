// A scripted stand-in for the command server, for tests and the demo: listens
// on 127.0.0.1 at an ephemeral port, takes one connection, records the exact
// bytes of every receive and answers each as its script says.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace scriptserver {

enum class Action {
    Reply,    // send `bytes` (after `delay_ms`)
    Echo,     // send back the bytes just received
    Silent,   // do nothing
    Close,    // orderly close: the client's next receive gets end of stream
    Reset,    // abortive close (SO_LINGER 0): the client gets a reset
};

struct Step {
    Action action = Action::Silent;
    std::string bytes;
    int delay_ms = 0;
};

inline Step Reply(std::string bytes, int delay_ms = 0)
{
    return {Action::Reply, std::move(bytes), delay_ms};
}
inline Step Echo(int delay_ms = 0)
{
    return {Action::Echo, {}, delay_ms};
}
inline Step Silent()
{
    return {Action::Silent, {}, 0};
}
inline Step Close(int delay_ms = 0)
{
    return {Action::Close, {}, delay_ms};
}
inline Step Reset(int delay_ms = 0)
{
    return {Action::Reset, {}, delay_ms};
}

struct Script {
    std::vector<Step> on_connect;                 // run once the client is accepted
    std::vector<std::vector<Step>> per_receive;   // steps for receive 0, 1, ...
    std::vector<Step> otherwise;                  // for receives past the list
    int lifetime_ms = 60000;                      // gives up after this long
};

class Server {
public:
    explicit Server(Script script);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    unsigned short Port() const { return port_; }
    // Waits until the connection is over (or the lifetime ran out).
    void Finish();
    // The bytes of each receive, in order.
    std::vector<std::string> Receives();
    // The client's port as seen by the server, 0 before a connection.
    unsigned short PeerPort() const { return peer_port_; }
    bool Accepted() const { return accepted_; }
    // Set once the first receive has been recorded.
    bool Received() const { return received_any_; }

private:
    void Run();
    bool RunSteps(const std::vector<Step> &steps, const std::string &received);

    Script script_;
    int listener_ = -1;
    int connection_ = -1;
    unsigned short port_ = 0;
    std::atomic<unsigned short> peer_port_{0};
    std::atomic<bool> accepted_{false};
    std::atomic<bool> received_any_{false};
    std::mutex mutex_;
    std::vector<std::string> receives_;
    std::thread thread_;
};

}   // namespace scriptserver
