#include "apps/kivframe/Settings.h"

#include "Morv/Wire.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <limits>

namespace KivFrame {

namespace {

// Thrown by the value parsers; the caller adds which option it was.
struct BadValue {
    std::string expected;
};

std::uint64_t parseUnsigned(const std::string& text, std::uint64_t max, const std::string& expected)
{
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* first = text.data() + (hex ? 2 : 0);
    const char* last = text.data() + text.size();
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(first, last, value, hex ? 16 : 10);
    if (text.empty() || error != std::errc() || end != last || value > max)
        throw BadValue{expected};
    return value;
}

// A 32-bit word: 0..0xffffffff, or a negative decimal stored as its two's complement.
std::uint32_t parseWord(const std::string& text)
{
    const std::string expected = "a 32-bit number (decimal, 0x hex, or negative decimal)";
    if (!text.empty() && text[0] == '-') {
        const std::uint64_t magnitude = parseUnsigned(text.substr(1), 0x80000000ULL, expected);
        return static_cast<std::uint32_t>(-static_cast<std::int64_t>(magnitude));
    }
    return static_cast<std::uint32_t>(parseUnsigned(text, 0xFFFFFFFFULL, expected));
}

double parseReal(const std::string& text, double min, double max, const std::string& expected)
{
    if (text.empty() || text.find_first_of(" \t") != std::string::npos)
        throw BadValue{expected};
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(value) || value < min || value > max)
        throw BadValue{expected};
    return value;
}

double parseProbability(const std::string& text)
{
    return parseReal(text, 0.0, 1.0, "a probability from 0 to 1");
}

double parseMilliseconds(const std::string& text)
{
    return parseReal(text, 0.0, 3600000.0, "milliseconds from 0 to 3600000");
}

bool parseBool(const std::string& text)
{
    if (text == "1" || text == "true" || text == "yes" || text == "on")
        return true;
    if (text == "0" || text == "false" || text == "no" || text == "off")
        return false;
    throw BadValue{"1 or 0"};
}

std::uint32_t parseHexHalf(const std::string& text)
{
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (text.empty() || text.size() > 8 || error != std::errc() || end != text.data() + text.size())
        throw BadValue{"a frame ID HHHHHHHH:LLLLLLLL (hexadecimal halves)"};
    return value;
}

std::uint64_t parseId(const std::string& text)
{
    const auto colon = text.find(':');
    if (colon == std::string::npos)
        throw BadValue{"a frame ID HHHHHHHH:LLLLLLLL (hexadecimal halves)"};
    return (static_cast<std::uint64_t>(parseHexHalf(text.substr(0, colon))) << 32) |
           parseHexHalf(text.substr(colon + 1));
}

std::uint32_t parseAddress(const std::string& text)
{
    in_addr address{};
    if (inet_pton(AF_INET, text.c_str(), &address) != 1)
        throw BadValue{"a dotted IPv4 address"};
    return ntohl(address.s_addr);
}

template <class Enum>
Enum parseChoice(const std::string& text, std::initializer_list<std::pair<const char*, Enum>> choices,
                 const std::string& expected)
{
    for (const auto& [name, value] : choices)
        if (text == name)
            return value;
    throw BadValue{expected};
}

// One per-frame option: its name (without "--"), whether it is a flag on the
// command line, and how it sets the settings.
struct FrameOption {
    const char* name;
    bool flag;
    std::function<void(FrameSettings&, const std::string&)> apply;
};

const std::vector<FrameOption>& frameOptions()
{
    static const std::vector<FrameOption> options = {
        {"node-type", false,
         [](FrameSettings& s, const std::string& v) {
             s.nodeType = static_cast<std::uint16_t>(parseUnsigned(v, 0xFFFF, "a node type from 0 to 0xffff"));
         }},
        {"device-type", false, [](FrameSettings& s, const std::string& v) { s.deviceType = parseWord(v); }},
        {"flags", false, [](FrameSettings& s, const std::string& v) { s.flags = parseWord(v); }},
        {"stamp48", false, [](FrameSettings& s, const std::string& v) { s.stamp48 = parseWord(v); }},
        {"stamp60", false, [](FrameSettings& s, const std::string& v) { s.stamp60 = parseWord(v); }},
        {"word80", false, [](FrameSettings& s, const std::string& v) { s.word80 = parseWord(v); }},
        {"ext", true, [](FrameSettings& s, const std::string& v) { s.ext = parseBool(v); }},
        {"reply", false,
         [](FrameSettings& s, const std::string& v) {
             s.reply = parseChoice<ReplyKind>(v,
                                              {{"auto", ReplyKind::Auto},
                                               {"ack", ReplyKind::Ack},
                                               {"text", ReplyKind::Text},
                                               {"meter", ReplyKind::Meter},
                                               {"none", ReplyKind::None}},
                                              "auto, ack, text, meter or none");
         }},
        {"ack-status", false, [](FrameSettings& s, const std::string& v) { s.ackStatus = parseWord(v); }},
        {"reply-text", false,
         [](FrameSettings& s, const std::string& v) {
             if (Morv::kivMessageSize(v.size()) > Morv::MAX_MESSAGE_SIZE)
                 throw BadValue{"a text of at most 32731 characters"};
             s.replyText = v;
         }},
        {"meter-version", false,
         [](FrameSettings& s, const std::string& v) {
             s.meterVersion = parseChoice<int>(v, {{"auto", 0}, {"1", 1}, {"2", 2}, {"3", 3}}, "auto, 1, 2 or 3");
         }},
        {"meter-fill", false,
         [](FrameSettings& s, const std::string& v) {
             s.meterFill = static_cast<std::uint8_t>(parseUnsigned(v, 0xFF, "a byte value from 0 to 255"));
         }},
        {"drop", false, [](FrameSettings& s, const std::string& v) { s.drop = parseProbability(v); }},
        {"drop-discovery", false,
         [](FrameSettings& s, const std::string& v) { s.dropDiscovery = parseProbability(v); }},
        {"duplicate", false,
         [](FrameSettings& s, const std::string& v) {
             s.duplicate = static_cast<unsigned>(parseUnsigned(v, 100, "a count from 0 to 100"));
         }},
        {"delay", false, [](FrameSettings& s, const std::string& v) { s.delayMs = parseMilliseconds(v); }},
        {"jitter", false, [](FrameSettings& s, const std::string& v) { s.jitterMs = parseMilliseconds(v); }},
        {"answer-from", false,
         [](FrameSettings& s, const std::string& v) {
             s.answerFrom = static_cast<unsigned>(parseUnsigned(v, 1000000, "a count from 1 to 1000000"));
             if (s.answerFrom == 0)
                 throw BadValue{"a count from 1 to 1000000"};
         }},
        {"discovery-from", false,
         [](FrameSettings& s, const std::string& v) {
             s.discoveryFrom = static_cast<unsigned>(parseUnsigned(v, 1000000, "a count from 1 to 1000000"));
             if (s.discoveryFrom == 0)
                 throw BadValue{"a count from 1 to 1000000"};
         }},
        {"malformed", false,
         [](FrameSettings& s, const std::string& v) {
             s.malformed = parseChoice<Malformed>(v,
                                                  {{"none", Malformed::None},
                                                   {"length", Malformed::Length},
                                                   {"long", Malformed::Long},
                                                   {"short", Malformed::Short},
                                                   {"command", Malformed::Command}},
                                                  "length, short, command or none");
         }},
        {"wrong-sequence", true, [](FrameSettings& s, const std::string& v) { s.wrongSequence = parseBool(v); }},
        {"broadcast-replies", true,
         [](FrameSettings& s, const std::string& v) { s.broadcastReplies = parseBool(v); }},
    };
    return options;
}

const FrameOption* findFrameOption(const std::string& name)
{
    for (const auto& option : frameOptions())
        if (name == option.name)
            return &option;
    return nullptr;
}

std::string badValue(const std::string& where, const std::string& value, const BadValue& error)
{
    return where + ": bad value '" + value + "', expected " + error.expected;
}

ExtraFrame parseFrameSpec(const std::string& spec, const FrameSettings& defaults)
{
    ExtraFrame frame;
    frame.settings = defaults;
    if (spec.empty())
        throw UsageError("--frame: empty frame description, expected key=value pairs joined by ','");
    std::string::size_type start = 0;
    for (;;) {
        const auto comma = spec.find(',', start);
        const std::string pair = spec.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        const auto equals = pair.find('=');
        if (equals == std::string::npos)
            throw UsageError("--frame: '" + pair + "' is not key=value (flags are written key=1)");
        const std::string key = pair.substr(0, equals);
        const std::string value = pair.substr(equals + 1);
        const std::string where = "--frame key '" + key + "'";
        try {
            if (key == "id")
                frame.id = parseId(value);
            else if (key == "address")
                frame.address = parseAddress(value);
            else if (const FrameOption* option = findFrameOption(key))
                option->apply(frame.settings, value);
            else
                throw UsageError("--frame: unknown key '" + key + "'");
        } catch (const BadValue& error) {
            throw UsageError(badValue(where, value, error));
        }
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return frame;
}

} // namespace

Options parseCommandLine(int argc, const char* const* argv)
{
    Options options;
    std::vector<std::string> frameSpecs;

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0 || arg.size() == 2)
            throw UsageError("unexpected argument '" + arg + "'");
        std::string name = arg.substr(2);
        std::optional<std::string> inlineValue;
        if (const auto equals = name.find('='); equals != std::string::npos) {
            inlineValue = name.substr(equals + 1);
            name = name.substr(0, equals);
        }
        const std::string where = "--" + name;
        const FrameOption* frameOption = findFrameOption(name);
        static const char* const runOptions[] = {"frames", "address", "per-address", "id",   "frame", "pace",
                                                 "duration", "log", "ready-file", "seed", "quiet", "help",
                                                 "pcap"};
        if (!frameOption && std::find(std::begin(runOptions), std::end(runOptions), name) == std::end(runOptions))
            throw UsageError("unknown option '" + where + "'");
        const bool flag = name == "quiet" || name == "help" || (frameOption && frameOption->flag);

        std::string value;
        if (inlineValue)
            value = *inlineValue;
        else if (flag)
            value = "1";
        else if (i + 1 < argc)
            value = argv[++i];
        else
            throw UsageError(where + ": missing value");

        try {
            if (frameOption)
                frameOption->apply(options.defaults, value);
            else if (name == "frames")
                options.frames = static_cast<unsigned>(parseUnsigned(value, 1000000, "a count from 0 to 1000000"));
            else if (name == "address")
                options.address = parseAddress(value);
            else if (name == "per-address") {
                options.perAddress =
                    static_cast<unsigned>(parseUnsigned(value, 1000000, "a count from 1 to 1000000"));
                if (options.perAddress == 0)
                    throw BadValue{"a count from 1 to 1000000"};
            } else if (name == "id")
                options.id = parseId(value);
            else if (name == "frame")
                frameSpecs.push_back(value);
            else if (name == "pace")
                options.paceUs = static_cast<unsigned>(parseUnsigned(value, 1000000, "microseconds from 0 to 1000000"));
            else if (name == "duration") {
                options.durationS = parseReal(value, 0.0, 31536000.0, "seconds above 0");
                if (*options.durationS <= 0.0)
                    throw BadValue{"seconds above 0"};
            } else if (name == "log")
                options.logPath = value;
            else if (name == "pcap")
                options.pcapPath = value;
            else if (name == "ready-file")
                options.readyFile = value;
            else if (name == "seed")
                options.seed = parseUnsigned(value, std::numeric_limits<std::uint64_t>::max(), "a number");
            else if (name == "quiet")
                options.quiet = parseBool(value);
            else if (name == "help")
                options.help = parseBool(value);
        } catch (const BadValue& error) {
            throw UsageError(badValue(where, value, error));
        }
        if ((name == "log" || name == "ready-file" || name == "pcap") && value.empty())
            throw UsageError(where + ": missing file name");
    }

    // Per-frame options apply to every frame, so --frame specs start from the
    // defaults of the whole command line, wherever they stand in it.
    for (const auto& spec : frameSpecs)
        options.extraFrames.push_back(parseFrameSpec(spec, options.defaults));
    return options;
}

std::string helpText()
{
    return R"(Usage: kivframe [OPTION...]

Emulates KIV amplifier frames on loopback: every frame answers broadcast-ID
(discovery) requests and command-701 requests, with faults on demand. The
emulator listens on 0.0.0.0:6015 and 0.0.0.0:6016 on the loopback device only;
every answer leaves from its frame's own address. A request that arrived on
port 6015 is answered to the requester's address on port 6004; one that
arrived on port 6016 to the requester's address and port.

Frames:
  --frames N              number of frames (default 1; 0 with --frame only)
  --address A             address of the first frame (default 127.0.0.2); later
                          frames take consecutive addresses. Every frame address
                          must lie in 127.0.0.0/8
  --per-address K         K consecutive frames share each address (default 1)
  --id HHHHHHHH:LLLLLLLL  ID of the first frame (default 00a00000:00000001); later
                          frames count up by one in the low half
  --frame SPEC            one more frame with its own settings: key=value pairs
                          joined by ',' with the keys id, address and the
                          per-frame option names below without "--", e.g.
                          --frame id=0012ab34:00000001,address=127.0.0.9,reply=text
                          Flags are written key=1. Keys left out take the
                          per-frame options of the command line; a missing id or
                          address is the one after the previous frame's.
                          Repeatable; these frames come after the --frames ones.

Per-frame options (defaults for every frame):
  --node-type N           sender node type (default 5; 0x8005 sets flag bit 15)
  --device-type N         device type, the word at offset 72 (default 19)
  --flags N               status flag word at offset 64 (default 0)
  --stamp48 N, --stamp60 N, --word80 N
                          words at offsets 48, 60, 80 (default 0)
  --ext                   answer discovery with a 436-byte command-5 message that
                          carries the 100-byte command-4 reply at offset 32
  --reply KIND            answer to command-701 requests (default auto):
                            auto   a meter record for a meter-data query, else an Ack
                            ack    an Ack (command 2, 36 bytes)
                            text   a command-701 reply with --reply-text
                            meter  a command-701 reply with a meter record
                            none   no answer (the frame still answers discovery)
  --ack-status N          status word of Acks (default 0xfffffffe, success)
  --reply-text TEXT       text of text replies (default OK)
  --meter-version V       auto | 1 | 2 | 3 (default auto): auto takes the version
                          from the request text, first matching prefix wins:
                          "NM?" 3, "M?3" 3, "M?2" 2, "M?" 1, "Dev.MD.FullBin?3" 3,
                          "Dev.MD.FullBin?2" 2, "Dev.MD.FullBin?" 1; any other text 1
  --meter-fill N          every meter record byte is N (default: the pattern below)

Faults (per frame):
  --drop P                probability 0..1 that an answer to a request is dropped
  --drop-discovery P      the same for answers to discovery
  --duplicate N           send every answer N more times, right after it
                          (discovery answers: next in the pacing order)
  --delay MS, --jitter MS answers wait MS plus a random 0..jitter ms
  --answer-from N         answer a request only from its Nth transmission on
                          (counted per frame and sequence number)
  --discovery-from N      answer discovery only from the Nth request the frame hears
  --malformed KIND        answers to requests are spoiled: length (length field
                          4 more than the datagram), long (datagram 4 bytes
                          longer than its length field), short (only the first
                          20 bytes), command (command 4 instead of 2 or 701)
  --wrong-sequence        answers carry the request's sequence number + 1
  --broadcast-replies     every answer goes to 255.255.255.255 on the port it
                          would have gone to
  Drops and jitter come from a random generator per frame, seeded from --seed
  and the frame's number, so a run with the same requests is repeatable.

Run:
  --pace US               discovery answers leave at most one per US microseconds
                          on average, in frame order (default 20; 0 = no pacing)
  --duration S            stop after S seconds (fractions allowed); default: run
                          until SIGINT or SIGTERM. Answers still waiting are dropped
  --log FILE              write a JSON-lines log (below)
  --pcap FILE             write every datagram received and sent to FILE as a
                          pcap capture (raw IPv4, the real addresses and ports),
                          for Wireshark or tshark with the KIV dissector
  --ready-file PATH       create PATH once the frames are ready
  --seed N                seed of the random faults (default 1)
  --quiet                 no summary at the end
  --help                  this text

Numbers are decimal or 0x hexadecimal; 32-bit words also take negative decimals.

Frame numbers and meter records:
  Frames are numbered from 0: first the --frames frames, then the --frame ones.
  Frame k (0-based) has address A + k / K. Byte i (0-based) of the meter record of
  frame number f is (f * 7 + i * 13 + 5) & 0xff, unless --meter-fill is given.
  Records are 48, 84 or 104 bytes for versions 1, 2 and 3, at offset 28 of the reply.

Log (--log FILE), one JSON object per line, flushed at least every 100 ms:
  {"t_us":0,"event":"start","frames":N}                         first line
  {"t_us":T,"dir":"rx"|"tx","frame":F,"address":A,"port":P,"local":L,
   "local_port":LP,"cmd":C,"seq":S,"len":N,"checksum_ok":B,"hex":H}
                                                                 every datagram
  {"t_us":T,"event":"stop"}                                      last line
  t_us: microseconds since the start. address/port: the peer (rx: sender, tx:
  destination). local/local_port: rx: the address it arrived at (255.255.255.255
  for a broadcast) and port; tx: the source. frame: tx: the sending frame's ID;
  rx: the addressed frame's ID, "*" for a broadcast-ID request heard by all
  frames (of the address, when several share it), "?" when no frame is addressed.
  cmd and seq are -1 for a datagram shorter than a header; hex is the whole
  datagram. Datagrams dropped by a fault are not sent and not logged.

Once ready it prints "kivframe: N frames ready on FIRST-LAST" to standard error;
at the end a summary (unless --quiet). Exit status: 0 after a normal stop, 1 when
the sockets, the log or the capture fail, 2 for a bad command line.
)";
}

} // namespace KivFrame
