// The local address from the real registry (wine's, in the build's private
// prefix). The cache lives for the process, so CTest runs each test in a
// process of its own (one --gtest_filter each), one at a time.
#include "localaddr.h"
#include "tcp.h"

#include <gtest/gtest.h>

#include <string>
#include <windows.h>

namespace {

const char NET_TRANS[] = "System\\CurrentControlSet\\Services\\Class\\NetTrans";

void RemoveNetTrans()
{
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, NET_TRANS);
}

void AddAdapter(const std::string &name, const char *address, const char *mask)
{
    HKEY key = nullptr;
    std::string path = std::string(NET_TRANS) + "\\" + name;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    if (address != nullptr) {
        RegSetValueExA(key, "IPAddress", 0, REG_SZ, reinterpret_cast<const BYTE *>(address),
                       DWORD(strlen(address) + 1));
    }
    if (mask != nullptr) {
        RegSetValueExA(key, "IPMask", 0, REG_SZ, reinterpret_cast<const BYTE *>(mask),
                       DWORD(strlen(mask) + 1));
    }
    RegCloseKey(key);
}

class Registry : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(SocketsInit(), 0);   // for inet_ntoa; the lookup itself needs none
        RemoveNetTrans();
    }
    void TearDown() override { RemoveNetTrans(); }
};

TEST_F(Registry, SkipsAnUnsetAddressAndCachesTheFirstRealOne)
{
    AddAdapter("0000", "0.0.0.0", "255.0.0.0");
    AddAdapter("0001", "192.0.2.10", "255.255.255.0");
    AddAdapter("0002", "198.51.100.1", "255.255.0.0");
    unsigned long address = 0, mask = 0;
    ASSERT_EQ(LocalAddr(&address, &mask), 0);
    EXPECT_EQ(address, 0xC000020AUL);
    EXPECT_EQ(mask, 0xFFFFFF00UL);

    // A second call answers from the cache: the registry is not read again.
    RemoveNetTrans();
    address = mask = 0;
    ASSERT_EQ(LocalAddr(&address, &mask), 0);
    EXPECT_EQ(address, 0xC000020AUL);
    EXPECT_EQ(mask, 0xFFFFFF00UL);
    EXPECT_STREQ(LocalAddrText(), "192.0.2.10");
}

TEST_F(Registry, LooksAtTheFirstTenSubkeysOnly)
{
    for (int index = 0; index < 10; index++) {
        AddAdapter("000" + std::to_string(index), index % 2 ? "0.0.0.0" : nullptr, "255.0.0.0");
    }
    AddAdapter("0010", "192.0.2.11", "255.255.255.0");
    unsigned long address = 0, mask = 0;
    EXPECT_EQ(LocalAddr(&address, &mask), -1);
    EXPECT_EQ(LocalAddrText(), nullptr);
    EXPECT_EQ(FindAdapterKey(), nullptr);
}

TEST_F(Registry, FailureIsNotCachedAndAMissingMaskGivesZero)
{
    unsigned long address = 0, mask = 0;
    EXPECT_EQ(LocalAddr(&address, &mask), -1);   // no NetTrans key at all
    EXPECT_EQ(FindAdapterKey(), nullptr);
    AddAdapter("0000", "192.0.2.12", nullptr);
    ASSERT_EQ(LocalAddr(&address, &mask), 0);
    EXPECT_EQ(address, 0xC000020CUL);
    EXPECT_EQ(mask, 0UL);
}

TEST_F(Registry, AnAddressThatIsNoAddressIsCachedAsAllOnes)
{
    AddAdapter("0000", "not an address", "255.255.255.0");
    unsigned long address = 0, mask = 0;
    ASSERT_EQ(LocalAddr(&address, &mask), 0);
    EXPECT_EQ(address, 0xFFFFFFFFUL);
    EXPECT_STREQ(LocalAddrText(), "255.255.255.255");
}

// Values hold up to 99 characters: one that long, padded with blanks after
// the address, is read whole, and its subkey is the one taken.
TEST_F(Registry, AValueOf99CharactersIsReadWhole)
{
    std::string address = "192.0.2.14" + std::string(89, ' ');
    std::string mask = "255.255.255.0" + std::string(86, ' ');
    AddAdapter("0000", address.c_str(), mask.c_str());
    AddAdapter("0001", "198.51.100.2", "255.255.0.0");
    unsigned long found_address = 0, found_mask = 0;
    ASSERT_EQ(LocalAddr(&found_address, &found_mask), 0);
    EXPECT_EQ(found_address, 0xC000020EUL);
    EXPECT_EQ(found_mask, 0xFFFFFF00UL);
}

TEST_F(Registry, FindAdapterKeyReturnsTheMatchingSubkeyStillOpen)
{
    AddAdapter("0000", "192.0.2.13", "255.255.255.0");
    HKEY key = static_cast<HKEY>(FindAdapterKey());
    ASSERT_NE(key, nullptr);
    char text[100] = {};
    DWORD length = sizeof text - 1;
    EXPECT_EQ(
        RegQueryValueExA(key, "IPMask", nullptr, nullptr, reinterpret_cast<BYTE *>(text), &length),
        ERROR_SUCCESS);
    EXPECT_STREQ(text, "255.255.255.0");
    RegCloseKey(key);
}

}   // namespace
