// kivwatch end to end against emulated frames that join, fall silent, come
// back and change state: its JSON lines against the emulators' own logs, and
// its stop on Ctrl-C in the middle of a round.
#include "Morv/Wire.h"
#include "apps/kivcast/MeterData.h"
#include "apps/kivwatch/Render.h"
#include "support/EmulatorLog.h"
#include "support/Process.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <map>
#include <memory>
#include <thread>

namespace {

using Json = nlohmann::ordered_json;
using namespace std::chrono_literals;

std::vector<Json> records(const std::string& out)
{
    std::vector<Json> result;
    for (const auto& line : kivtest::lines(out)) {
        if (line.empty())
            continue;
        result.push_back(Json::parse(line)); // every line is one whole record
    }
    return result;
}

// Seconds of the day of a record's local time stamp.
double secondOfDay(const std::string& stamp)
{
    return std::stoi(stamp.substr(11, 2)) * 3600.0 + std::stoi(stamp.substr(14, 2)) * 60.0 + std::stod(stamp.substr(17, 6));
}

double now() { return secondOfDay(localTimeStamp(std::chrono::system_clock::now())); }

// The meter objects of every meter record a frame sent, as its emulator logged them.
std::vector<Json> loggedMeters(const std::vector<kivtest::LogEntry>& log)
{
    std::vector<Json> result;
    for (const auto& e : log) {
        if (e.dir != "tx" || e.cmd != Morv::CMD_KivText)
            continue;
        const auto bytes = e.bytes();
        const auto record = decodeMeterData(reinterpret_cast<const char*>(bytes.data()) + Morv::OFFSET_BODY,
                                            bytes.size() - Morv::OFFSET_BODY, 3);
        if (record)
            result.push_back(meterJson(*record));
    }
    return result;
}

// One emulator at a time plays the rig (two would share the port): frame 1,
// frame 2 unless it is `silent`, frame 3 with the status flags given.
std::unique_ptr<kivtest::Emulator> rig(bool silent, const std::string& flags3)
{
    std::vector<std::string> args{"--frames", "1", "--meter-version", "3", "--quiet"};
    if (!silent)
        args.insert(args.end(), {"--frame", "id=00a00000:00000002,address=127.0.0.3"});
    args.insert(args.end(), {"--frame", "id=00a00000:00000003,address=127.0.0.4,flags=" + flags3});
    return std::make_unique<kivtest::Emulator>(args);
}

TEST(KivwatchE2e, ReportsFramesComingGoingAndChangingOnceEachWithTheMetersTheyLogged)
{
    // Frame 1 answers throughout (but for the moment the emulator restarts);
    // frame 2 falls silent after 1 s and comes back at 13 s; frame 3 changes
    // its flags (state 0 to 2) at 1 s.
    std::vector<kivtest::LogEntry> log;
    auto keepLog = [&log](kivtest::Emulator& emulator) {
        emulator.stop();
        const auto entries = emulator.log();
        log.insert(log.end(), entries.begin(), entries.end());
    };
    auto emulator = rig(false, "0");
    kivtest::Background watch({kivtest::program("kivwatch"), "--json", "--meters", "M?3", "--every", "0.5",
                               "--duration", "16", "127.0.0.1"});
    std::this_thread::sleep_for(1s);
    keepLog(*emulator);
    emulator = rig(true, "2");
    const double silentAt = now();
    std::this_thread::sleep_for(12s);
    keepLog(*emulator);
    emulator = rig(false, "2");
    const double backAt = now();
    const kivtest::ProcessResult result = watch.wait(30s);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    keepLog(*emulator);

    std::map<std::string, std::vector<Json>> events; // found, lost, changed by frame
    std::vector<Json> meters1;
    int polls = 0;
    for (const Json& r : records(result.out)) {
        const std::string type = r["type"];
        if (type == "found" || type == "lost" || type == "changed")
            events[r["frame"]].push_back(r);
        else if (type == "meter" && r["frame"] == "00a00000:00000001")
            meters1.push_back(r["meter"]);
        else if (type == "poll")
            ++polls;
    }
    auto types = [&](const std::string& id) {
        std::vector<std::string> t;
        for (const Json& e : events[id])
            t.push_back(e["type"]);
        return t;
    };
    EXPECT_EQ(types("00a00000:00000001"), (std::vector<std::string>{"found"}));
    EXPECT_EQ(types("00a00000:00000002"), (std::vector<std::string>{"found", "lost", "found"}));
    EXPECT_EQ(types("00a00000:00000003"), (std::vector<std::string>{"found", "changed"}));
    if (types("00a00000:00000002").size() == 3) {
        const double lostAfter = secondOfDay(events["00a00000:00000002"][1]["t"]) - silentAt;
        EXPECT_GT(lostAfter, 8.5);
        EXPECT_LT(lostAfter, 13.5);
        EXPECT_LT(secondOfDay(events["00a00000:00000002"][2]["t"]) - backAt, 2.5);
    }
    if (types("00a00000:00000003").size() == 2) {
        const Json& changed = events["00a00000:00000003"][1];
        EXPECT_EQ(changed["what"], Json::array({"state"}));
        EXPECT_EQ(changed["state"], 2);
    }

    // Every meter object kivwatch printed is the decoding of a record the frame sent.
    std::vector<kivtest::LogEntry> log1;
    for (const auto& e : log)
        if (e.frame == "00a00000:00000001")
            log1.push_back(e);
    const std::vector<Json> logged = loggedMeters(log1);
    EXPECT_GE(meters1.size(), 25U);
    for (const Json& m : meters1)
        EXPECT_NE(std::find(logged.begin(), logged.end(), m), logged.end()) << m.dump();
    EXPECT_GE(polls, 25);
}

TEST(KivwatchE2e, StopsOnCtrlCWithinASecondWhilePollsAreOpen)
{
    if (kivtest::underWine())
        GTEST_SKIP() << "a signal to wine is no console Ctrl-C event";
    // Twenty frames lose a fifth of their answers; one more never answers a poll.
    kivtest::Emulator frames({"--frames", "20", "--drop", "0.2", "--meter-version", "3",
                              "--frame", "reply=none", "--quiet"});
    kivtest::Background watch(
        {kivtest::program("kivwatch"), "--json", "--meters", "M?3", "--every", "0.2", "127.0.0.1"});
    std::this_thread::sleep_for(3s);
    const auto stopAt = std::chrono::steady_clock::now();
    kill(watch.pid(), SIGINT);
    std::this_thread::sleep_for(100ms);
    kill(watch.pid(), SIGINT); // a second Ctrl-C during the stop changes nothing
    const kivtest::ProcessResult result = watch.wait(10s);
    const double stopSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - stopAt).count();
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_LT(stopSeconds, 1.5);
    EXPECT_EQ(result.err, "");

    int rounds = 0;
    int lateRounds = 0;
    for (const Json& r : records(result.out)) {
        if (r["type"] != "poll")
            continue;
        const int sent = r["sent"];
        EXPECT_EQ(sent, static_cast<int>(r["answered"]) + static_cast<int>(r["timed_out"]) +
                            static_cast<int>(r["invalid"]) + static_cast<int>(r["failed"]));
        // Answers lost on the way end within the retransmission schedule (7875 ms in all).
        EXPECT_LT(static_cast<double>(r["ms"]), 8875.0);
        EXPECT_EQ(r["failed"], 0);
        ++rounds;
        if (static_cast<int>(r["late"]) >= 1)
            ++lateRounds;
    }
    // Fourteen rounds are due in 3 s; the silent frame's open poll holds up none of them.
    EXPECT_GE(rounds, 8);
    EXPECT_GE(lateRounds, rounds - 2);
}

} // namespace
