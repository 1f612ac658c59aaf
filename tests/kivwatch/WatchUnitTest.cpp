// kivwatch without sockets: the command line, the state a watch keeps
// (events once each, rounds that never overlap, the bounded history) and the
// records and table rendered from it.
#include "apps/kivwatch/Render.h"
#include "apps/kivwatch/WatchOptions.h"
#include "apps/kivwatch/WatchState.h"

#include <gtest/gtest.h>

#include <cctype>

namespace {

WatchCommandLine parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "kivwatch");
    return readWatchCommandLine(args);
}

TEST(WatchCommandLine, RefusesWhatCannotRun)
{
    struct Case {
        std::vector<std::string> args;
        const char* message; // part of the error
    };
    const Case cases[] = {
        {{"--jsn", "127.0.0.1"}, "unknown option '--jsn'"},
        {{"--jsn=1", "127.0.0.1"}, "unknown option '--jsn'\n"},
        {{"--json=false", "127.0.0.1"}, "--json takes no value"},
        {{"--json", "--table", "127.0.0.1"}, "cannot be combined"},
        {{"--meters", "Dev.Status?", "127.0.0.1"}, "is not a meter-data query"},
        {{"--meters", "M?3", "--every", "0.1", "127.0.0.1"}, "at least 0.2"},
        {{"--every", "1", "127.0.0.1"}, "give --meters too"},
        {{"--sort", "address", "127.0.0.1"}, "--sort"},
        {{"--color", "sometimes", "127.0.0.1"}, "--color"},
        {{"127.0.0.1", "-dynamic", "M?3"}, "unexpected argument \"M?3\""},
        {{"--inventory", "/nonexistent/rig.csv", "127.0.0.1"}, "rig.csv"},
    };
    for (const Case& c : cases) {
        const WatchCommandLine line = parse(c.args);
        EXPECT_EQ(line.kind, WatchCommandLine::Kind::Error) << c.args.front();
        EXPECT_NE(line.text.find(c.message), std::string::npos) << line.text;
        EXPECT_EQ(line.text.rfind("kivwatch: ", 0), 0U) << line.text;
    }
}

TEST(WatchCommandLine, ReadsOptionsBeforeTheAddress)
{
    const WatchCommandLine line = parse({"--json", "--meters", "M?3", "--every", "0.2", "--sort", "id",
                                         "--color=never", "--duration", "5", "127.0.0.1", "-dynamic"});
    ASSERT_EQ(line.kind, WatchCommandLine::Kind::Run) << line.text;
    const WatchOptions& o = line.options;
    EXPECT_EQ(o.networkAddress, "127.0.0.1");
    EXPECT_TRUE(o.dynamicPorts);
    EXPECT_EQ(o.output, WatchOptions::Output::Json);
    EXPECT_EQ(o.meters, "M?3");
    EXPECT_DOUBLE_EQ(o.everySeconds, 0.2);
    EXPECT_EQ(o.sort, WatchOptions::Sort::Id);
    EXPECT_EQ(o.color, WatchOptions::Color::Never);
    ASSERT_TRUE(o.durationSeconds);
    EXPECT_DOUBLE_EQ(*o.durationSeconds, 5.0);

    EXPECT_EQ(parse({}).kind, WatchCommandLine::Kind::Usage);
    EXPECT_EQ(parse({"--help"}).kind, WatchCommandLine::Kind::Help);
    EXPECT_EQ(parse({"--version"}).text, std::string("kivwatch ") + KIV_VERSION_TEXT + "\n");
}

Morv::FrameInfo frameInfo(std::uint64_t id, std::uint32_t address, std::int32_t state = 0)
{
    Morv::FrameInfo info;
    info.frameId = id;
    info.address = address;
    info.nodeType = 5;
    info.deviceType = 19;
    info.state = state;
    return info;
}

// A version 3 record whose bytes are all `fill`.
ResponseReport meterReport(std::uint8_t fill)
{
    const std::vector<char> bytes(meterRecordSize(3), static_cast<char>(fill));
    ResponseReport report;
    report.outcome = Outcome::Meter;
    report.received = true;
    report.meterVersion = 3;
    report.meter = decodeMeterData(bytes.data(), bytes.size(), 3);
    return report;
}

std::vector<WatchState::Event::Kind> kinds(const std::vector<WatchState::Event>& events)
{
    std::vector<WatchState::Event::Kind> result;
    for (const auto& e : events)
        result.push_back(e.kind);
    return result;
}

using Kind = WatchState::Event::Kind;

TEST(WatchState, ReportsEachChangeOfAFrameOnce)
{
    const Rig::Inventory inventory =
        Rig::Inventory::parse("frame,name\n00a00000:00000001,Stage left\n00a00000:00000009,Delay tower\n", "rig");
    WatchState state(&inventory);
    state.frameFound(frameInfo(1 | 0x00a0000000000000ULL, 0x7F000002));
    state.frameFound(frameInfo(1 | 0x00a0000000000000ULL, 0x7F000002)); // again: nothing new
    state.frameChanged(frameInfo(1 | 0x00a0000000000000ULL, 0x7F000003, 2));
    state.frameLost(1 | 0x00a0000000000000ULL);
    state.frameLost(1 | 0x00a0000000000000ULL);
    state.frameChanged(frameInfo(1 | 0x00a0000000000000ULL, 0x7F000004)); // lost: no change to report
    state.reportNeverSeen();
    state.reportNeverSeen();
    const auto events = state.takeEvents();
    ASSERT_EQ(kinds(events), (std::vector<Kind>{Kind::Found, Kind::Changed, Kind::Lost, Kind::NeverSeen}));
    EXPECT_EQ(events[1].what, (std::vector<std::string>{"address", "state"}));
    EXPECT_EQ(events[3].frameId, 0x00a0000000000009ULL);

    const auto snapshot = state.snapshot();
    ASSERT_EQ(snapshot.rows.size(), 2U);
    EXPECT_EQ(snapshot.rows[0].state, WatchState::State::Lost);
    EXPECT_EQ(snapshot.rows[1].state, WatchState::State::NeverSeen);
    EXPECT_EQ(snapshot.rows[1].name, "Delay tower");
}

TEST(WatchState, ARoundSkipsAFrameWhosePollIsOpenAndEndsWithItsLastAnswer)
{
    WatchState state(nullptr);
    state.frameFound(frameInfo(1, 1));
    state.frameFound(frameInfo(2, 2));
    state.takeEvents();

    std::vector<std::uint64_t> polled;
    const std::uint64_t first = state.startRound(polled);
    EXPECT_EQ(polled, (std::vector<std::uint64_t>{1, 2}));
    state.pollEnded(first, 1, meterReport(200)); // an answer inside send, before the round is sealed
    state.sealRound(first);
    EXPECT_TRUE(state.takeEvents().size() == 1U); // the meter record; the round waits for frame 2

    const std::uint64_t second = state.startRound(polled);
    EXPECT_EQ(polled, (std::vector<std::uint64_t>{1})); // frame 2 is late
    state.sealRound(second);
    state.pollEnded(second, 1, endedWithout(Outcome::TimedOut));
    state.pollEnded(first, 2, meterReport(100));
    const auto events = state.takeEvents();
    ASSERT_EQ(kinds(events), (std::vector<Kind>{Kind::Poll, Kind::Meter, Kind::Poll}));
    EXPECT_EQ(events[0].round.round, second);
    EXPECT_EQ(events[0].round.late, 1);
    EXPECT_EQ(events[0].round.timedOut, 1);
    EXPECT_EQ(events[2].round.round, first);
    EXPECT_EQ(events[2].round.answered, 2);
    EXPECT_EQ(events[2].round.sent, 2);
    EXPECT_EQ(state.snapshot().rows[0].state, WatchState::State::Late);
    EXPECT_EQ(state.snapshot().rows[1].state, WatchState::State::Ok);
}

TEST(WatchState, KeepsTheLastAnswersUpToItsBound)
{
    WatchState state(nullptr);
    state.frameFound(frameInfo(1, 1));
    for (std::size_t i = 0; i < WatchState::HISTORY + 5; ++i) {
        std::vector<std::uint64_t> polled;
        const std::uint64_t round = state.startRound(polled);
        state.sealRound(round);
        state.pollEnded(round, 1, meterReport(static_cast<std::uint8_t>(i)));
    }
    const auto history = state.history(1);
    ASSERT_EQ(history.size(), WatchState::HISTORY);
    // Oldest first: the first five answers are gone.
    EXPECT_EQ(history.front().psuVoltage, WatchState::sampleOf(*meterReport(5).meter, {}).psuVoltage);
    EXPECT_EQ(history.back().psuVoltage,
              WatchState::sampleOf(*meterReport(WatchState::HISTORY + 4).meter, {}).psuVoltage);
}

TEST(WatchRender, RecordsCarryTheLocalTimeAndTheKivcastMeterObject)
{
    // 2026-12-10T21:04:05.123+01:00: digits but for the separators.
    const std::string stamp = localTimeStamp(std::chrono::system_clock::now());
    const std::string form = "dddd-dd-ddTdd:dd:dd.ddd+dd:dd";
    ASSERT_EQ(stamp.size(), form.size()) << stamp;
    for (std::size_t i = 0; i < form.size(); ++i) {
        if (form[i] == 'd')
            EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(stamp[i]))) << stamp;
        else if (form[i] == '+')
            EXPECT_TRUE(stamp[i] == '+' || stamp[i] == '-') << stamp;
        else
            EXPECT_EQ(stamp[i], form[i]) << stamp;
    }

    WatchState state(nullptr);
    state.frameFound(frameInfo(0x00a0000000000001ULL, 0x7F000002));
    std::vector<std::uint64_t> polled;
    const std::uint64_t round = state.startRound(polled);
    state.sealRound(round);
    const ResponseReport report = meterReport(77);
    state.pollEnded(round, 0x00a0000000000001ULL, report);
    const auto events = state.takeEvents();
    ASSERT_EQ(events.size(), 3U);
    const auto found = nlohmann::json::parse(jsonRecord(events[0], nullptr));
    EXPECT_EQ(found["type"], "found");
    EXPECT_EQ(found["frame"], "00a00000:00000001");
    EXPECT_EQ(found["address"], "127.0.0.2");
    const auto meter = nlohmann::ordered_json::parse(jsonRecord(events[1], nullptr));
    EXPECT_EQ(meter["meter"], meterJson(*report.meter));
    const auto poll = nlohmann::json::parse(jsonRecord(events[2], nullptr));
    EXPECT_EQ(poll["type"], "poll");
    EXPECT_EQ(poll["round"], 1);
    EXPECT_EQ(poll["sent"], 1);
    EXPECT_EQ(poll["answered"], 1);
    EXPECT_TRUE(poll.contains("ms"));

    EXPECT_EQ(plainLine(events[1], nullptr), "");
    EXPECT_NE(plainLine(events[0], nullptr).find(" + 00a00000:00000001 127.0.0.2\n"), std::string::npos);
}

// The lines of a drawn screen, without the control sequences.
std::vector<std::string> screenLines(const std::string& screen)
{
    std::string text;
    for (std::size_t i = 0; i < screen.size(); ++i) {
        if (screen[i] != '\x1b') {
            text += screen[i];
            continue;
        }
        // ESC [ parameters, then one letter.
        i += 2;
        while (i < screen.size() && !std::isalpha(static_cast<unsigned char>(screen[i])))
            ++i;
    }
    std::vector<std::string> lines;
    std::size_t begin = 0;
    for (std::size_t end; (end = text.find("\r\n", begin)) != std::string::npos; begin = end + 2)
        lines.push_back(text.substr(begin, end - begin));
    lines.push_back(text.substr(begin));
    return lines;
}

TEST(WatchRender, TheTableFitsTheTerminalAndSummarisesTheRest)
{
    WatchState state(nullptr);
    for (std::uint64_t id = 1; id <= 30; ++id)
        state.frameFound(frameInfo(id, 0x7F000000 + static_cast<std::uint32_t>(id)));
    state.frameLost(3);
    struct Case {
        int width, height;
        std::size_t lines;
        bool summary;
    };
    for (const Case& c : {Case{100, 10, 10, true}, Case{40, 40, 32, false}, Case{200, 32, 32, false}}) {
        TableLayout layout;
        layout.width = c.width;
        layout.height = c.height;
        layout.polling = true;
        const auto lines = screenLines(renderTable(state.snapshot(), layout, std::chrono::steady_clock::now()));
        ASSERT_EQ(lines.size(), c.lines) << c.width << "x" << c.height;
        for (const auto& line : lines)
            EXPECT_LE(line.size(), static_cast<std::size_t>(c.width));
        EXPECT_EQ(lines.back().rfind("... ", 0) == 0, c.summary) << lines.back();
    }
    TableLayout wide;
    wide.width = 120;
    wide.height = 40;
    const std::string screen = renderTable(state.snapshot(), wide, std::chrono::steady_clock::now());
    EXPECT_EQ(screen.find("\x1b[3"), std::string::npos); // no colour unless asked
    const auto lines = screenLines(screen);
    EXPECT_NE(lines[0].find("30 frames: 29 ok, 0 late, 1 lost"), std::string::npos) << lines[0];
    EXPECT_NE(lines[4].find("00000000:00000003 127.0.0.3"), std::string::npos) << lines[4];
    EXPECT_NE(lines[4].find("lost"), std::string::npos) << lines[4];
    wide.color = true;
    EXPECT_NE(renderTable(state.snapshot(), wide, std::chrono::steady_clock::now()).find("\x1b[1;31m"),
              std::string::npos);
}

} // namespace
