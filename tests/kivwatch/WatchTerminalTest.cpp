// kivwatch's live table in a real terminal: tmux inside the test's private
// namespace runs it, and capture-pane reads the screen.
#include "support/EmulatorLog.h"
#include "support/Process.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using namespace std::chrono_literals;

const std::string SOCKET = "kivwatch-test";

kivtest::ProcessResult tmux(std::vector<std::string> args)
{
    args.insert(args.begin(), {"/usr/bin/tmux", "-L", SOCKET, "-f", "/dev/null"});
    return kivtest::run(args, 10s);
}

std::string screen() { return tmux({"capture-pane", "-p", "-t", "watch"}).out; }

// Waits up to `limit` until the screen holds `text`; returns the last screen.
std::string waitFor(const std::string& text, std::chrono::milliseconds limit = 5s)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    std::string shown;
    do {
        shown = screen();
        if (shown.find(text) != std::string::npos)
            return shown;
        std::this_thread::sleep_for(100ms);
    } while (std::chrono::steady_clock::now() < end);
    return shown;
}

class TmuxServer {
public:
    ~TmuxServer() { tmux({"kill-server"}); }
};

TEST(KivwatchTerminal, DrawsRowsFollowsAResizeAndRestoresTheScreen)
{
    // Fifteen frames and one that never answers a poll: more rows than 12 lines hold.
    kivtest::Emulator frames({"--frames", "15", "--meter-version", "3", "--frame",
                              "reply=none", "--quiet"});
    TmuxServer server;
    const std::string command = "printf 'BEFORE-KIVWATCH\\n'; " + kivtest::program("kivwatch") +
                                " --meters M?3 --every 0.2 --color never 127.0.0.1; echo EXIT=$?; sleep 60";
    ASSERT_EQ(tmux({"new-session", "-d", "-s", "watch", "-x", "100", "-y", "12", command}).exitCode, 0);

    std::string shown = waitFor("16 frames: 15 ok, 1 late");
    ASSERT_NE(shown.find("16 frames: 15 ok, 1 late, 0 lost"), std::string::npos) << shown;
    EXPECT_NE(shown.find("00a00000:00000001 127.0.0.2"), std::string::npos) << shown;
    EXPECT_NE(shown.find("... 7 more frames"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("BEFORE-KIVWATCH"), std::string::npos) << shown;

    // Taller and narrower: every row fits, no line is wider than the terminal.
    ASSERT_EQ(tmux({"resize-window", "-t", "watch", "-x", "60", "-y", "30"}).exitCode, 0);
    shown = waitFor("00a00000:00000010");
    EXPECT_EQ(shown.find("more frames"), std::string::npos) << shown;
    EXPECT_NE(shown.find("00a00000:00000010 127.0.0.17"), std::string::npos) << shown;
    for (const auto& line : kivtest::lines(shown))
        EXPECT_LE(line.size(), 60U) << line;
    // The frame that never answers stays late, the one beside it ok.
    for (const auto& line : kivtest::lines(shown)) {
        if (line.find("00a00000:00000010 ") != std::string::npos) {
            EXPECT_NE(line.find(" late "), std::string::npos) << line;
        }
        if (line.find("00a00000:00000001 ") != std::string::npos) {
            EXPECT_NE(line.find(" ok "), std::string::npos) << line;
        }
    }

    ASSERT_EQ(tmux({"send-keys", "-t", "watch", "C-c"}).exitCode, 0);
    shown = waitFor("EXIT=");
    EXPECT_NE(shown.find("BEFORE-KIVWATCH"), std::string::npos) << shown;
    EXPECT_NE(shown.find("EXIT=0"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("frames:"), std::string::npos) << shown;
}

} // namespace
