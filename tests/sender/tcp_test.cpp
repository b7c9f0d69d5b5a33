// The socket layer on real loopback sockets, with short limits.
#include "log.h"
#include "sockapi.h"
#include "tcp.h"
#include "testdir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

namespace {

const unsigned long LOOPBACK = 0x7F000001;

unsigned short LocalPort(int sock)
{
    struct sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    SockLength length = sizeof address;
    getsockname(sock, reinterpret_cast<struct sockaddr *>(&address), &length);
    return ntohs(address.sin_port);
}

long ElapsedMs(std::chrono::steady_clock::time_point since)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - since)
                                 .count());
}

// A connected pair on loopback: client (from TcpOpen/TcpConnect) and the
// server side's accepted socket.
class Tcp : public InTempDir {
protected:
    void SetUp() override
    {
        InTempDir::SetUp();
        listener_ = TcpOpen(0);
        ASSERT_GE(listener_, 0);
        ASSERT_EQ(TcpListen(listener_), 0);
        client_ = TcpOpen(0);
        ASSERT_GE(client_, 0);
        ASSERT_EQ(TcpConnect(client_, LOOPBACK, LocalPort(listener_)), 0);
        unsigned long peer_address = 0;
        unsigned short peer_port = 0;
        accepted_ = TcpAccept(listener_, &peer_address, &peer_port, 2000);
        ASSERT_GE(accepted_, 0);
        EXPECT_EQ(peer_address, LOOPBACK);
        EXPECT_EQ(peer_port, LocalPort(client_));
    }
    void TearDown() override
    {
        for (int sock : {accepted_, client_, listener_}) {
            if (sock >= 0) {
                TcpClose(sock);
            }
        }
        InTempDir::TearDown();
    }
    int listener_ = -1;
    int client_ = -1;
    int accepted_ = -1;
};

TEST_F(Tcp, OpenLogsEachBoundPortAndDataCrossesTheConnection)
{
    std::string log = Read("spooler.log");
    EXPECT_NE(log.find("Port local = " + std::to_string(LocalPort(listener_)) + Newline()),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Port local = " + std::to_string(LocalPort(client_)) + Newline()),
              std::string::npos)
        << log;

    EXPECT_EQ(TcpSend(client_, "hello", 5, 1000), 5);
    char buffer[16] = {};
    EXPECT_EQ(TcpReceive(accepted_, buffer, sizeof buffer, 1000), 5);
    EXPECT_STREQ(buffer, "hello");
    // A zero-length send is a send like any other.
    EXPECT_EQ(TcpSend(client_, "", 0, 1000), 0);
}

TEST_F(Tcp, ReceiveTakesAtMostTheSizeAskedAndAddsNoTerminator)
{
    ASSERT_EQ(TcpSend(accepted_, "0123456789", 10, 1000), 10);
    char buffer[8];
    std::memset(buffer, '#', sizeof buffer);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(TcpReceive(client_, buffer, 4, 1000), 4);
    EXPECT_EQ(std::string(buffer, 8), "0123####");
    EXPECT_EQ(TcpReceive(client_, buffer, 8, 1000), 6);
    EXPECT_EQ(std::string(buffer, 6), "456789");
}

TEST_F(Tcp, ReceiveAndAcceptTimeOutWithMinus101)
{
    char buffer[8];
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(TcpReceive(client_, buffer, sizeof buffer, 300), TCP_ERR_TIMEOUT);
    EXPECT_GE(ElapsedMs(started), 250);
    unsigned long address = 0;
    unsigned short port = 0;
    EXPECT_EQ(TcpAccept(listener_, &address, &port, 100), TCP_ERR_TIMEOUT);
    EXPECT_EQ(TcpWait(client_, 100, WAIT_EXCEPT), TCP_ERR_TIMEOUT);
}

// Mode 3 is select's exception set: only urgent data makes it ready, so a
// socket that is not connected (and so hung up, to poll) waits out the limit.
TEST_F(Tcp, ExceptModeOnASocketThatIsNotConnectedWaitsOutTheLimit)
{
    int unconnected = TcpOpen(0);
    ASSERT_GE(unconnected, 0);
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(TcpWait(unconnected, 300, WAIT_EXCEPT), TCP_ERR_TIMEOUT);
    EXPECT_GE(ElapsedMs(started), 250);
    TcpClose(unconnected);

    ASSERT_EQ(send(accepted_, "!", 1, MSG_OOB), 1);
    EXPECT_EQ(TcpWait(client_, 1000, WAIT_EXCEPT), 0);
}

TEST_F(Tcp, LimitMinusOneDoesNotWaitAndZeroWaitsUntilReady)
{
    EXPECT_EQ(TcpWait(client_, -1, WAIT_READ), 1);
    EXPECT_EQ(TcpWait(client_, 100, WAIT_WRITE), 0);

    std::thread late_sender([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        TcpSend(accepted_, "late", 4, -1);
    });
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(TcpWait(client_, 0, WAIT_READ), 0);
    EXPECT_GE(ElapsedMs(started), 250);
    late_sender.join();
    // With -1 the receive goes straight to the platform call.
    char buffer[8] = {};
    EXPECT_EQ(TcpReceive(client_, buffer, sizeof buffer, -1), 4);
    EXPECT_STREQ(buffer, "late");
}

TEST_F(Tcp, PeerCloseGivesMinus108)
{
    TcpSend(accepted_, "bye", 3, 1000);
    TcpClose(accepted_);   // abortive: linger is on with 0 s
    accepted_ = -1;
    char buffer[8];
    int first = TcpReceive(client_, buffer, sizeof buffer, 1000);
    // The reset may overtake the unread bytes; either way the end is -108.
    if (first > 0) {
        first = TcpReceive(client_, buffer, sizeof buffer, 1000);
    }
    EXPECT_EQ(first, TCP_ERR_CLOSED);
}

TEST_F(Tcp, BadModeOrLimitIsRefusedWithMinus102)
{
    EXPECT_EQ(TcpWait(client_, 100, 0), TCP_ERR_SELECT);
    EXPECT_EQ(TcpWait(client_, 100, 4), TCP_ERR_SELECT);
    EXPECT_EQ(TcpWait(client_, -2, WAIT_READ), TCP_ERR_SELECT);
    EXPECT_EQ(TcpWait(client_, -1, 9), 1);   // no wait asked: the mode is not looked at
}

TEST_F(Tcp, AFailedWaitIsMinus102ButSendAndReceiveReportItAsMinus101)
{
    int closed = TcpOpen(0);
    ASSERT_GE(closed, 0);
    TcpClose(closed);
    char buffer[8];
    EXPECT_EQ(TcpWait(closed, 100, WAIT_READ), TCP_ERR_SELECT);
    EXPECT_EQ(TcpReceive(closed, buffer, sizeof buffer, 100), TCP_ERR_TIMEOUT);
    EXPECT_EQ(TcpSend(closed, "x", 1, 100), TCP_ERR_TIMEOUT);
}

TEST(TcpAddr, GivesDottedTextOfAHostOrderAddress)
{
    ASSERT_EQ(SocketsInit(), 0);
    EXPECT_STREQ(TcpAddrText(LOOPBACK), "127.0.0.1");
    EXPECT_STREQ(TcpAddrText(0xC0000281UL), "192.0.2.129");
    EXPECT_EQ(SocketsInit(), 0);
}

}   // namespace
