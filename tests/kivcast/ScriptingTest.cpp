// kivcast as scripts use it, against emulated frames: JSON records checked
// against what the frames logged, the choice of frames, the inventory, the
// list of failures and its rerun, the strict exit codes, and a report that
// cannot be written.
#include "Morv/Wire.h"
#include "apps/kivcast/MeterData.h"
#include "support/EmulatorLog.h"
#include "support/Process.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>


#include <boost/format.hpp>

#include <cstdio>
#include <fstream>
#include <map>
#include <set>

using Json = nlohmann::json;

namespace {

kivtest::ProcessResult kivcast(const std::vector<std::string>& args,
                               std::chrono::milliseconds limit = std::chrono::seconds(60))
{
    return kivtest::run(kivtest::commandOf("kivcast", args), limit);
}

// Every line of standard output as a JSON object; a line that is not one fails the test.
std::vector<Json> records(const std::string& out)
{
    std::vector<Json> result;
    for (const std::string& line : kivtest::lines(out)) {
        Json record = Json::parse(line, nullptr, false);
        EXPECT_TRUE(record.is_object()) << "not a JSON object: " << line;
        if (record.is_object())
            result.push_back(std::move(record));
    }
    return result;
}

std::vector<Json> ofType(const std::vector<Json>& all, const std::string& type)
{
    std::vector<Json> result;
    for (const Json& r : all)
        if (r.value("type", "") == type)
            result.push_back(r);
    return result;
}

std::map<std::string, Json> byFrame(const std::vector<Json>& all)
{
    std::map<std::string, Json> result;
    for (const Json& r : all) {
        EXPECT_EQ(result.count(r["frame"]), 0U) << "two records for " << r["frame"];
        result[r["frame"]] = r;
    }
    return result;
}

// Frames that received a text message, and how often, from the emulator's log.
std::map<std::string, int> textsReceived(const std::vector<kivtest::LogEntry>& log)
{
    std::map<std::string, int> result;
    for (const auto& e : log)
        if (e.dir == "rx" && e.cmd == Morv::CMD_KivText)
            ++result[e.frame];
    return result;
}

std::set<std::string> framesTold(const std::vector<kivtest::LogEntry>& log)
{
    std::set<std::string> result;
    for (const auto& [frame, count] : textsReceived(log))
        result.insert(frame);
    return result;
}

std::string writeFile(const std::string& stem, const std::string& text)
{
    const std::string path = kivtest::tempPath(stem);
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

bool exists(const std::string& path) { return std::ifstream(path).good(); }

} // namespace

TEST(Scripting, JsonRecordsTellWhatTheFramesLogged)
{
    kivtest::Emulator emulator({
        "--frames", "0",
        "--frame", "id=00b00000:00000001,address=127.0.0.11,reply=ack",
        "--frame", "id=00b00000:00000002,address=127.0.0.12,reply=ack,ack-status=5",
        "--frame", "id=00b00000:00000003,address=127.0.0.13,reply=text,reply-text=\xff" "OK\n",
        "--frame", "id=00b00000:00000004,address=127.0.0.14,reply=none",
        "--frame", "id=00b00000:00000005,address=127.0.0.15,reply=ack,malformed=short",
        "--frame", "id=00b00000:00000006,address=127.0.0.16,reply=ack,malformed=command",
    });
    const auto run = kivcast({"--json", "--discover", "0.5", "127.0.0.1", "Dev.Status?"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const std::vector<Json> all = records(run.out);
    ASSERT_GE(all.size(), 2U);

    EXPECT_EQ(all.front(), Json::parse(R"({"type":"start","version":"0.1","address":"127.0.0.1","port":6004,)"
                                       R"("message":"Dev.Status?"})"));
    EXPECT_EQ(all.back(), Json::parse(R"({"type":"statistics","sent":6,"responses":4,"succeeded":2,"failed":4,)"
                                      R"("missing":0})"));
    // Found before results, results numbered in order.
    const auto found = ofType(all, "found");
    const auto results = ofType(all, "result");
    ASSERT_EQ(found.size(), 6U);
    ASSERT_EQ(results.size(), 6U);
    EXPECT_EQ(all.size(), 2U + found.size() + results.size());
    for (std::size_t i = 0; i < found.size(); ++i) {
        EXPECT_EQ(all[1 + i]["type"], "found");
        EXPECT_EQ(found[i]["n"], i + 1);
        EXPECT_EQ(found[i]["duplicate"], false);
        EXPECT_EQ(results[i]["n"], i + 1);
    }

    emulator.stop();
    const auto told = textsReceived(emulator.log());
    const auto result = byFrame(results);
    struct Expected {
        const char* frame;
        const char* address;
        const char* outcome;
    };
    const Expected expected[] = {
        {"00b00000:00000001", "127.0.0.11", "succeeded"},     {"00b00000:00000002", "127.0.0.12", "failed"},
        {"00b00000:00000003", "127.0.0.13", "replied"},       {"00b00000:00000004", "127.0.0.14", "timed out"},
        {"00b00000:00000005", "127.0.0.15", "timed out"},     {"00b00000:00000006", "127.0.0.16", "invalid response"},
    };
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.frame);
        ASSERT_EQ(result.count(e.frame), 1U);
        const Json& r = result.at(e.frame);
        EXPECT_EQ(r["address"], e.address);
        EXPECT_EQ(r["outcome"], e.outcome);
        // Every transmission the record counts reached the frame, and no other.
        EXPECT_EQ(r["transmissions"], told.at(e.frame));
        EXPECT_GE(r["ms"].get<double>(), 0.0);
    }
    EXPECT_EQ(result.at("00b00000:00000002")["code"], 5);
    // A byte that is no UTF-8 comes out as U+FFFD; the line break is the frame's own.
    EXPECT_EQ(result.at("00b00000:00000003")["reply"], "\xEF\xBF\xBD" "OK\n");
    EXPECT_EQ(result.at("00b00000:00000004")["transmissions"], 6);
    EXPECT_EQ(result.at("00b00000:00000004")["dropped"], 0);
    // Every answer of this one was too short to be taken: each transmission's answer dropped.
    EXPECT_EQ(result.at("00b00000:00000005")["dropped"], 6);
    EXPECT_FALSE(result.at("00b00000:00000001").contains("dropped"));
    EXPECT_FALSE(result.at("00b00000:00000001").contains("answered_by"));
}

class ScriptingMeter : public testing::TestWithParam<const char*> {};

TEST_P(ScriptingMeter, MeterObjectIsTheDecodedRecordTheFrameSent)
{
    const std::string text = GetParam();
    kivtest::Emulator emulator({"--frames", "2", "--reply", "meter"});
    const auto run = kivcast({"--json", "--frames", "a00000:1,a00000:2", "127.0.0.1", text});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    emulator.stop();

    std::map<std::string, std::vector<unsigned char>> sent;
    for (const auto& e : emulator.log())
        if (e.dir == "tx" && e.cmd == Morv::CMD_KivText)
            sent[e.frame] = e.bytes();
    const int version = meterDataVersion(text);
    const auto results = ofType(records(run.out), "result");
    ASSERT_EQ(results.size(), 2U);
    for (const Json& r : results) {
        SCOPED_TRACE(r.dump());
        EXPECT_EQ(r["outcome"], "meter");
        const auto& bytes = sent.at(r["frame"]);
        ASSERT_GT(bytes.size(), Morv::OFFSET_BODY);
        const auto record = decodeMeterData(reinterpret_cast<const char*>(bytes.data()) + Morv::OFFSET_BODY,
                                            bytes.size() - Morv::OFFSET_BODY, version);
        ASSERT_TRUE(record);
        EXPECT_EQ(r["meter"], Json::parse(meterJson(*record).dump()));
        EXPECT_EQ(r["meter"]["version"], version);
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, ScriptingMeter, testing::Values("M?", "Dev.MD.FullBin?2", "NM?"));

// Matching is by sequence number alone: a frame that answers with the next
// request's number completes another frame's request, and the record says so.
TEST(Scripting, AnswerFromAnotherFrameIsNamed)
{
    kivtest::Emulator emulator({"--frames", "4", "--sequence", "next", "--delay", "50"});
    const auto run = kivcast({"--json", "--discover", "0.5", "127.0.0.1", "Dev.Status?"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto all = records(run.out);
    std::map<std::string, std::string> addressOf;
    for (const Json& f : ofType(all, "found"))
        addressOf[f["frame"]] = f["address"];
    int answeredByAnother = 0;
    for (const Json& r : ofType(all, "result")) {
        if (!r.contains("answered_by"))
            continue;
        ++answeredByAnother;
        const Json& by = r["answered_by"];
        EXPECT_NE(by["frame"], r["frame"]);
        EXPECT_EQ(by["address"], addressOf[by["frame"]]) << r.dump();
    }
    EXPECT_GE(answeredByAnother, 1) << run.out;
}

TEST(Scripting, FramesAndExcludeChooseWhoIsToldAndWhoIsMissing)
{
    const std::string list = writeFile("ids", "# tonight's retries\na00000:2\n\n  00A00000:00000004  # amp 4\n");
    struct Case {
        const char* what;
        std::vector<std::string> options;
        std::set<std::string> told;
        std::vector<std::string> missing;
    };
    const Case cases[] = {
        {"a list, short and long forms", {"--frames", "a00000:1,00A00000:00000003"},
         {"00a00000:00000001", "00a00000:00000003"}, {}},
        {"a list from a file", {"--frames", "@" + list}, {"00a00000:00000002", "00a00000:00000004"}, {}},
        {"excluded", {"--exclude", "a00000:2"}, {"00a00000:00000001", "00a00000:00000003", "00a00000:00000004"}, {}},
        {"excluded from the list", {"--frames", "a00000:1,a00000:2", "--exclude", "a00000:2"}, {"00a00000:00000001"}, {}},
        {"one not on the network", {"--frames", "a00000:9,a00000:1"}, {"00a00000:00000001"}, {"00a00000:00000009"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kivtest::Emulator emulator({"--frames", "4"});
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"--discover", "1", "127.0.0.1", "Dev.Status?"});
        const auto run = kivcast(args);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        emulator.stop();
        // A text that reached no frame ("?") is shown with where it came from and went.
        std::string unaddressed;
        for (const auto& e : emulator.log())
            if (e.frame == "?" && e.dir == "rx" && e.cmd == Morv::CMD_KivText)
                unaddressed += (boost::format("\n%s at %d us from %s:%d to %s:%d, seq %d: %s") % e.dir % e.tUs % e.address %
                                e.port % e.local % e.localPort % e.seq % e.hex)
                                   .str();
        std::set<std::string> told = framesTold(emulator.log());
        if (kivtest::underWine() && told.erase("?") != 0) {
            // Seen once under wine in CI, never natively and never again in
            // 11 runs: one text more, to no frame. The frames told are still checked.
            std::cerr << "note: a text reached no frame:" << unaddressed << '\n';
        }
        EXPECT_EQ(told, c.told) << unaddressed;

        // Found lines only for the frames chosen; a missing one named before the echo.
        std::string missingBlock;
        for (const std::string& id : c.missing)
            missingBlock += "    Not found: " + id + "\n";
        if (!missingBlock.empty())
            missingBlock += "\n";
        EXPECT_NE(run.out.find("\n\n" + missingBlock + "    KIV msg is \"Dev.Status?\"\n\n"), std::string::npos)
            << run.out;
        int foundLines = 0;
        for (const std::string& line : kivtest::lines(run.out))
            foundLines += line.find(". Found ") != std::string::npos;
        EXPECT_EQ(foundLines, static_cast<int>(c.told.size()));

        kivtest::Emulator again({"--frames", "4"});
        args.insert(args.begin(), "--json");
        const auto all = records(kivcast(args).out);
        std::vector<std::string> missing;
        for (const Json& m : ofType(all, "missing"))
            missing.push_back(m["frame"]);
        EXPECT_EQ(missing, c.missing);
        EXPECT_EQ(ofType(all, "result").size(), c.told.size());
    }
    std::remove(list.c_str());
}

TEST(Scripting, InventoryNamesTheFramesAndFlagsWhatDiffers)
{
    // 1 where the inventory has it, 2 moved, 3 not in the inventory, 7 never answers.
    const std::string inventory = writeFile("rig.csv", "frame,name,address\n"
                                                       "00a00000:00000001,\"Stage left, top\",127.0.0.2\n"
                                                       "a00000:2,Sub B,127.0.0.9\n"
                                                       "a00000:7,Ghost,\n");
    kivtest::Emulator emulator({"--frames", "3"});
    const auto text = kivcast({"--inventory", inventory, "127.0.0.1", "Dev.Status?"});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    const std::string out = text.out;
    EXPECT_NE(out.find(". Found 00a00000:00000001 @ 127.0.0.2  Stage left, top\n"), std::string::npos) << out;
    EXPECT_NE(out.find(". Found 00a00000:00000002 @ 127.0.0.3  Sub B  (expected at 127.0.0.9)\n"), std::string::npos);
    EXPECT_NE(out.find(". Found 00a00000:00000003 @ 127.0.0.4  (not in the inventory)\n"), std::string::npos);
    EXPECT_NE(out.find("\n    Not found: 00a00000:00000007  Ghost\n\n    KIV msg is"), std::string::npos);
    // The name after the address, padded to the longest name: the one change to a result line.
    EXPECT_NE(out.find(". 00a00000:00000001 @ 127.0.0.2       Stage left, top succeeded\n"), std::string::npos);
    EXPECT_NE(out.find(". 00a00000:00000002 @ 127.0.0.3       Sub B           succeeded\n"), std::string::npos);
    EXPECT_NE(out.find(". 00a00000:00000003 @ 127.0.0.4       -               succeeded\n"), std::string::npos);

    const auto json = kivcast({"--json", "--inventory", inventory, "127.0.0.1", "Dev.Status?"});
    const auto all = records(json.out);
    for (const auto& type : {"found", "result"}) {
        SCOPED_TRACE(type);
        const auto frames = byFrame(ofType(all, type));
        ASSERT_EQ(frames.size(), 3U);
        const Json& first = frames.at("00a00000:00000001");
        EXPECT_EQ(first["name"], "Stage left, top");
        EXPECT_FALSE(first.contains("unexpected"));
        EXPECT_FALSE(first.contains("expected_address"));
        EXPECT_EQ(frames.at("00a00000:00000002")["name"], "Sub B");
        EXPECT_EQ(frames.at("00a00000:00000002")["expected_address"], "127.0.0.9");
        EXPECT_EQ(frames.at("00a00000:00000003")["unexpected"], true);
        EXPECT_FALSE(frames.at("00a00000:00000003").contains("name"));
    }
    const auto missing = ofType(all, "missing");
    ASSERT_EQ(missing.size(), 1U);
    EXPECT_EQ(missing[0], Json::parse(R"({"type":"missing","frame":"00a00000:00000007","name":"Ghost"})"));
    std::remove(inventory.c_str());
}

TEST(Scripting, InventoryThatHasAnsweredEndsDiscoveryAtOnce)
{
    const std::string inventory = writeFile("rig.csv", "frame,name\na00000:1,A\na00000:2,B\n");
    kivtest::Emulator emulator({"--frames", "2"});
    const auto run = kivcast({"--inventory", inventory, "127.0.0.1", "Dev.Status?"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_LT(run.seconds, 2.5); // a three-second discovery otherwise
    std::remove(inventory.c_str());
}

TEST(Scripting, BadInventoryIsRefusedBeforeAnythingIsSent)
{
    const std::string inventory = writeFile("rig.csv", "frame,name\na00000:1,A\n00a00000:00000001,B\n");
    kivtest::Emulator emulator({"--frames", "2"});
    const auto run = kivcast({"--inventory", inventory, "127.0.0.1", "Dev.Power=1"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "kivcast: " + inventory + ":3: frame 00a00000:00000001 is listed already on line 2\n");
    EXPECT_EQ(run.out, "");
    emulator.stop();
    for (const auto& e : emulator.log())
        EXPECT_NE(e.dir, "rx") << "a datagram reached the frames";
    std::remove(inventory.c_str());
}

// The frames that did not succeed go to a file; that file is the list of the rerun.
TEST(Scripting, FailedFileIsTheListOfTheRerun)
{
    kivtest::Emulator emulator({
        "--frames", "0",
        "--frame", "id=00b00000:00000001,address=127.0.0.11",
        "--frame", "id=00b00000:00000002,address=127.0.0.12",
        "--frame", "id=00b00000:00000003,address=127.0.0.13,reply=none",
        "--frame", "id=00b00000:00000004,address=127.0.0.14,reply=ack,ack-status=3",
    });
    const std::string failed = kivtest::tempPath("failed");
    const auto first = kivcast({"--failed", failed, "--discover", "0.5", "127.0.0.1", "Dev.Status?"});
    ASSERT_EQ(first.exitCode, 0) << first.err;
    EXPECT_EQ(kivtest::readFile(failed), "00b00000:00000003\n00b00000:00000004\n");
    const auto toldFirst = textsReceived(emulator.log());

    const std::string again = kivtest::tempPath("failed-again");
    const auto rerun = kivcast({"--strict", "--frames", "@" + failed, "--failed", again, "127.0.0.1", "Dev.Status?"});
    EXPECT_EQ(rerun.exitCode, 2) << rerun.err;
    EXPECT_EQ(kivtest::readFile(again), kivtest::readFile(failed));
    auto toldRerun = textsReceived(emulator.log());
    for (const auto& [frame, count] : toldFirst)
        toldRerun[frame] -= count;
    EXPECT_EQ(toldRerun.at("00b00000:00000001"), 0);
    EXPECT_EQ(toldRerun.at("00b00000:00000002"), 0);
    EXPECT_GT(toldRerun.at("00b00000:00000003"), 0);
    EXPECT_EQ(toldRerun.at("00b00000:00000004"), 1);

    // All succeeded: an empty list, replacing the old one.
    const auto clean = kivcast({"--failed", again, "--frames", "00b00000:1,00b00000:2", "127.0.0.1", "Dev.Status?"});
    EXPECT_EQ(clean.exitCode, 0);
    EXPECT_TRUE(exists(again));
    EXPECT_EQ(kivtest::readFile(again), "");

    // A list that cannot be written fails the run, after every request was made.
    const auto unwritable =
        kivcast({"--failed", "/nonexistent/failed.txt", "--frames", "00b00000:1", "127.0.0.1", "Dev.Status?"});
    EXPECT_EQ(unwritable.exitCode, 1);
    EXPECT_NE(unwritable.err.find("kivcast: cannot write /nonexistent/failed.txt: No such file or directory\n"),
              std::string::npos)
        << unwritable.err;
    EXPECT_NE(unwritable.out.find("# messages succeeded: 1"), std::string::npos);
    std::remove(failed.c_str());
    std::remove(again.c_str());
}

TEST(Scripting, StrictExitCodes)
{
    struct Case {
        const char* what;
        std::vector<std::string> frames; // emulated, besides the good 00b00000:00000001
        std::vector<std::string> options;
        int code;
    };
    const Case cases[] = {
        {"every request succeeded", {}, {"--strict"}, 0},
        {"a frame failed", {"id=00b00000:00000002,address=127.0.0.12,reply=ack,ack-status=5"}, {"--strict"}, 2},
        {"a frame failed, not strict", {"id=00b00000:00000002,address=127.0.0.12,reply=ack,ack-status=5"}, {}, 0},
        {"a selected frame missing", {}, {"--strict", "--frames", "00b00000:1,00b00000:9"}, 3},
        {"missing wins over failed",
         {"id=00b00000:00000002,address=127.0.0.12,reply=ack,ack-status=5"},
         {"--strict", "--frames", "00b00000:1,00b00000:2,00b00000:9"},
         3},
        {"a named frame missing", {}, {"--strict", "--discover", "0.5", "127.0.0.1", "00b00000:00000009"}, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> emulated{"--frames", "0", "--frame", "id=00b00000:00000001,address=127.0.0.11"};
        for (const std::string& f : c.frames)
            emulated.insert(emulated.end(), {"--frame", f});
        kivtest::Emulator emulator(emulated);
        std::vector<std::string> args = c.options;
        if (std::find(args.begin(), args.end(), "127.0.0.1") == args.end())
            args.insert(args.end(), {"--discover", "0.5", "127.0.0.1"});
        args.push_back("Dev.Status?");
        const auto run = kivcast(args);
        EXPECT_EQ(run.exitCode, c.code) << run.out << run.err;
    }

    // No frame at all: 3, with a hint of where to look.
    const auto none = kivcast({"--strict", "--discover", "0.2", "127.0.0.1", "Dev.Status?"});
    EXPECT_EQ(none.exitCode, 3);
    EXPECT_NE(none.err.find("No frame answered the discovery on 127.0.0.1."), std::string::npos) << none.err;
    // The adapter list follows; wine in the test's namespace lists no adapter at all.
    const bool listed = none.err.find("Network connections available:\n") != std::string::npos ||
                        (kivtest::underWine() && none.err.find("No network connections found.") != std::string::npos);
    EXPECT_TRUE(listed) << none.err;
    if (kivtest::underWine()) {
        EXPECT_NE(none.err.find("Windows Defender Firewall may block"), std::string::npos) << none.err;
    }
    // Without the new options the output stays as it was: no hint.
    const auto plain = kivcast({"127.0.0.1", "Dev.Status?"});
    EXPECT_EQ(plain.exitCode, 0);
    EXPECT_EQ(plain.err, "");
}

// A reader that goes away or a full disk never leaves a power-up half done:
// every frame is told, and the run says that its report was lost.
TEST(Scripting, ReportThatCannotBeWrittenStillTellsEveryFrame)
{
    if (kivtest::underWine())
        GTEST_SKIP() << "POSIX descriptors of the test's own";
    using kivtest::UnwritableOutput;
    struct Case {
        const char* what;
        UnwritableOutput output;
        std::vector<std::string> options;
        const char* reason;
    };
    const Case cases[] = {
        {"a full disk", UnwritableOutput::FullDevice, {}, "No space left on device"},
        {"a reader gone before the start", UnwritableOutput::ClosedPipe, {}, "Broken pipe"},
        {"a reader gone after the first result", UnwritableOutput::PipeClosedLater, {}, "Broken pipe"},
        {"JSON to a full disk", UnwritableOutput::FullDevice, {"--json"}, "No space left on device"},
    };
    // The first result line after the echo.
    const auto firstResult = [](const std::string& seen) {
        const auto echo = seen.find("KIV msg is");
        return echo != std::string::npos && seen.find(" @ ", echo) != std::string::npos;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kivtest::Emulator emulator({"--frames", "10"});
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"127.0.0.1", "Dev.Power=1"});
        const auto run = kivtest::runWithUnwritableOutput(kivtest::commandOf("kivcast", args), c.output,
                                                          std::chrono::seconds(60), firstResult);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err, std::string("kivcast: cannot write standard output: ") + c.reason + "\n");
        emulator.stop();
        const auto told = textsReceived(emulator.log());
        EXPECT_EQ(told.size(), 10U);
        for (const auto& [frame, count] : told)
            EXPECT_EQ(count, 1) << frame;
    }
}
