// kivwatch end to end against emulated frames that play a show (they join
// late, fall silent, come back, change state, their meters move): its JSON
// lines against the emulator's own log; its rounds with a frame that never
// answers and answers lost; its stop on Ctrl-C in the middle of a round.
#include "Morv/Wire.h"
#include "apps/kivcast/MeterData.h"
#include "support/EmulatorLog.h"
#include "support/Process.h"

#include <boost/format.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <ctime>
#include <map>
#include <optional>
#include <set>
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

// Seconds since 1970 of a record's local time stamp ("2026-12-10T21:04:05.123+01:00").
double epochSeconds(const std::string& stamp)
{
    std::tm tm{};
    tm.tm_year = std::stoi(stamp.substr(0, 4)) - 1900;
    tm.tm_mon = std::stoi(stamp.substr(5, 2)) - 1;
    tm.tm_mday = std::stoi(stamp.substr(8, 2));
    tm.tm_hour = std::stoi(stamp.substr(11, 2));
    tm.tm_min = std::stoi(stamp.substr(14, 2));
    const double seconds = std::stod(stamp.substr(17, 6));
    const int sign = stamp[23] == '-' ? -1 : 1;
    const int offset = sign * (std::stoi(stamp.substr(24, 2)) * 3600 + std::stoi(stamp.substr(27, 2)) * 60);
    return static_cast<double>(timegm(&tm)) + seconds - offset;
}

std::string frameName(int low) { return (boost::format("00a00000:%08x") % low).str(); }

// kivframe's datagrams from one frame or to it, in the order of the log.
std::vector<kivtest::LogEntry> datagrams(const std::vector<kivtest::LogEntry>& log, const std::string& dir,
                                         const std::string& frame, long cmd)
{
    std::vector<kivtest::LogEntry> result;
    for (const auto& e : log)
        if (e.dir == dir && e.frame == frame && e.cmd == cmd)
            result.push_back(e);
    return result;
}

double seconds(const kivtest::LogEntry& e) { return static_cast<double>(e.tUs) / 1e6; }

// The meter object a logged answer carries, if it carries one.
std::optional<Json> loggedMeter(const kivtest::LogEntry& e)
{
    const auto bytes = e.bytes();
    if (bytes.size() < Morv::OFFSET_BODY)
        return std::nullopt;
    const auto record =
        decodeMeterData(reinterpret_cast<const char*>(bytes.data()) + Morv::OFFSET_BODY, bytes.size() - Morv::OFFSET_BODY, 3);
    if (!record)
        return std::nullopt;
    return meterJson(*record);
}

// kivwatch's JSON records, sorted by kind.
struct Watched {
    std::map<std::string, std::vector<Json>> events; // found, lost and changed, by frame
    std::map<std::string, std::vector<Json>> meters; // meter records, by frame
    std::vector<Json> polls;
};

Watched watched(const std::string& out)
{
    Watched w;
    for (const Json& r : records(out)) {
        const std::string type = r["type"];
        if (type == "found" || type == "lost" || type == "changed")
            w.events[r["frame"]].push_back(r);
        else if (type == "meter")
            w.meters[r["frame"]].push_back(r);
        else if (type == "poll")
            w.polls.push_back(r);
    }
    return w;
}

// Matches every meter record kivwatch printed for the frames of `log` with an
// answer the frame sent, in order (the answers it never received, lost on the
// way or to a request already answered, are skipped). Returns the smallest
// difference between the record's time and the answer's, in seconds: the wall
// clock time of the emulator's start, plus the shortest delivery.
double matchMeters(const Watched& w, const std::vector<kivtest::LogEntry>& log)
{
    double offset = 1e300;
    for (const auto& [frame, printed] : w.meters) {
        const auto answers = datagrams(log, "tx", frame, Morv::CMD_KivText);
        std::size_t next = 0;
        for (const Json& r : printed) {
            while (next < answers.size() && loggedMeter(answers[next]) != r["meter"])
                ++next;
            if (next == answers.size()) {
                ADD_FAILURE() << frame << ": no answer of the frame's log, in order, carries " << r.dump();
                break;
            }
            offset = std::min(offset, epochSeconds(r["t"]) - seconds(answers[next]));
            ++next;
        }
    }
    return offset;
}

// The poll records by round number; each round is reported once, when its
// last poll ends (so not always in the order of the numbers).
std::map<int, Json> byRound(const std::vector<Json>& polls)
{
    std::map<int, Json> rounds;
    for (const Json& r : polls)
        EXPECT_TRUE(rounds.emplace(r["round"], r).second) << "round reported twice: " << r.dump();
    return rounds;
}

std::vector<std::string> types(const std::vector<Json>& events)
{
    std::vector<std::string> t;
    for (const Json& e : events)
        t.push_back(e["type"]);
    return t;
}

// Checks that an event kivwatch reported follows what the emulator logged at
// `logged` (seconds since its start, which was `start` on the wall clock) by
// `least` to `most` seconds.
void expectAfter(const Json& event, double start, double logged, double least, double most)
{
    const double after = epochSeconds(event["t"]) - start - logged;
    EXPECT_GE(after, least) << event.dump() << " against the log's " << logged << " s";
    EXPECT_LE(after, most) << event.dump() << " against the log's " << logged << " s";
}

TEST(KivwatchE2e, FollowsTheShowKivframePlays)
{
    // Frame 1 answers throughout; frame 2 joins after 2 s; frame 3 falls
    // silent at 2 s and comes back at 15 s; frame 4 changes its state flags
    // from 0 to 2 at 3 s. Every frame's meters move.
    kivtest::Emulator emulator({"--frames", "1", "--meter-motion", "--quiet", "--frame", "join-after=2", "--frame",
                                "silent-from=2,silent-for=13", "--frame", "change-at=3,changed-flags=2"});
    const kivtest::ProcessResult result =
        kivtest::run({kivtest::program("kivwatch"), "--json", "--meters", "M?3", "--every", "0.2", "--duration", "18",
                      "127.0.0.1"},
                     40s);
    emulator.stop();
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const std::vector<kivtest::LogEntry> log = emulator.log();
    Watched w = watched(result.out);

    // Each frame's events exactly once each, in this order.
    EXPECT_EQ(types(w.events[frameName(1)]), (std::vector<std::string>{"found"}));
    EXPECT_EQ(types(w.events[frameName(2)]), (std::vector<std::string>{"found"}));
    EXPECT_EQ(types(w.events[frameName(3)]), (std::vector<std::string>{"found", "lost", "found"}));
    EXPECT_EQ(types(w.events[frameName(4)]), (std::vector<std::string>{"found", "changed"}));

    // The meter records are the decoding of the answers the frames sent, and
    // they move: no two of a frame's records alike.
    const double start = matchMeters(w, log);
    ASSERT_LT(start, 1e300) << "no meter record";
    for (int low = 1; low <= 4; ++low) {
        const auto& printed = w.meters.at(frameName(low));
        EXPECT_GE(printed.size(), 5U) << frameName(low);
        std::set<std::string> distinct;
        for (const Json& r : printed)
            distinct.insert(r["meter"].dump());
        EXPECT_EQ(distinct.size(), printed.size()) << frameName(low);
    }
    EXPECT_GE(w.meters.at(frameName(1)).size(), 40U);

    // The events against the emulator's timeline: found once the frame's first
    // answer arrives, lost 10 to 12 s after its last, back with its first
    // answer after the silence, changed with its first answer in the new state.
    const auto discovery2 = datagrams(log, "tx", frameName(2), Morv::CMD_BroadcastID);
    ASSERT_FALSE(discovery2.empty());
    if (w.events[frameName(2)].size() == 1)
        expectAfter(w.events[frameName(2)][0], start, seconds(discovery2.front()), -0.1, 1.5);

    std::vector<kivtest::LogEntry> sent3;
    for (const auto& e : log)
        if (e.dir == "tx" && e.frame == frameName(3))
            sent3.push_back(e);
    const auto gap = std::adjacent_find(sent3.begin(), sent3.end(), [](const auto& a, const auto& b) {
        return b.tUs - a.tUs > 5'000'000;
    });
    ASSERT_NE(gap, sent3.end()) << "frame 3 never fell silent";
    if (w.events[frameName(3)].size() == 3) {
        expectAfter(w.events[frameName(3)][1], start, seconds(*gap), 9.5, 13.5);
        expectAfter(w.events[frameName(3)][2], start, seconds(*(gap + 1)), -0.1, 1.5);
    }

    const auto discovery4 = datagrams(log, "tx", frameName(4), Morv::CMD_BroadcastID);
    const auto changedAnswer = std::find_if(discovery4.begin(), discovery4.end(), [](const kivtest::LogEntry& e) {
        const auto bytes = e.bytes();
        return bytes.size() > Morv::OFFSET_STATUS_FLAGS && bytes[Morv::OFFSET_STATUS_FLAGS] != 0;
    });
    ASSERT_NE(changedAnswer, discovery4.end());
    if (w.events[frameName(4)].size() == 2) {
        const Json& changed = w.events[frameName(4)][1];
        EXPECT_EQ(changed["what"], Json::array({"state"}));
        EXPECT_EQ(changed["state"], 2);
        expectAfter(changed, start, seconds(*changedAnswer), -0.1, 1.5);
    }

    // Each round reported once.
    EXPECT_GE(byRound(w.polls).size(), 40U);
}

TEST(KivwatchE2e, RoundsKeepTheirScheduleWithASilentFrameAndLostAnswers)
{
    // Twenty frames lose a fifth of their answers; the last never answers a
    // poll (it still answers discovery).
    kivtest::Emulator emulator({"--frames", "20", "--drop", "0.2", "--meter-motion", "--quiet", "--frame",
                                "reply=none"});
    const kivtest::ProcessResult result =
        kivtest::run({kivtest::program("kivwatch"), "--json", "--meters", "M?3", "--every", "0.2", "--duration", "10",
                      "127.0.0.1"},
                     40s);
    emulator.stop();
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const std::vector<kivtest::LogEntry> log = emulator.log();
    Watched w = watched(result.out);
    const double start = matchMeters(w, log);
    ASSERT_LT(start, 1e300) << "no meter record";
    EXPECT_EQ(w.meters.count(frameName(21)), 0U);

    // Fifty rounds are due in 10 s; the silent frame's open poll holds up none
    // of them, it only makes it late in each.
    const std::map<int, Json> rounds = byRound(w.polls);
    ASSERT_GE(rounds.size(), 25U);
    int lateRounds = 0;
    int timedOut = 0;
    std::optional<double> previousStart;
    for (const auto& [number, r] : rounds) {
        EXPECT_EQ(static_cast<int>(r["sent"]),
                  static_cast<int>(r["answered"]) + static_cast<int>(r["timed_out"]) + static_cast<int>(r["invalid"]) +
                      static_cast<int>(r["failed"]))
            << r.dump();
        EXPECT_EQ(r["invalid"], 0) << r.dump();
        EXPECT_EQ(r["failed"], 0) << r.dump();
        const double roundStart = epochSeconds(r["t"]) - static_cast<double>(r["ms"]) / 1000.0;
        if (previousStart) {
            EXPECT_LT(roundStart - *previousStart, 1.0) << r.dump();
        }
        previousStart = roundStart;
        lateRounds += static_cast<int>(r["late"]) >= 1 ? 1 : 0;
        timedOut += static_cast<int>(r["timed_out"]);
    }
    EXPECT_GE(lateRounds, static_cast<int>(rounds.size()) - 3);
    EXPECT_GE(timedOut, 1); // the silent frame's first poll, after its 7875 ms

    // The requests of the log, by sequence number in the order sent, shared out
    // to the rounds by their counts. Each request ends with the answer the
    // frame sent (the dropped ones are not logged) or, unanswered, at the end
    // of its six transmissions (125 to 4000 ms); a round ends with its last
    // request, and every request within its schedule.
    struct Request {
        double first = 0;
        double end = 0;
        int transmissions = 0;
    };
    std::map<long long, Request> requests;
    for (const auto& e : log) {
        if (e.cmd != Morv::CMD_KivText)
            continue;
        if (e.dir == "rx") {
            Request& q = requests[e.seq];
            if (q.transmissions++ == 0)
                q.first = seconds(e);
        } else if (requests.count(e.seq) != 0 && requests[e.seq].end == 0) {
            requests[e.seq].end = seconds(e);
        }
    }
    // Rounds still open at the end have no record: the shares stop at the first.
    auto request = requests.begin();
    int expected = 1;
    for (const auto& [number, r] : rounds) {
        if (number != expected++)
            break;
        double last = 0;
        for (int i = 0; i < static_cast<int>(r["sent"]); ++i, ++request) {
            ASSERT_NE(request, requests.end()) << "fewer requests in the log than in the rounds";
            Request& q = request->second;
            const double schedule = 0.125 * ((1 << q.transmissions) - 1);
            EXPECT_LE(q.transmissions, 6);
            if (q.end == 0)
                q.end = q.first + 7.875;
            EXPECT_LE(q.end - q.first, schedule + 0.1) << "sequence " << request->first;
            last = std::max(last, q.end);
        }
        const double end = epochSeconds(r["t"]) - start;
        EXPECT_GE(end, last - 0.1) << r.dump();
        EXPECT_LE(end, last + 0.5) << r.dump();
    }
}

TEST(KivwatchE2e, SaysWhyItCannotStart)
{
    // Another kivwatch holds port 6004 on 127.0.0.1.
    kivtest::Background first({kivtest::program("kivwatch"), "--json", "127.0.0.1"});
    std::this_thread::sleep_for(500ms);
    struct Case {
        std::string address;
        std::string hint; // the line after the system's reason
    };
    const Case cases[] = {
        {"10.1.1.1", "\"10.1.1.1\" is not an IPv4 address of this computer; kivwatch without arguments lists"},
        {"300.1.1.1", "\"300.1.1.1\" is not an IPv4 address of this computer"},
        {"127.0.0.1", "kivwatch: another program (kivcast, or a kivwatch already running) holds the port"},
    };
    for (const Case& c : cases) {
        // Wine binds a socket to an address that no interface holds (Windows
        // refuses, as Linux does).
        if (kivtest::underWine() && c.address == "10.1.1.1")
            continue;
        const kivtest::ProcessResult result = kivtest::run({kivtest::program("kivwatch"), "--json", c.address}, 20s);
        EXPECT_EQ(result.exitCode, 1) << c.address << ": " << result.err;
        EXPECT_EQ(result.out, "") << c.address;
        EXPECT_NE(result.err.find(c.hint), std::string::npos) << c.address << ": " << result.err;
    }
    const kivtest::ProcessResult stopped = first.stop();
    if (!kivtest::underWine()) { // a signal to wine is no console event
        EXPECT_EQ(stopped.exitCode, 0) << stopped.err;
    }
}

// No frame at all after a discovery's time: one hint on standard error, the
// records untouched.
TEST(KivwatchE2e, SaysWhereToLookWhenNoFrameAnswers)
{
    const kivtest::ProcessResult result =
        kivtest::run({kivtest::program("kivwatch"), "--json", "--duration", "4", "127.0.0.1"}, 20s);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    const std::string hint = "No frame answered the discovery on 127.0.0.1.";
    const auto at = result.err.find(hint);
    ASSERT_NE(at, std::string::npos) << result.err;
    EXPECT_EQ(result.err.find(hint, at + 1), std::string::npos) << "twice: " << result.err;
    EXPECT_EQ(result.out.find(hint), std::string::npos);
    if (kivtest::underWine()) {
        EXPECT_NE(result.err.find("allow kivwatch.exe"), std::string::npos) << result.err;
    }
}

TEST(KivwatchE2e, StopsOnCtrlCOrSigtermWithinASecondWhilePollsAreOpen)
{
    if (kivtest::underWine())
        GTEST_SKIP() << "a signal to wine is no console Ctrl-C event";
    // Twenty frames lose a fifth of their answers; one more never answers a
    // poll, so a round is always open.
    kivtest::Emulator frames({"--frames", "20", "--drop", "0.2", "--meter-version", "3",
                              "--frame", "reply=none", "--quiet"});
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal == SIGINT ? "SIGINT" : "SIGTERM");
        kivtest::Background watch(
            {kivtest::program("kivwatch"), "--json", "--meters", "M?3", "--every", "0.2", "127.0.0.1"});
        std::this_thread::sleep_for(3s);
        const auto stopAt = std::chrono::steady_clock::now();
        kill(watch.pid(), signal);
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
}

} // namespace
