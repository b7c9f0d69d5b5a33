// The local address on POSIX, run inside a network namespace of its own that
// localaddr_netns.sh sets up; LOCALADDR_EXPECT says what it holds:
// "ADDRESS/MASK" or "none".
#include "localaddr.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <string>

namespace {

TEST(LocalAddrPosix, TakesTheFirstUpNonLoopbackIpv4InterfaceAndCachesIt)
{
    const char *expect = std::getenv("LOCALADDR_EXPECT");
    ASSERT_NE(expect, nullptr);
    std::string expected(expect);
    unsigned long address = 0, mask = 0;
    if (expected == "none") {
        EXPECT_EQ(LocalAddr(&address, &mask), -1);
        EXPECT_EQ(LocalAddrText(), nullptr);
        return;
    }
    size_t slash = expected.find('/');
    std::string want_address = expected.substr(0, slash);
    std::string want_mask = expected.substr(slash + 1);
    ASSERT_EQ(LocalAddr(&address, &mask), 0);
    EXPECT_EQ(address, ntohl(inet_addr(want_address.c_str())));
    EXPECT_EQ(mask, ntohl(inet_addr(want_mask.c_str())));
    EXPECT_EQ(std::string(LocalAddrText()), want_address);

    // The cache holds even after the interface goes away.
    ASSERT_EQ(std::system("ip link del kitup 2>/dev/null"), 0);
    address = mask = 0;
    ASSERT_EQ(LocalAddr(&address, &mask), 0);
    EXPECT_EQ(std::string(LocalAddrText()), want_address);
}

}   // namespace
