// How the application classifies and prints every kind of response, fed
// straight to its response handler (no frames answer in this namespace).
#include "Morv/Wire.h"
#include "apps/kivcast/Application.h"
#include "support/Process.h"

#include <boost/format.hpp>
#include <gtest/gtest.h>

#include <cstdio>

using namespace Morv;

namespace {

// A console whose standard output is a temporary file; read() returns what
// was written since the last call.
class FileConsole {
public:
    FileConsole() : path_(kivtest::tempPath("console")), file_(std::fopen(path_.c_str(), "w")), console(file_, stderr)
    {
    }
    ~FileConsole()
    {
        std::fclose(file_);
        std::remove(path_.c_str());
    }
    std::string read()
    {
        console.flush();
        const std::string text = kivtest::readFile(path_);
        const std::string fresh = text.substr(consumed_);
        consumed_ = text.size();
        return fresh;
    }

private:
    std::string path_;
    std::FILE* file_;
    std::size_t consumed_ = 0;

public:
    Console::Writer console; // last: stopped before the file is closed
};

std::vector<char> reply(std::uint16_t command, std::size_t size, std::int32_t lengthField = -1)
{
    std::vector<char> bytes(size, 0);
    if (size >= HEADER_SIZE) {
        MSG_CmdHdr h;
        h.sourceId = 0x0012ab3400000001ULL;
        h.length = static_cast<std::uint16_t>(lengthField < 0 ? static_cast<std::int32_t>(size) : lengthField);
        h.command = command;
        h.sequence = 77;
        writeHeader(bytes.data(), h);
    }
    return bytes;
}

std::vector<char> ack(std::uint32_t status)
{
    auto bytes = reply(CMD_Ack, 36);
    storeU32(bytes.data(), OFFSET_ACK_STATUS, status);
    return bytes;
}

std::vector<char> text(const std::string& t, std::size_t size = 0)
{
    auto bytes = reply(CMD_KivText, size != 0 ? size : kivMessageSize(t.size()));
    std::copy(t.begin(), t.end(), bytes.begin() + OFFSET_BODY);
    return bytes;
}

} // namespace

TEST(Application, ClassifiesPrintsAndCountsEveryResponse)
{
    FileConsole output;
    Application app("127.0.0.1", false, 0, output.console);
    app.sendMessage("Dev.Status?"); // no frames: nothing sent, the text is kept
    EXPECT_EQ(output.read(), "Discovering frames on 127.0.0.1:6004...\n\n\n");

    struct Case {
        std::vector<char> bytes;
        ErrorCode code;
        std::string line;
        int received;
        int succeeded;
    };
    auto noText = text("");
    noText.resize(28);
    storeU16(noText.data(), OFFSET_LENGTH, 28);
    auto unterminated = text("", 32);
    std::fill(unterminated.begin() + 28, unterminated.end(), 'z');
    const std::vector<Case> cases = {
        {ack(ACK_SUCCESS), Success, "succeeded", 1, 1},
        {ack(5), Success, "failed (5)", 1, 0},
        {ack(0xFFFFFFFF), Success, "failed (-1)", 1, 0},
        {text("OK"), Success, "replied OK", 1, 1},
        {noText, Success, "replied ", 1, 1},
        {unterminated, Success, "replied zzzz", 1, 1},
        {text("a\tb\x7f"), Success, "replied a\\x09b\\x7f", 1, 1},
        {text("B\xc3\xbchne \\x41\xff"), Success, "replied B\xc3\xbchne \\\\x41\\xff", 1, 1},
        {reply(CMD_Ack, 20), Success, "invalid response", 1, 0},
        {reply(CMD_Ack, 44, 40), Success, "invalid response", 1, 0},
        {reply(CMD_Ack, 36, 0), Success, "invalid response", 1, 0},
        {reply(CMD_Ack, 30), Success, "invalid response", 1, 0},
        {reply(CMD_BroadcastID, 36), Success, "invalid response", 1, 0},
        {{}, TimedOut, "timed out", 0, 0},
        {{}, TransmissionFailed, "transmission failed", 0, 0},
        {{}, static_cast<ErrorCode>(7), "unknown error (7)", 0, 0},
    };

    int received = 0;
    int succeeded = 0;
    for (const Case& c : cases) {
        app.handleResponse(0x0012ab3400000001ULL, c.bytes.empty() ? nullptr : c.bytes.data(),
                           static_cast<unsigned>(c.bytes.size()), c.code);
        received += c.received;
        succeeded += c.succeeded;
    }
    const auto out = kivtest::lines(output.read());
    ASSERT_EQ(out.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        // A frame not seen in discovery prints "unknown" as its address.
        const std::string expected =
            (boost::format("    %3d. 0012ab34:00000001 @ unknown         %s") % (i + 1) % cases[i].line).str();
        EXPECT_EQ(out[i], expected);
    }
    EXPECT_EQ(app.responsesReceived, received);
    EXPECT_EQ(app.messagesSucceeded, succeeded);
    EXPECT_EQ(app.requestsCompleted, static_cast<int>(cases.size()));
}
