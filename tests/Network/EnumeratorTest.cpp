// Runs in a private network namespace of its own (NETNS), so the test may add
// interfaces and addresses.
#include "Network/Enumerator.h"
#include "common/Broadcasts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <net/if.h>
#include <string>
#include <vector>

using Network::Enumerator;
using Network::NetworkAdapter;

namespace {

std::vector<NetworkAdapter> listOf(const Enumerator& enumerator)
{
    std::vector<NetworkAdapter> list;
    for (int i = 0; i < enumerator.count(); ++i)
        list.push_back(enumerator.adapter(i));
    return list;
}

} // namespace

namespace Network {
// Readable failure messages.
void PrintTo(const NetworkAdapter& a, std::ostream* os)
{
    *os << a.description << " " << a.ipAddress << "/" << a.subnetMask << " " << a.macAddress;
}
} // namespace Network

TEST(Enumerator, FormatsTheFirstSixBytesOfAHardwareAddress)
{
    struct Case {
        std::vector<std::uint8_t> bytes;
        const char* text;
    };
    const Case cases[] = {
        {{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}, "00:1a:2b:3c:4d:5e"},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "ff:ff:ff:ff:ff:ff"},
        {{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}, "01:02:03:04:05:06"}, // longer: first six
        {{0xAB, 0xCD, 0xEF}, "ab:cd:ef:00:00:00"},                           // shorter: zeros
        {{}, "00:00:00:00:00:00"},                                           // none
    };
    for (const Case& c : cases)
        EXPECT_EQ(Network::formatMacAddress(c.bytes.data(), c.bytes.size()), c.text) << c.text;
}

// Interfaces in index order, addresses in the order they were added, an
// alias label under its interface, an interface without address once.
class EnumeratorOnInterfaces : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(std::system("ip link add kv0 type veth peer name kv1"
                              " && ip link set kv0 address 02:1a:2b:3c:4d:5e"
                              " && ip link set kv1 address 02:00:00:00:00:01"
                              " && ip addr add 192.168.1.20/24 dev kv0"
                              " && ip addr add 10.0.0.7/8 dev kv0"
                              " && ip addr add 172.16.0.1/16 dev kv0 label kv0:1"),
                  0);
    }

    std::vector<NetworkAdapter> expected() const
    {
        const std::vector<NetworkAdapter> kv0 = {
            {"192.168.1.20", "02:1a:2b:3c:4d:5e", "255.255.255.0", "kv0"},
            {"10.0.0.7", "02:1a:2b:3c:4d:5e", "255.0.0.0", "kv0"},
            {"172.16.0.1", "02:1a:2b:3c:4d:5e", "255.255.0.0", "kv0"},
        };
        const std::vector<NetworkAdapter> kv1 = {{"0.0.0.0", "02:00:00:00:00:01", "0.0.0.0", "kv1"}};
        std::vector<NetworkAdapter> list = {{"127.0.0.1", "00:00:00:00:00:00", "255.0.0.0", "lo"}};
        const bool kv0First = if_nametoindex("kv0") < if_nametoindex("kv1");
        for (const auto* part : kv0First ? std::vector{&kv0, &kv1} : std::vector{&kv1, &kv0})
            list.insert(list.end(), part->begin(), part->end());
        return list;
    }
};

TEST_F(EnumeratorOnInterfaces, ListsEveryAddressOfEveryInterfaceInSystemOrder)
{
    Enumerator enumerator;
    EXPECT_EQ(enumerator.count(), 0);
    enumerator.load();
    EXPECT_EQ(listOf(enumerator), expected());
}

TEST_F(EnumeratorOnInterfaces, LoadingAgainReplacesTheList)
{
    Enumerator enumerator;
    enumerator.load();
    enumerator.load();
    EXPECT_EQ(listOf(enumerator), expected());

    ASSERT_EQ(std::system("ip addr del 10.0.0.7/8 dev kv0"), 0);
    enumerator.load();
    auto list = expected();
    list.erase(std::find_if(list.begin(), list.end(), [](const NetworkAdapter& a) { return a.ipAddress == "10.0.0.7"; }));
    EXPECT_EQ(listOf(enumerator), list);
}

TEST_F(EnumeratorOnInterfaces, FindsTheInterfaceAndBroadcastsOfAnAddress)
{
    struct Case {
        std::uint32_t address;
        const char* interface; // null: none holds it
        std::vector<std::uint32_t> broadcasts;
    };
    const Case cases[] = {
        {0x7F000001, "lo", {0xFFFFFFFF}},                   // loopback has no subnet broadcast
        {0xC0A80114, "kv0", {0xFFFFFFFF, 0xC0A801FF}},      // 192.168.1.20/24
        {0x0A000007, "kv0", {0xFFFFFFFF, 0x0AFFFFFF}},      // 10.0.0.7/8
        {0xAC100001, "kv0", {0xFFFFFFFF, 0xAC10FFFF}},      // the alias 172.16.0.1/16
        {0x0A000008, nullptr, {}},
        {0, nullptr, {}},
    };
    for (const Case& c : cases) {
        const auto found = Platform::broadcastInterfaceOf(c.address);
        ASSERT_EQ(found.has_value(), c.interface != nullptr) << std::hex << c.address;
        if (found) {
            EXPECT_EQ(found->index, if_nametoindex(c.interface)) << std::hex << c.address;
            EXPECT_EQ(found->broadcastAddresses, c.broadcasts) << std::hex << c.address;
        }
    }
}
