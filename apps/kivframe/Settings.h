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

// How answers are spoiled on purpose.
enum class Malformed { None, Length, Long, Short, Command, LengthPlusOne, LengthMinusOne };

// The sequence number an answer carries.
enum class AnswerSequence {
    Request, // the request's own
    Next,    // the request's + 1
    Older,   // that of the request the frame heard before this one
    Zero,
};

// The faults a frame shows on purpose. With --faulty only a share of the
// frames has them; the others have none (a default-constructed Faults).
struct Faults {
    double drop = 0.0;
    double dropDiscovery = 0.0;
    unsigned duplicate = 0;
    double delayMs = 0.0;
    double jitterMs = 0.0;
    unsigned answerFrom = 1;
    unsigned discoveryFrom = 1;
    Malformed malformed = Malformed::None;
    Malformed malformedDiscovery = Malformed::None;
    AnswerSequence sequence = AnswerSequence::Request;
    bool toDiscoveryId = false;
    bool broadcastReplies = false;

    bool operator==(const Faults&) const = default;
};

// What a frame does over time, in microseconds since the emulator's start.
// A frame answers nothing (it is absent) before joinAfterUs and inside the
// silent window; from changeAtUs on its status flag word is changedFlags.
struct Show {
    std::int64_t joinAfterUs = 0;
    std::optional<std::int64_t> silentFromUs;
    std::optional<std::int64_t> silentForUs; // none: silent to the end of the run
    std::optional<std::int64_t> changeAtUs;
    std::optional<std::uint32_t> changedFlags;
    bool meterMotion = false;
};

// Behaviour of one frame: its broadcast-ID body, its replies, its faults and its show.
struct FrameSettings {
    std::uint16_t nodeType = 5;
    std::uint32_t deviceType = 19;
    std::uint32_t flags = 0;
    std::uint32_t stamp48 = 0;
    std::uint32_t stamp60 = 0;
    std::uint32_t word80 = 0;
    bool ext = false;
    std::int16_t extCount = 1;
    std::uint16_t extSize = 436;

    ReplyKind reply = ReplyKind::Auto;
    std::uint32_t ackStatus = 0xFFFFFFFE;
    std::uint16_t ackSize = 36;
    std::string replyText = "OK";
    int meterVersion = 0; // 0: chosen from the request text
    std::optional<std::uint8_t> meterFill;

    Faults faults;
    Show show;
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
    // Share of the --frames frames that have the faults of `defaults`; the
    // others have none, and --frame specs start without them. None: every
    // frame has them.
    std::optional<double> faulty;

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

// Parses argv[1..]. Throws UsageError for an unknown option, a missing or bad
// value, or options that do not go together.
Options parseCommandLine(int argc, const char* const* argv);

// The --help text.
std::string helpText();

} // namespace KivFrame
