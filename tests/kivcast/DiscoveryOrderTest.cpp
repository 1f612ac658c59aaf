// The discovery phase against frames that share addresses in pairs and answer
// in a burst: the "Found" lines follow the order in which the frame list
// reported the frames, and the first frame reported at an address owns it.
// Many applications run at once, each bound to an address of its own, so one
// test run repeats the race many times.
#include "apps/kivcast/Application.h"
#include "support/EmulatorLog.h"
#include "support/Process.h"

#include <gtest/gtest.h>

#include <boost/format.hpp>

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int FRAMES = 40;       // 20 addresses, two frames each
constexpr int APPLICATIONS = 24; // runs of the discovery phase at once

// The frames as the frame list reported them, recorded by a handler that the
// application's own handler precedes in every firing.
class Reported {
public:
    void add(std::uint64_t id)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ids_.push_back(id);
    }
    std::vector<std::uint64_t> ids()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return ids_;
    }

private:
    std::mutex mutex_;
    std::vector<std::uint64_t> ids_;
};

struct DiscoveryRun {
    std::string path = kivtest::tempPath("discovery");
    std::FILE* file = std::fopen(path.c_str(), "w");
    Reported reported;
    Event<void(std::uint64_t)>::Token token;
    std::unique_ptr<Console::Writer> console = std::make_unique<Console::Writer>(file, stderr);
    std::unique_ptr<Application> application;

    ~DiscoveryRun()
    {
        application.reset();
        console.reset();
        std::fclose(file);
        std::remove(path.c_str());
    }
};

struct Found {
    int number;
    std::uint64_t id;
    std::string address;
    bool duplicate;
};

// "    %3i. Found %08x:%08x @ %s[  DUPLICATE IP FOUND!]"
std::vector<Found> foundLines(const std::string& out)
{
    std::vector<Found> found;
    for (const auto& line : kivtest::lines(out)) {
        const auto at = line.find(". Found ");
        if (at == std::string::npos)
            continue;
        const std::string id = line.substr(at + 8, 17);
        const std::uint64_t value = (std::stoull(id.substr(0, 8), nullptr, 16) << 32) | std::stoull(id.substr(9), nullptr, 16);
        const auto addressStart = at + 8 + 17 + 3;
        const auto addressEnd = line.find(' ', addressStart);
        found.push_back({std::stoi(line.substr(0, at)), value, line.substr(addressStart, addressEnd - addressStart),
                         line.find("  DUPLICATE IP FOUND!") != std::string::npos});
    }
    return found;
}

} // namespace

TEST(DiscoveryOrder, FoundLinesFollowTheFrameListAndTheFirstFrameOwnsItsAddress)
{
    Console::prepareFormatting(); // as kivcast does before its threads start
    kivtest::Emulator emulator({"--frames", std::to_string(FRAMES), "--per-address", "2"});
    std::vector<std::unique_ptr<DiscoveryRun>> runs;
    for (int i = 0; i < APPLICATIONS; ++i)
        runs.push_back(std::make_unique<DiscoveryRun>());
    std::vector<std::thread> threads;
    for (int i = 0; i < APPLICATIONS; ++i) {
        threads.emplace_back([&run = *runs[i], i] {
            const std::string address = (boost::format("127.0.1.%d") % (i + 1)).str();
            run.application = std::make_unique<Application>(
                address, false, 0, *run.console, [&run](Morv::MorvNetwork& engine) {
                    run.token = engine.onFrameFound().subscribe([&run](std::uint64_t id) { run.reported.add(id); });
                });
        });
    }
    for (std::thread& t : threads)
        t.join();

    for (int i = 0; i < APPLICATIONS; ++i) {
        SCOPED_TRACE("application " + std::to_string(i + 1));
        DiscoveryRun& run = *runs[i];
        run.console->flush();
        const auto found = foundLines(kivtest::readFile(run.path));
        const auto reported = run.reported.ids();
        ASSERT_EQ(found.size(), static_cast<std::size_t>(FRAMES));
        ASSERT_GE(reported.size(), found.size());
        std::map<std::string, std::uint64_t> owners;
        for (std::size_t k = 0; k < found.size(); ++k) {
            EXPECT_EQ(found[k].number, static_cast<int>(k + 1));
            EXPECT_EQ(found[k].id, reported[k]) << "line " << k + 1;
            const auto owner = owners.emplace(found[k].address, found[k].id);
            EXPECT_EQ(found[k].duplicate, !owner.second) << "line " << k + 1 << " at " << found[k].address;
        }
        EXPECT_EQ(owners.size(), static_cast<std::size_t>(FRAMES / 2));
    }
}
