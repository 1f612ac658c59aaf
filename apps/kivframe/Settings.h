#pragma once

// What one run of the emulator is told to do: the frames, how each behaves,
// and how long and where it logs. Filled by parseCommandLine, read-only after.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace KivFrame {

// What a frame sends back to a command-701 request.
enum class ReplyKind { Auto, Ack, Text, Meter, None };

// How answers to requests are spoiled on purpose.
enum class Malformed { None, Length, Long, Short, Command };

// Behaviour of one frame: its broadcast-ID body, its replies and its faults.
struct FrameSettings {
    std::uint16_t nodeType = 5;
    std::uint32_t deviceType = 19;
    std::uint32_t flags = 0;
    std::uint32_t stamp48 = 0;
    std::uint32_t stamp60 = 0;
    std::uint32_t word80 = 0;
    bool ext = false;

    ReplyKind reply = ReplyKind::Auto;
    std::uint32_t ackStatus = 0xFFFFFFFE;
    std::string replyText = "OK";
    int meterVersion = 0; // 0: chosen from the request text
    std::optional<std::uint8_t> meterFill;

    double drop = 0.0;
    double dropDiscovery = 0.0;
    unsigned duplicate = 0;
    double delayMs = 0.0;
    double jitterMs = 0.0;
    unsigned answerFrom = 1;
    unsigned discoveryFrom = 1;
    Malformed malformed = Malformed::None;
    bool wrongSequence = false;
    bool broadcastReplies = false;
};

// A frame given with --frame: its own settings, and an ID and address that
// default to the ones after the previous frame's.
struct ExtraFrame {
    std::optional<std::uint64_t> id;
    std::optional<std::uint32_t> address; // host byte order
    FrameSettings settings;
};

struct Options {
    unsigned frames = 1;
    std::uint32_t address = 0x7F000002; // 127.0.0.2
    unsigned perAddress = 1;
    std::uint64_t id = 0x00A0000000000001ULL;
    FrameSettings defaults;
    std::vector<ExtraFrame> extraFrames;

    unsigned paceUs = 20;
    std::optional<double> durationS;
    std::string logPath;
    std::string pcapPath;
    std::string readyFile;
    std::uint64_t seed = 1;
    bool quiet = false;
    bool help = false;
};

// A command line the emulator cannot run with; the message names the option.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Parses argv[1..]. Throws UsageError for an unknown option, a missing or bad value.
Options parseCommandLine(int argc, const char* const* argv);

// The --help text.
std::string helpText();

} // namespace KivFrame
