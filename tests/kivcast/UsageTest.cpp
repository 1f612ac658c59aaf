// The usage branch of the built program. It runs inside this test's private
// network namespace (NETNS), where the test may add addresses to lo.
#include "support/Process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

const std::string usage = "kivcast <network address> [options] <message>\n"
                          "\n"
                          "    Where [options] is one or more of the following:\n"
                          "        -dynamic Use dynamic port selection, usable while TQ is running\n"
                          "\n"
                          "\n";

// "   %16s  %16s  %17s\n\n" with address, mask and hardware address.
const std::string loopback = "lo:\n"
                             "          127.0.0.1         255.0.0.0  00:00:00:00:00:00\n\n";
const std::string secondOnLoopback = "lo:\n"
                                     "           10.9.8.7     255.255.255.0  00:00:00:00:00:00\n\n";

void expectUsage(const std::string& listing)
{
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, std::vector<std::string>{"127.0.0.1"}}) {
        std::vector<std::string> argv = {kivtest::program("kivcast")};
        argv.insert(argv.end(), args.begin(), args.end());
        SCOPED_TRACE(argv.size() - 1);
        const auto result = kivtest::run(argv, std::chrono::seconds(30));
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, usage + listing);
    }
}

// A veth pair of the namespace (test interfaces are named kv...): kvu0 with
// two addresses, kvu1 with none. Removed at the end, since under wine all
// cases share one namespace.
class VethPair {
public:
    VethPair()
    {
        EXPECT_EQ(std::system("ip link add kvu0 index 50 address 00:1a:2b:3c:4d:5e type veth "
                              "peer name kvu1 index 51 address 00:1a:2b:3c:4d:5f && "
                              "ip addr add 192.168.1.20/24 dev kvu0 && ip addr add 10.0.0.7/8 dev kvu0"),
                  0);
    }
    ~VethPair() { std::system("ip link del kvu0 2>/dev/null"); }
    VethPair(const VethPair&) = delete;
    VethPair& operator=(const VethPair&) = delete;
};

const std::string vethPair = "kvu0:\n"
                             "       192.168.1.20     255.255.255.0  00:1a:2b:3c:4d:5e\n\n"
                             "kvu0:\n"
                             "           10.0.0.7         255.0.0.0  00:1a:2b:3c:4d:5e\n\n"
                             "kvu1:\n"
                             "            0.0.0.0           0.0.0.0  00:1a:2b:3c:4d:5f\n\n";

} // namespace

// Windows (and wine) lists no loopback adapter: a host with only loopback has
// no network connection, which is no error.
TEST(KivcastUsage, PrintsTheUsageAndTheAdapterListing)
{
    expectUsage(kivtest::underWine() ? "No network connections found.\n"
                                     : "Network connections available:\n" + loopback);
}

TEST(KivcastUsage, ListsEachAddressOfAnAdapter)
{
    if (kivtest::underWine())
        GTEST_SKIP() << "an address on loopback: Windows lists no loopback adapter (nor does wine)";
    ASSERT_EQ(std::system("ip addr add 10.9.8.7/24 dev lo"), 0);
    expectUsage("Network connections available:\n" + loopback + secondOnLoopback);
}

// In system order, each address of an adapter, and an adapter without one.
TEST(KivcastUsage, ListsEveryAdapter)
{
    const VethPair pair;
    expectUsage("Network connections available:\n" + (kivtest::underWine() ? "" : loopback) + vethPair);
}
