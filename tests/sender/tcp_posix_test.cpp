// What only POSIX shows: descriptors past FD_SETSIZE, bind failures that
// Windows' SO_REUSEADDR would let through, and SIGPIPE.
#include "sockapi.h"
#include "tcp.h"
#include "testdir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>

namespace {

unsigned short LocalPort(int sock)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(sock, reinterpret_cast<sockaddr *>(&address), &length);
    return ntohs(address.sin_port);
}

class TcpPosix : public InTempDir {};

TEST_F(TcpPosix, WaitsOnADescriptorPastFdSetsize)
{
    const int high = FD_SETSIZE + 476;   // 1500
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max <= static_cast<rlim_t>(high)) {
        GTEST_SKIP() << "hard descriptor limit " << limit.rlim_max << " is too low";
    }
    rlimit raised = limit;
    raised.rlim_cur = high + 1;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);

    int listener = TcpOpen(0);
    ASSERT_GE(listener, 0);
    ASSERT_EQ(TcpListen(listener), 0);
    int client = TcpOpen(0);
    ASSERT_EQ(TcpConnect(client, 0x7F000001, LocalPort(listener)), 0);
    ASSERT_EQ(dup2(client, high), high);
    close(client);

    EXPECT_EQ(TcpWait(high, 100, WAIT_READ), TCP_ERR_TIMEOUT);
    EXPECT_EQ(TcpWait(high, 100, WAIT_WRITE), 0);
    EXPECT_EQ(TcpSend(high, "far", 3, 1000), 3);
    unsigned long address = 0;
    unsigned short port = 0;
    int accepted = TcpAccept(listener, &address, &port, 1000);
    ASSERT_GE(accepted, 0);
    EXPECT_EQ(TcpSend(accepted, "back", 4, 1000), 4);
    char buffer[8] = {};
    EXPECT_EQ(TcpReceive(high, buffer, sizeof buffer, 1000), 4);
    EXPECT_STREQ(buffer, "back");

    TcpClose(high);
    TcpClose(accepted);
    TcpClose(listener);
    setrlimit(RLIMIT_NOFILE, &limit);
}

TEST_F(TcpPosix, BindFailurePrintsItsErrorAndReturnsMinus1)
{
    int holder = TcpOpen(0);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(TcpListen(holder), 0);
    testing::internal::CaptureStdout();
    int second = TcpOpen(LocalPort(holder));
    std::string shown = testing::internal::GetCapturedStdout();
    EXPECT_EQ(second, -1);
    EXPECT_EQ(shown, "bind error = -1, errno 98\n");
    TcpClose(holder);
}

TEST_F(TcpPosix, SendOnAResetConnectionFailsInsteadOfRaisingSigpipe)
{
    int listener = TcpOpen(0);
    ASSERT_EQ(TcpListen(listener), 0);
    int client = TcpOpen(0);
    ASSERT_EQ(TcpConnect(client, 0x7F000001, LocalPort(listener)), 0);
    unsigned long address = 0;
    unsigned short port = 0;
    int accepted = TcpAccept(listener, &address, &port, 1000);
    ASSERT_GE(accepted, 0);
    TcpClose(accepted);   // abortive close: the client gets a reset
    usleep(100 * 1000);
    int result = 0;
    for (int tries = 0; tries < 3 && result >= 0; tries++) {
        result = TcpSend(client, "x", 1, 1000);
    }
    EXPECT_EQ(result, -1);
    TcpClose(client);
    TcpClose(listener);
}

}   // namespace
