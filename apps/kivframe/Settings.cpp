#include "apps/kivframe/Settings.h"

#include "Morv/Wire.h"

#include <CLI/CLI.hpp>
#include <arpa/inet.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <map>

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

// A signed decimal from min to max.
std::int64_t parseSigned(const std::string& text, std::int64_t min, std::int64_t max, const std::string& expected)
{
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < min || value > max)
        throw BadValue{expected};
    return value;
}

// The size of a datagram a frame sends: at least a header, at most a KIV text message.
std::size_t parseAnswerSize(const std::string& text)
{
    const std::string expected = "a size from 28 to 32767 bytes";
    const std::uint64_t size = parseUnsigned(text, Morv::MAX_MESSAGE_SIZE, expected);
    if (size < Morv::HEADER_SIZE)
        throw BadValue{expected};
    return static_cast<std::size_t>(size);
}

double parseProbability(const std::string& text)
{
    return parseReal(text, 0.0, 1.0, "a probability from 0 to 1");
}

double parseMilliseconds(const std::string& text)
{
    return parseReal(text, 0.0, 3600000.0, "milliseconds from 0 to 3600000");
}

// Seconds since the start, as whole microseconds.
std::int64_t parseSeconds(const std::string& text)
{
    return std::llround(parseReal(text, 0.0, 31536000.0, "seconds from 0 to 31536000") * 1e6);
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

Malformed parseMalformed(const std::string& text)
{
    return parseChoice<Malformed>(text,
                                  {{"none", Malformed::None},
                                   {"length", Malformed::Length},
                                   {"long", Malformed::Long},
                                   {"short", Malformed::Short},
                                   {"command", Malformed::Command},
                                   {"length+1", Malformed::LengthPlusOne},
                                   {"length-1", Malformed::LengthMinusOne}},
                                  "length, length+1, length-1, long, short, command or none");
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
        {"ext-count", false,
         [](FrameSettings& s, const std::string& v) {
             s.extCount = static_cast<std::int16_t>(parseSigned(v, -32768, 32767, "a count from -32768 to 32767"));
         }},
        {"ext-size", false,
         [](FrameSettings& s, const std::string& v) {
             s.extSize = static_cast<std::uint16_t>(parseAnswerSize(v));
         }},
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
        {"ack-size", false,
         [](FrameSettings& s, const std::string& v) {
             s.ackSize = static_cast<std::uint16_t>(parseAnswerSize(v));
         }},
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
        {"drop", false, [](FrameSettings& s, const std::string& v) { s.faults.drop = parseProbability(v); }},
        {"drop-discovery", false,
         [](FrameSettings& s, const std::string& v) { s.faults.dropDiscovery = parseProbability(v); }},
        {"duplicate", false,
         [](FrameSettings& s, const std::string& v) {
             s.faults.duplicate = static_cast<unsigned>(parseUnsigned(v, 100, "a count from 0 to 100"));
         }},
        {"delay", false, [](FrameSettings& s, const std::string& v) { s.faults.delayMs = parseMilliseconds(v); }},
        {"jitter", false, [](FrameSettings& s, const std::string& v) { s.faults.jitterMs = parseMilliseconds(v); }},
        {"answer-from", false,
         [](FrameSettings& s, const std::string& v) {
             s.faults.answerFrom = static_cast<unsigned>(parseUnsigned(v, 1000000, "a count from 1 to 1000000"));
             if (s.faults.answerFrom == 0)
                 throw BadValue{"a count from 1 to 1000000"};
         }},
        {"discovery-from", false,
         [](FrameSettings& s, const std::string& v) {
             s.faults.discoveryFrom = static_cast<unsigned>(parseUnsigned(v, 1000000, "a count from 1 to 1000000"));
             if (s.faults.discoveryFrom == 0)
                 throw BadValue{"a count from 1 to 1000000"};
         }},
        {"malformed", false, [](FrameSettings& s, const std::string& v) { s.faults.malformed = parseMalformed(v); }},
        {"malformed-discovery", false,
         [](FrameSettings& s, const std::string& v) { s.faults.malformedDiscovery = parseMalformed(v); }},
        {"sequence", false,
         [](FrameSettings& s, const std::string& v) {
             s.faults.sequence = parseChoice<AnswerSequence>(v,
                                                      {{"request", AnswerSequence::Request},
                                                       {"next", AnswerSequence::Next},
                                                       {"older", AnswerSequence::Older},
                                                       {"zero", AnswerSequence::Zero}},
                                                      "request, next, older or zero");
         }},
        {"wrong-sequence", true,
         [](FrameSettings& s, const std::string& v) {
             s.faults.sequence = parseBool(v) ? AnswerSequence::Next : AnswerSequence::Request;
         }},
        {"to-discovery-id", true, [](FrameSettings& s, const std::string& v) { s.faults.toDiscoveryId = parseBool(v); }},
        {"broadcast-replies", true,
         [](FrameSettings& s, const std::string& v) { s.faults.broadcastReplies = parseBool(v); }},
        {"meter-motion", true, [](FrameSettings& s, const std::string& v) { s.show.meterMotion = parseBool(v); }},
        {"join-after", false, [](FrameSettings& s, const std::string& v) { s.show.joinAfterUs = parseSeconds(v); }},
        {"silent-from", false, [](FrameSettings& s, const std::string& v) { s.show.silentFromUs = parseSeconds(v); }},
        {"silent-for", false, [](FrameSettings& s, const std::string& v) { s.show.silentForUs = parseSeconds(v); }},
        {"change-at", false, [](FrameSettings& s, const std::string& v) { s.show.changeAtUs = parseSeconds(v); }},
        {"changed-flags", false, [](FrameSettings& s, const std::string& v) { s.show.changedFlags = parseWord(v); }},
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

// A frame's show needs both halves of a pair: the silent window its start,
// a change its new flags and its time. `prefix` names the options ("--") or
// the keys of a --frame spec.
void checkShow(const Show& show, const std::string& where, const std::string& prefix)
{
    const auto refuse = [&](const std::string& given, const std::string& needed) {
        throw UsageError(where + prefix + given + " needs " + prefix + needed);
    };
    if (show.silentForUs && !show.silentFromUs)
        refuse("silent-for", "silent-from");
    if (show.changeAtUs && !show.changedFlags)
        refuse("change-at", "changed-flags");
    if (show.changedFlags && !show.changeAtUs)
        refuse("changed-flags", "change-at");
}

} // namespace

Options parseCommandLine(int argc, const char* const* argv)
{
    Options options;
    std::vector<std::string> frameSpecs;

    CLI::App app("Emulates KIV amplifier frames on loopback", "kivframe");
    app.set_help_flag("--help", "this text");
    // Unknown options and stray arguments are left over and refused below
    // with messages that name them.
    app.allow_extras();
    // Every occurrence is kept: values apply in command-line order, so the
    // last of an option wins, and --wrong-sequence and --sequence override
    // each other in the order given.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);

    struct Handler {
        std::function<void(const std::string&)> apply;
        bool flag = false;
        bool file = false;     // the value names a file
        bool anyText = false;  // the value may start with "--"
    };
    std::map<const CLI::Option*, Handler> handlers;
    const auto value = [&](const std::string& name, std::function<void(const std::string&)> apply,
                           bool file = false) {
        handlers[app.add_option("--" + name)] = Handler{std::move(apply), false, file, name == "reply-text"};
    };
    const auto flag = [&](const std::string& name, std::function<void(const std::string&)> apply) {
        handlers[app.add_flag("--" + name)] = Handler{std::move(apply), true, false, false};
    };

    for (const FrameOption& option : frameOptions()) {
        auto apply = [&options, &option](const std::string& v) { option.apply(options.defaults, v); };
        if (option.flag)
            flag(option.name, apply);
        else
            value(option.name, apply);
    }
    value("frames", [&](const std::string& v) {
        options.frames = static_cast<unsigned>(parseUnsigned(v, 1000000, "a count from 0 to 1000000"));
    });
    value("address", [&](const std::string& v) { options.address = parseAddress(v); });
    value("per-address", [&](const std::string& v) {
        options.perAddress = static_cast<unsigned>(parseUnsigned(v, 1000000, "a count from 1 to 1000000"));
        if (options.perAddress == 0)
            throw BadValue{"a count from 1 to 1000000"};
    });
    value("id", [&](const std::string& v) { options.id = parseId(v); });
    value("frame", [&](const std::string& v) { frameSpecs.push_back(v); });
    value("faulty", [&](const std::string& v) {
        options.faulty = parseReal(v, 0.0, 1.0, "a share from 0 to 1 (0.1 for 10 % of the frames)");
    });
    value("pace", [&](const std::string& v) {
        options.paceUs = static_cast<unsigned>(parseUnsigned(v, 1000000, "microseconds from 0 to 1000000"));
    });
    value("duration", [&](const std::string& v) {
        options.durationS = parseReal(v, 0.0, 31536000.0, "seconds above 0");
        if (*options.durationS <= 0.0)
            throw BadValue{"seconds above 0"};
    });
    value("log", [&](const std::string& v) { options.logPath = v; }, true);
    value("pcap", [&](const std::string& v) { options.pcapPath = v; }, true);
    value("ready-file", [&](const std::string& v) { options.readyFile = v; }, true);
    value("seed", [&](const std::string& v) {
        options.seed = parseUnsigned(v, std::numeric_limits<std::uint64_t>::max(), "a number");
    });
    flag("quiet", [&](const std::string& v) { options.quiet = parseBool(v); });

    // CLI11 takes the arguments after a bare "--" as positionals; there are
    // none. It reads "--name=" as "--name" with the next argument for its
    // value; here "--name=" gives the empty value, as --reply-text= needs.
    std::vector<std::string> args; // in reverse, as CLI11 takes them
    for (int i = argc - 1; i >= 1; --i) {
        const std::string arg = argv[i];
        if (arg == "--")
            throw UsageError("unexpected argument '--'");
        const auto handler = arg.size() > 3 && arg.back() == '='
                                 ? handlers.find(app.get_option_no_throw(arg.substr(0, arg.size() - 1)))
                                 : handlers.end();
        if (handler != handlers.end() && !handler->second.flag) {
            args.emplace_back();
            args.push_back(arg.substr(0, arg.size() - 1));
        } else {
            args.push_back(arg);
        }
    }
    try {
        app.parse(args);
    } catch (const CLI::CallForHelp&) {
        options.help = true;
        return options;
    } catch (const CLI::ArgumentMismatch& error) {
        // An option that takes a value ended the command line ("--pace: 1 required ...").
        const std::string what = error.what();
        throw UsageError(what.substr(0, what.find(':')) + ": missing value");
    } catch (const CLI::ParseError& error) {
        throw UsageError(error.what());
    }
    // Values in command-line order. First the forgotten ones: in "--log
    // --quiet" the next option was taken for the value, and what follows it
    // is left over.
    std::vector<std::pair<const CLI::Option*, std::string>> given;
    std::map<const CLI::Option*, std::size_t> occurrences;
    for (const CLI::Option* option : app.parse_order()) {
        const std::string& v = option->results().at(occurrences[option]++);
        const Handler& handler = handlers.at(option);
        if (!handler.flag && !handler.anyText && v.rfind("--", 0) == 0)
            throw UsageError(option->get_name() + ": missing value (got the option '" + v + "')");
        given.emplace_back(option, v);
    }
    for (const std::string& extra : app.remaining()) {
        if (extra.rfind("--", 0) == 0)
            throw UsageError("unknown option '" + extra.substr(0, extra.find('=')) + "'");
        throw UsageError("unexpected argument '" + extra + "'");
    }
    for (const auto& [option, v] : given) {
        const std::string name = option->get_name();
        const Handler& handler = handlers.at(option);
        if (handler.file && v.empty())
            throw UsageError(name + ": missing file name");
        try {
            handler.apply(v);
        } catch (const BadValue& error) {
            throw UsageError(badValue(name, v, error));
        }
    }

    // Per-frame options apply to every frame, so --frame specs start from the
    // defaults of the whole command line, wherever they stand in it. With
    // --faulty those faults belong to the drawn share: a spec starts without.
    FrameSettings specDefaults = options.defaults;
    if (options.faulty)
        specDefaults.faults = Faults{};
    for (const auto& spec : frameSpecs)
        options.extraFrames.push_back(parseFrameSpec(spec, specDefaults));

    if (options.frames == 0 && options.extraFrames.empty())
        throw UsageError("--frames 0: no frame to emulate; give at least one --frame, or --frames 1 or more");
    if (options.faulty && options.frames == 0)
        throw UsageError("--faulty: it picks among the --frames frames, and --frames is 0");
    if (options.faulty && options.defaults.faults == Faults{})
        throw UsageError("--faulty: no fault to apply; give fault options too, such as --drop 1 or --delay 500");
    if (options.frames > 0)
        checkShow(options.defaults.show, "", "--");
    for (std::size_t i = 0; i < options.extraFrames.size(); ++i)
        checkShow(options.extraFrames[i].settings.show, "--frame #" + std::to_string(i + 1) + ": ", "");
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
  --ext-count N           count word (offset 28) of that message, -32768..32767
                          (default 1; 0 or less: a frame whose wrapper is empty)
  --ext-size N            size of that message, 28..32767 (default 436); below
                          132 the carried reply is cut off, and the checksum word
                          is left out where it would overlap the carried reply
  --reply KIND            answer to command-701 requests (default auto):
                            auto   a meter record for a meter-data query, else an Ack
                            ack    an Ack (command 2, 36 bytes)
                            text   a command-701 reply with --reply-text
                            meter  a command-701 reply with a meter record
                            none   no answer (the frame still answers discovery)
  --ack-status N          status word of Acks (default 0xfffffffe, success)
  --ack-size N            size of Acks, 28..32767 (default 36); below 36 the Ack
                          is cut short (no checksum word, below 32 no whole status)
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
                          4 more than the datagram), length+1, length-1 (length
                          field one more or one less than the datagram), long
                          (datagram 4 bytes longer than its length field), short
                          (only the first 20 bytes), command (command 4 instead
                          of 2 or 701)
  --malformed-discovery KIND
                          the same for answers to discovery (command: 2 instead
                          of 4 or 5)
  --sequence KIND         the sequence number answers carry: request (default),
                          next (the request's + 1), zero, or older: that of the
                          request the frame heard before this one, discovery
                          included (a retransmission is the same request; the
                          request's - 1 when there was none)
  --wrong-sequence        the same as --sequence next
  --to-discovery-id       answers are addressed to fffffffe:fffffffd (every
                          frame) instead of the requester
  --broadcast-replies     every answer goes to 255.255.255.255 on the port it
                          would have gone to
  --faulty P              only a share P (0..1) of the --frames frames has the
                          faults above, P * N frames rounded, drawn with --seed;
                          the others answer without faults. Frames given with
                          --frame have only the faults their spec gives them.
                          Not per frame
  Drops and jitter come from a random generator per frame, seeded from --seed
  and the frame's number, so a run with the same requests is repeatable.

Show (per frame; S: seconds since the start, fractions allowed):
  --meter-motion          meter records move over time (the rule below)
  --join-after S          answer nothing, neither discovery nor requests, before S
  --silent-from S         answer nothing from S on, for --silent-for seconds
  --silent-for S          length of that silence (default: to the end of the run)
  --change-at S           from S on, the status flag word is --changed-flags
  --changed-flags N       the status flag word from --change-at on
  A frame that has not joined yet or is silent hears nothing either: requests
  then count neither for --answer-from nor for --discovery-from. Its answers
  still waiting when it falls silent are not sent.

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
A value follows its option as the next argument or after '=' (--frames=5); only
--reply-text takes a value that starts with "--".

Frame numbers and meter records:
  Frames are numbered from 0: first the --frames frames, then the --frame ones.
  Frame k (0-based) has address A + k / K. Byte i (0-based) of the meter record of
  frame number f is (f * 7 + i * 13 + 5) & 0xff, unless --meter-fill is given.
  Records are 48, 84 or 104 bytes for versions 1, 2 and 3, at offset 28 of the reply.
  With --meter-motion, byte i is P when P < 256, else 511 - P, where
  P = (B + 3 * (t / 100000)) % 512 (integer division), B is the byte without
  motion and t the microseconds since the start when the answer leaves: the
  t_us of its line in the log. Every byte runs up and down between 0 and 255
  and changes every 0.1 s.

Log (--log FILE), one JSON object per line, flushed at least every 100 ms:
  {"t_us":0,"event":"start","frames":N}                         first line
  {"t_us":0,"event":"faulty","frame":F,"address":A}             with --faulty, one
                                                                 per faulty frame
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

Once ready it prints "kivframe: N frames ready on FIRST-LAST" to standard error,
after the faulty frames of --faulty (unless --quiet); at the end a summary
(unless --quiet).

Exit status: 0 after --help or a normal stop (--duration, SIGINT, SIGTERM); 1
when the sockets, the log, the capture or the ready file fail (cannot be opened
or written); 2 for a bad command line.
)";
}

} // namespace KivFrame
