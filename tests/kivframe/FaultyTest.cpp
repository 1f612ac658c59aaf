// --faulty: the faults go to a drawn share of the --frames frames, the others
// answer cleanly, and the start-up line and the log say which are faulty.

#include "Requests.h"
#include "UdpPeer.h"

#include "support/EmulatorLog.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

using namespace kivtest;
using namespace std::chrono_literals;

namespace {

// The line that names the faulty frames, without its newline ("" when none).
std::string faultyLine(const std::string& err)
{
    for (const auto& line : lines(err))
        if (line.find(" faulty (--faulty ") != std::string::npos)
            return line;
    return "";
}

std::string startUp(const std::vector<std::string>& options)
{
    std::vector<std::string> argv{program("kivframe"), "--duration", "0.1"};
    argv.insert(argv.end(), options.begin(), options.end());
    const auto result = run(argv, 10s);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return result.err;
}

} // namespace

TEST(KivframeFaulty, OnlyTheDrawnShareHasTheFaultsAndTheLogAndStartUpNameIt)
{
    constexpr std::size_t FRAMES = 20;
    Emulator emulator({"--frames", std::to_string(FRAMES), "--faulty", "0.25", "--drop-discovery", "1", "--pace", "0",
                       "--frame", "id=00b00000:00000001,address=127.0.0.50"});
    UdpPeer peer("127.0.0.1", 6004);
    peer.send(discoveryRequest(7), "255.255.255.255", 6015);
    std::set<std::uint64_t> answered;
    for (const auto& reply : peer.receive(FRAMES - 5 + 1, 5s))
        answered.insert(headerOf(reply.bytes).sourceId);
    EXPECT_FALSE(peer.receive(200ms)) << "more answers than the clean frames";
    const auto result = emulator.stop();
    EXPECT_EQ(result.exitCode, 0);

    EXPECT_EQ(answered.size(), FRAMES - 5 + 1);
    EXPECT_EQ(answered.count(0x00B0000000000001ULL), 1U) << "a --frame frame has only the faults of its spec";

    const auto log = emulator.log();
    ASSERT_GE(log.size(), 6U);
    EXPECT_EQ(log[0].event, "start");
    std::map<std::string, std::string> faulty; // ID: address
    for (std::size_t i = 1; i <= 5; ++i) {
        ASSERT_EQ(log[i].event, "faulty") << "line " << i + 1;
        faulty[log[i].frame] = log[i].address;
    }
    EXPECT_NE(log[6].event, "faulty");
    for (std::size_t k = 0; k < FRAMES; ++k) {
        const std::string id = idText(FIRST_FRAME_ID + k);
        const bool isFaulty = faulty.count(id) == 1;
        EXPECT_NE(isFaulty, answered.count(FIRST_FRAME_ID + k) == 1) << id << ": the faulty frames are the silent ones";
        if (isFaulty) {
            EXPECT_EQ(faulty[id], "127.0.0." + std::to_string(2 + k));
        }
    }

    const std::string line = faultyLine(result.err);
    EXPECT_EQ(line.rfind("kivframe: 5 of 20 frames are faulty (--faulty 0.25): ", 0), 0U) << result.err;
    for (const auto& [id, address] : faulty)
        EXPECT_NE(line.find(id + " (" + address + ")"), std::string::npos) << id;
}

TEST(KivframeFaulty, TheDrawFollowsTheSeedAndQuietLeavesTheLineOut)
{
    const std::vector<std::string> base{"--frames", "20", "--faulty", "0.25", "--drop", "1"};
    auto withSeed = [&base](const char* seed) {
        auto options = base;
        options.insert(options.end(), {"--seed", seed});
        return faultyLine(startUp(options));
    };
    const std::string first = withSeed("1");
    ASSERT_NE(first, "");
    EXPECT_EQ(withSeed("1"), first);
    EXPECT_NE(withSeed("2"), first);

    auto quiet = base;
    quiet.push_back("--quiet");
    EXPECT_EQ(faultyLine(startUp(quiet)), "");
}
