// Writes the seed corpus of every fuzz target: real datagrams, built by the
// tools' own builders and by kivframe's answer builder with its faults, in
// each target's input format (Fixtures.h).
//   kiv_fuzz_seeds DIR          writes DIR/<target>/<seed>
//   kiv_fuzz_seeds --check DIR  exit 1 unless DIR holds exactly those files

#include "Fixtures.h"

#include "Morv/Message.h"
#include "Morv/Wire.h"
#include "apps/kivframe/Answers.h"
#include "apps/kivframe/FrameTable.h"
#include "apps/kivframe/Settings.h"
#include "apps/kivprobe/ProbeWire.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

using namespace KivFuzz;
using Bytes = std::vector<char>;

namespace {

// Target -> seed name -> input.
using Corpus = std::map<std::string, std::map<std::string, Bytes>>;

constexpr std::uint64_t CONTROLLER_ID = 0x0000000011223344ULL;

// A frame as kivframe plays it, with settings changed by `change`.
struct PlayedFrame {
    KivFrame::FrameSettings settings;
    KivFrame::Frame frame;

    PlayedFrame(std::uint64_t id, const std::function<void(KivFrame::FrameSettings&)>& change = {})
    {
        if (change)
            change(settings);
        frame.id = id;
        frame.settings = &settings;
    }
    PlayedFrame(const PlayedFrame&) = delete;
    PlayedFrame& operator=(const PlayedFrame&) = delete;

    Bytes answer(KivFrame::AnswerKind kind, std::uint32_t sequence, std::uint64_t requester, int meterVersion = 1) const
    {
        KivFrame::Reply reply;
        reply.kind = kind;
        reply.meterVersion = static_cast<std::uint8_t>(meterVersion);
        reply.requestSequence = sequence;
        reply.earlierSequence = sequence - 1;
        reply.requesterId = requester;
        Bytes out(KivFrame::MAX_ANSWER_SIZE);
        out.resize(KivFrame::buildAnswer(frame, reply, out.data()));
        return out;
    }
};

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes textRequest(const std::string& text, std::uint64_t destination, std::uint32_t sequence)
{
    const Morv::KivMessage message(text, CONTROLLER_ID, Morv::NODE_TYPE_CONTROLLER, destination,
                                   Morv::NODE_TYPE_FRAME);
    Bytes bytes = message.bytes();
    Morv::storeU32(bytes.data(), Morv::OFFSET_SEQUENCE, sequence);
    Morv::storeChecksum(bytes.data(), bytes.size());
    return bytes;
}

Bytes discoveryRequest(std::uint64_t source, std::uint32_t sequence)
{
    Bytes bytes(Morv::BROADCAST_ID_SIZE);
    Morv::buildBroadcastIdRequest(bytes.data(), source, Morv::NODE_TYPE_CONTROLLER, sequence);
    return bytes;
}

// Frame-list input: one record per datagram.
Bytes record(std::uint32_t source, const Bytes& datagram)
{
    Bytes out{static_cast<char>(source & 0xFF), static_cast<char>(datagram.size() & 0xFF),
              static_cast<char>(datagram.size() >> 8)};
    return out + datagram;
}

void frameListSeeds(std::map<std::string, Bytes>& seeds)
{
    using KivFrame::AnswerKind;
    using S = KivFrame::FrameSettings;
    const PlayedFrame a(FRAME_A);
    const PlayedFrame b(FRAME_B, [](S& s) {
        s.flags = 0x02;
        s.nodeType = 0x8005;
    });
    const PlayedFrame c(FRAME_C, [](S& s) {
        s.nodeType = 8;
        s.ext = true;
    });
    const PlayedFrame d(0x00A0000000000010ULL, [](S& s) { s.stamp48 = 5; });
    const PlayedFrame changedA(FRAME_A, [](S& s) { s.stamp60 = 9; });
    const PlayedFrame specialA(FRAME_A, [](S& s) { s.flags = 0x10; });
    const PlayedFrame shortAck(FRAME_A, [](S& s) { s.ackSize = 29; });
    const PlayedFrame plusOne(FRAME_A, [](S& s) { s.faults.malformed = KivFrame::Malformed::LengthPlusOne; });
    const PlayedFrame minusOne(FRAME_C, [](S& s) { s.faults.malformed = KivFrame::Malformed::LengthMinusOne; });
    const PlayedFrame emptyWrapper(0x00A0000000000011ULL, [](S& s) {
        s.ext = true;
        s.extCount = 0;
    });
    const PlayedFrame cutWrapper(0x00A0000000000012ULL, [](S& s) {
        s.ext = true;
        s.extSize = 435;
    });
    const PlayedFrame zero(0, [](S&) {});
    const PlayedFrame everyFrame(Morv::DISCOVERY_ID, [](S& s) { s.flags = 0x02; });
    const PlayedFrame text(FRAME_B, [](S& s) {
        s.reply = KivFrame::ReplyKind::Text;
        s.replyText = "Preset 4";
    });

    seeds["new-frame"] = record(5, d.answer(AnswerKind::Discovery, 7, CONTROLLER_ID));
    seeds["new-frame-wrapped"] = record(6, emptyWrapper.answer(AnswerKind::Discovery, 7, CONTROLLER_ID)) +
                                 record(7, cutWrapper.answer(AnswerKind::Discovery, 7, CONTROLLER_ID)) +
                                 record(8, c.answer(AnswerKind::Discovery, 7, CONTROLLER_ID));
    seeds["state-and-stamp-change"] = record(2, changedA.answer(AnswerKind::Discovery, 8, CONTROLLER_ID)) +
                                      record(2, specialA.answer(AnswerKind::Discovery, 9, CONTROLLER_ID)) +
                                      record(2, a.answer(AnswerKind::Discovery, 10, CONTROLLER_ID));
    seeds["answers-to-every-request"] = record(2, a.answer(AnswerKind::Ack, 1, CONTROLLER_ID)) +
                                        record(3, text.answer(AnswerKind::Text, 2, CONTROLLER_ID)) +
                                        record(4, c.answer(AnswerKind::Meter, 0x00010000, CONTROLLER_ID, 3)) +
                                        record(2, a.answer(AnswerKind::Ack, 0xFFFFFFFF, CONTROLLER_ID)) +
                                        record(2, a.answer(AnswerKind::Ack, 0, CONTROLLER_ID));
    seeds["duplicate-answers"] = record(2, a.answer(AnswerKind::Ack, 1, CONTROLLER_ID)) +
                                 record(2, a.answer(AnswerKind::Ack, 1, CONTROLLER_ID));
    seeds["malformed-answers"] = record(2, shortAck.answer(AnswerKind::Ack, 1, CONTROLLER_ID)) +
                                 record(2, plusOne.answer(AnswerKind::Ack, 1, CONTROLLER_ID)) +
                                 record(4, minusOne.answer(AnswerKind::Ack, 0x00010000, CONTROLLER_ID));
    seeds["reserved-ids"] = record(9, zero.answer(AnswerKind::Discovery, 7, CONTROLLER_ID)) +
                            record(10, everyFrame.answer(AnswerKind::Discovery, 7, CONTROLLER_ID));
    seeds["unsolicited-from-unknown"] = record(11, d.answer(AnswerKind::Ack, 77, CONTROLLER_ID));
    seeds["special-state-frame-answers"] = record(3, b.answer(AnswerKind::Discovery, 7, CONTROLLER_ID)) +
                                           record(3, b.answer(AnswerKind::Ack, 2, Morv::DISCOVERY_ID));
}

// Probe input: sender, the datagram's size when padded, the datagram.
Bytes probeInput(std::uint8_t sender, const Bytes& datagram, std::size_t padTo = 0)
{
    Bytes out{static_cast<char>(sender), static_cast<char>(padTo & 0xFF), static_cast<char>(padTo >> 8)};
    return out + datagram;
}

void probeSeeds(std::map<std::string, Bytes>& seeds)
{
    using KivFrame::AnswerKind;
    using S = KivFrame::FrameSettings;
    constexpr std::uint64_t WANTED = 0x00A0000000000001ULL;
    const PlayedFrame frame(WANTED);
    const PlayedFrame wrapped(WANTED, [](S& s) { s.ext = true; });
    const PlayedFrame toAll(WANTED, [](S& s) { s.faults.toDiscoveryId = true; });
    const PlayedFrame failing(WANTED, [](S& s) { s.ackStatus = 0xFFFFFFFF; });
    const PlayedFrame shortAck(WANTED, [](S& s) { s.ackSize = 29; });
    const PlayedFrame text(WANTED, [](S& s) {
        s.reply = KivFrame::ReplyKind::Text;
        s.replyText = "B\xc3\xbchne 1 \x1b[2J\\x41\xc2\x9b\xff";
    });
    const PlayedFrame plusOne(WANTED, [](S& s) { s.faults.malformed = KivFrame::Malformed::LengthPlusOne; });
    const PlayedFrame minusOne(WANTED, [](S& s) { s.faults.malformedDiscovery = KivFrame::Malformed::LengthMinusOne; });

    seeds["discovery-reply"] = probeInput(2, frame.answer(AnswerKind::Discovery, 1, PROBE_ID));
    seeds["discovery-reply-wrapped"] = probeInput(2, wrapped.answer(AnswerKind::Discovery, 1, Morv::DISCOVERY_ID));
    seeds["discovery-reply-to-every-frame"] = probeInput(2, toAll.answer(AnswerKind::Discovery, 1, PROBE_ID));
    seeds["discovery-reply-length-minus-one"] = probeInput(2, minusOne.answer(AnswerKind::Discovery, 1, PROBE_ID));
    seeds["from-own-interface"] = probeInput(0, frame.answer(AnswerKind::Discovery, 1, PROBE_ID));
    seeds["ack"] = probeInput(2, frame.answer(AnswerKind::Ack, PROBE_TEXT_SEQUENCE, PROBE_ID));
    seeds["ack-failed"] = probeInput(2, failing.answer(AnswerKind::Ack, PROBE_TEXT_SEQUENCE, PROBE_ID));
    seeds["ack-short"] = probeInput(2, shortAck.answer(AnswerKind::Ack, PROBE_TEXT_SEQUENCE, PROBE_ID));
    seeds["ack-length-plus-one"] = probeInput(2, plusOne.answer(AnswerKind::Ack, PROBE_TEXT_SEQUENCE, PROBE_ID));
    seeds["ack-to-every-frame"] = probeInput(2, toAll.answer(AnswerKind::Ack, PROBE_TEXT_SEQUENCE, PROBE_ID));
    seeds["text-reply"] = probeInput(2, text.answer(AnswerKind::Text, PROBE_TEXT_SEQUENCE, PROBE_ID));
    seeds["meter-reply"] = probeInput(2, frame.answer(AnswerKind::Meter, PROBE_TEXT_SEQUENCE, PROBE_ID, 3));
    // Larger than the buffer: its length field, read unsigned, equals its size.
    Bytes large = text.answer(AnswerKind::Text, PROBE_TEXT_SEQUENCE, PROBE_ID);
    Morv::storeU16(large.data(), Morv::OFFSET_LENGTH, 40000);
    seeds["larger-than-the-buffer"] = probeInput(2, large, 40000);
}

// Request-parser input: where the datagram went, who sent it, the datagram.
Bytes requestInput(std::uint8_t local, std::uint8_t peer, const Bytes& datagram)
{
    return Bytes{static_cast<char>(local), static_cast<char>(peer)} + datagram;
}

void kivframeRequestSeeds(std::map<std::string, Bytes>& seeds)
{
    constexpr std::uint8_t BROADCAST = 0xFF;
    constexpr std::uint8_t LOOPBACK_BROADCAST = 0xFE;
    constexpr std::uint64_t FIRST = 0x00A0000000000001ULL;
    seeds["discovery-broadcast"] = requestInput(BROADCAST, 1, discoveryRequest(CONTROLLER_ID, 1));
    seeds["discovery-loopback-broadcast"] = requestInput(LOOPBACK_BROADCAST, 1, discoveryRequest(CONTROLLER_ID, 1));
    seeds["discovery-shared-address"] = requestInput(2, 1, discoveryRequest(CONTROLLER_ID, 2));
    seeds["discovery-one-frame"] = requestInput(9, 1, discoveryRequest(CONTROLLER_ID, 3));
    seeds["discovery-nobody"] = requestInput(77, 1, discoveryRequest(CONTROLLER_ID, 4));
    const std::pair<const char*, std::string> texts[] = {
        {"power", "Dev.Power=1"}, {"meter-v1", "M?"},          {"meter-v2", "Dev.MD.FullBin?2"},
        {"meter-v3", "NM?"},      {"meter-v3-long", "M?3x"},   {"empty", ""},
    };
    for (const auto& [name, text] : texts)
        seeds[std::string("text-") + name] = requestInput(2, 1, textRequest(text, FIRST + 1, 10));
    // The extra frames, each answering by another builder path.
    for (std::uint32_t i = 0; i <= 6; ++i)
        seeds["text-extra-frame-" + std::to_string(i + 1)] =
            requestInput(static_cast<std::uint8_t>(9 + i), 1, textRequest("M?2", FIRST + i, 20 + i));
    seeds["text-by-broadcast"] = requestInput(BROADCAST, 1, textRequest("Dev.Reset", FIRST, 30));
    Bytes probe(Morv::PROBE_TEXT_MESSAGE_SIZE);
    Probe::buildTextMessage(probe.data(), "Dev.Status?", PROBE_ID, FIRST, Morv::NODE_TYPE_FRAME, 2);
    seeds["probe-text"] = requestInput(2, 1, probe);
    // An answer of frame 1 come back from its own address, and one from elsewhere.
    const PlayedFrame frame(FIRST);
    const Bytes ack = frame.answer(KivFrame::AnswerKind::Ack, 5, CONTROLLER_ID);
    seeds["own-answer"] = requestInput(BROADCAST, 2, ack);
    seeds["answer-from-elsewhere"] = requestInput(BROADCAST, 1, ack);
    seeds["too-short"] = requestInput(2, 1, Bytes(20, 'x'));
    Bytes unterminated = textRequest("M?", FIRST, 40);
    unterminated.resize(Morv::OFFSET_BODY + 2);
    seeds["text-without-nul"] = requestInput(2, 1, unterminated);
}

// Response input: the sent text (low two bits: plain, M?, Dev.MD.FullBin?2,
// NM?) and the outcome (next two bits: success, timed out, transmission
// failed, unknown), then the reply.
Bytes responseInput(std::uint8_t sent, std::uint8_t outcome, const Bytes& reply)
{
    return Bytes{static_cast<char>(sent | (outcome << 2))} + reply;
}

void kivcastResponseSeeds(std::map<std::string, Bytes>& seeds)
{
    using KivFrame::AnswerKind;
    using S = KivFrame::FrameSettings;
    constexpr std::uint64_t FRAME = 0x0012AB3400000001ULL;
    const PlayedFrame frame(FRAME);
    const PlayedFrame failing(FRAME, [](S& s) { s.ackStatus = 5; });
    const PlayedFrame shortAck(FRAME, [](S& s) { s.ackSize = 30; });
    const PlayedFrame plusOne(FRAME, [](S& s) { s.faults.malformed = KivFrame::Malformed::LengthPlusOne; });
    const PlayedFrame minusOne(FRAME, [](S& s) { s.faults.malformed = KivFrame::Malformed::LengthMinusOne; });
    const PlayedFrame command(FRAME, [](S& s) { s.faults.malformed = KivFrame::Malformed::Command; });
    const PlayedFrame text(FRAME, [](S& s) {
        s.reply = KivFrame::ReplyKind::Text;
        s.replyText = "B\xc3\xbchne 1 \x1b[2J\\x41\xc2\x9b\xff\x7f\n";
    });
    const PlayedFrame emptyText(FRAME, [](S& s) {
        s.reply = KivFrame::ReplyKind::Text;
        s.replyText = "";
    });

    seeds["ack"] = responseInput(0, 0, frame.answer(AnswerKind::Ack, 1, CONTROLLER_ID));
    seeds["ack-failed"] = responseInput(0, 0, failing.answer(AnswerKind::Ack, 1, CONTROLLER_ID));
    seeds["ack-short"] = responseInput(0, 0, shortAck.answer(AnswerKind::Ack, 1, CONTROLLER_ID));
    seeds["ack-length-plus-one"] = responseInput(0, 0, plusOne.answer(AnswerKind::Ack, 1, CONTROLLER_ID));
    seeds["ack-length-minus-one"] = responseInput(0, 0, minusOne.answer(AnswerKind::Ack, 1, CONTROLLER_ID));
    seeds["wrong-command"] = responseInput(0, 0, command.answer(AnswerKind::Ack, 1, CONTROLLER_ID));
    seeds["text"] = responseInput(0, 0, text.answer(AnswerKind::Text, 1, CONTROLLER_ID));
    seeds["text-empty"] = responseInput(0, 0, emptyText.answer(AnswerKind::Text, 1, CONTROLLER_ID));
    Bytes headerOnly = emptyText.answer(AnswerKind::Text, 1, CONTROLLER_ID);
    headerOnly.resize(Morv::HEADER_SIZE);
    Morv::storeU16(headerOnly.data(), Morv::OFFSET_LENGTH, Morv::HEADER_SIZE);
    seeds["text-header-only"] = responseInput(0, 0, headerOnly);
    for (int version = 1; version <= 3; ++version) {
        const std::string v = std::to_string(version);
        const auto sent = static_cast<std::uint8_t>(version);
        seeds["meter-v" + v] = responseInput(sent, 0, frame.answer(AnswerKind::Meter, 1, CONTROLLER_ID, version));
        seeds["meter-v" + v + "-as-text"] =
            responseInput(0, 0, frame.answer(AnswerKind::Meter, 1, CONTROLLER_ID, version));
    }
    seeds["meter-v1-for-a-v3-query"] = responseInput(3, 0, frame.answer(AnswerKind::Meter, 1, CONTROLLER_ID, 1));
    seeds["timed-out"] = responseInput(0, 1, {});
    seeds["transmission-failed"] = responseInput(0, 2, {});
    seeds["unknown-outcome"] = responseInput(0, 3, {});
}

Bytes argv(std::initializer_list<std::string> args)
{
    Bytes out;
    for (const auto& arg : args) {
        if (!out.empty())
            out.push_back('\0');
        out.insert(out.end(), arg.begin(), arg.end());
    }
    return out;
}

void commandLineSeeds(std::map<std::string, Bytes>& seeds)
{
    seeds["nothing"] = Bytes{};
    seeds["address-only"] = argv({"10.0.0.5"});
    seeds["message"] = argv({"10.0.0.5", "Dev.Status?"});
    seeds["dynamic-as-message"] = argv({"10.0.0.5", "-dynamic"});
    seeds["dynamic"] = argv({"10.0.0.5", "-dynamic", "Dev.Reset"});
    seeds["frame-id"] = argv({"10.0.0.5", "0012ab34:00000001", "Dev.Power=1"});
    seeds["frame-id-dynamic-upper-case"] = argv({"10.0.0.5", "-dynamic", "0012AB34:0000000A", "M?3"});
    seeds["frame-id-alone"] = argv({"10.0.0.5", "0012ab34:00000001"});
    seeds["frame-id-without-colon"] = argv({"10.0.0.5", "0012ab34-00000001", "x"});
    seeds["frame-id-bad-digit"] = argv({"10.0.0.5", "0012ab3g:00000001", "x"});
    seeds["frame-id-zero"] = argv({"10.0.0.5", "00000000:00000000", "Dev.Reset"});
    seeds["frame-id-second-colon"] = argv({"10.0.0.5", "12345678:9abcdef:", "x", "ignored"});
}

// A request head for the dashboard's rules: flags, then NUL-separated fields.
Bytes request(std::uint8_t flags, std::initializer_list<std::string> fields)
{
    Bytes b{static_cast<char>(flags)};
    bool first = true;
    for (const std::string& f : fields) {
        if (!first)
            b.push_back(0);
        first = false;
        b.insert(b.end(), f.begin(), f.end());
    }
    return b;
}

void dashboardRequestSeeds(std::map<std::string, Bytes>& seeds)
{
    constexpr std::uint8_t TOKEN = 1, EVERYWHERE = 2, UPGRADE = 4, HOST = 8, ORIGIN = 16;
    seeds["page"] = request(HOST, {"GET", "/", "127.0.0.1:8080"});
    seeds["page-head-localhost"] = request(HOST, {"HEAD", "/index.html", "localhost:8080"});
    seeds["page-token-query"] = request(TOKEN | HOST, {"GET", "/?token=s3cret-token", "127.0.0.1:8080"});
    seeds["script-token-cookie"] =
        request(TOKEN | HOST, {"GET", "/dashboard.js", "127.0.0.1:8080", "", "", "a=1; kivwatch_token=s3cret-token"});
    seeds["frames-bearer"] =
        request(TOKEN | EVERYWHERE | HOST, {"GET", "/api/frames", "10.0.0.5:8080", "", "Bearer s3cret-token"});
    seeds["frames-wrong-token"] =
        request(TOKEN | HOST, {"GET", "/api/frames", "127.0.0.1:8080", "", "Bearer s3cret-tokem"});
    seeds["events-own-origin"] =
        request(UPGRADE | HOST | ORIGIN, {"GET", "/events", "127.0.0.1:8080", "http://127.0.0.1:8080"});
    seeds["events-foreign-origin"] =
        request(UPGRADE | HOST | ORIGIN, {"GET", "/events", "127.0.0.1:8080", "http://evil.example"});
    seeds["foreign-host"] = request(HOST, {"GET", "/", "rebound.example:8080"});
    seeds["no-host"] = request(0, {"GET", "/"});
    seeds["dot-dot"] = request(HOST, {"GET", "/../../etc/passwd", "127.0.0.1:8080"});
    seeds["dot-dot-encoded"] = request(HOST, {"GET", "/%2e%2e/%2e%2e/etc/passwd", "127.0.0.1:8080"});
    seeds["post"] = request(HOST, {"POST", "/api/frames", "127.0.0.1:8080"});
}

Corpus corpus()
{
    Corpus c;
    frameListSeeds(c["frame_list"]);
    probeSeeds(c["kivprobe"]);
    kivframeRequestSeeds(c["kivframe_request"]);
    commandLineSeeds(c["kivcast_command_line"]);
    kivcastResponseSeeds(c["kivcast_response"]);
    dashboardRequestSeeds(c["dashboard_request"]);
    return c;
}

Bytes readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Lists every difference between the corpus and the directory; true when there is none.
bool check(const Corpus& c, const std::filesystem::path& dir)
{
    namespace fs = std::filesystem;
    bool same = true;
    for (const auto& [target, seeds] : c) {
        for (const auto& [name, bytes] : seeds) {
            const fs::path path = dir / target / name;
            if (!fs::is_regular_file(path) || readFile(path) != bytes) {
                std::fprintf(stderr, "kiv_fuzz_seeds: %s is missing or differs\n", path.c_str());
                same = false;
            }
        }
        if (fs::is_directory(dir / target))
            for (const auto& entry : fs::directory_iterator(dir / target))
                if (seeds.count(entry.path().filename().string()) == 0) {
                    std::fprintf(stderr, "kiv_fuzz_seeds: %s is no seed\n", entry.path().c_str());
                    same = false;
                }
    }
    if (!same)
        std::fprintf(stderr, "kiv_fuzz_seeds: rewrite the corpus with kiv_fuzz_seeds %s\n", dir.c_str());
    return same;
}

bool write(const Corpus& c, const std::filesystem::path& dir)
{
    namespace fs = std::filesystem;
    for (const auto& [target, seeds] : c) {
        fs::remove_all(dir / target);
        fs::create_directories(dir / target);
        for (const auto& [name, bytes] : seeds) {
            std::ofstream out(dir / target / name, std::ios::binary);
            out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            if (!out) {
                std::fprintf(stderr, "kiv_fuzz_seeds: cannot write %s\n", (dir / target / name).c_str());
                return false;
            }
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--check") == 0)
        return check(corpus(), argv[2]) ? 0 : 1;
    if (argc == 2)
        return write(corpus(), argv[1]) ? 0 : 1;
    std::fprintf(stderr, "usage: kiv_fuzz_seeds [--check] DIR\n");
    return 2;
}
