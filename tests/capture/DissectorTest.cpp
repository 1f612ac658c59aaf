// The Wireshark dissector, run by tshark on captures made in the test's
// private namespace: a live capture of loopback while kivcast and kivprobe talk
// to kivframe, and kivframe's own --pcap file. For every datagram the fields
// the dissector shows must agree with kivframe's JSON log and with what the
// wire-format code reads from the logged bytes; truncated and malformed
// datagrams are decoded as far as they go, without a Lua error.

#include "Requests.h"
#include "Tshark.h"
#include "UdpPeer.h"

#include "apps/kivcast/MeterData.h"
#include "common/TextEscape.h"
#include "support/EmulatorLog.h"
#include "support/Messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <thread>
#include <tuple>

using namespace kivtest;
using namespace std::chrono_literals;

namespace {

// The tests' own marker datagrams go to this port, which kivframe does not use.
constexpr std::uint16_t MARKER_PORT = 6000;

std::string hex16(unsigned v)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", v);
    return text;
}

std::string hex32(std::uint32_t v)
{
    char text[12];
    std::snprintf(text, sizeof text, "0x%08x", v);
    return text;
}

std::string hexBytes(const std::vector<unsigned char>& bytes)
{
    std::string out;
    char digits[3];
    for (const auto b : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", b);
        out += digits;
    }
    return out;
}

std::optional<std::string> when(bool present, const std::string& value)
{
    return present ? std::optional<std::string>(value) : std::nullopt;
}

// A body that reads as text: valid UTF-8 without controls but tab, CR and LF
// up to a NUL, zeros after it.
bool looksLikeText(const char* body, std::size_t size)
{
    const auto nul = std::find(body, body + size, '\0');
    if (size > 0 && nul == body + size)
        return false;
    const std::string_view text(body, static_cast<std::size_t>(nul - body));
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        const std::size_t length = TextEscape::utf8SequenceLength(text.substr(i));
        const bool control = (length == 1 && (b < 0x20 || b == 0x7F) && b != '\t' && b != '\r' && b != '\n') ||
                             (length == 2 && b == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0);
        if (length == 0 || control)
            return false;
        i += length;
    }
    return std::all_of(nul, body + size, [](char c) { return c == '\0'; });
}

// Meter-data queries seen so far in a capture: the version each one asks for,
// by addressed frame and sequence number.
using MeterQueries = std::map<std::pair<std::string, std::uint32_t>, int>;

// What sets the dissector apart from the rest of tshark: its own fields, with
// no Lua error.
void expectNoLuaError(const Packet& p, const std::string& where)
{
    EXPECT_FALSE(p.first("_ws.lua.error")) << where;
    for (const auto& message : p.all("_ws.expert.message"))
        EXPECT_EQ(message.find("Lua Error"), std::string::npos) << where << ": " << message;
}

// The checksum word of a message, when its length field places one in it.
std::optional<std::uint32_t> checksumWord(const char* m, std::size_t size)
{
    if (size < Morv::HEADER_SIZE)
        return std::nullopt;
    const int length = Morv::loadS16(m, Morv::OFFSET_LENGTH);
    if (length < static_cast<int>(Morv::HEADER_SIZE) || static_cast<std::size_t>(length) > size)
        return std::nullopt;
    return Morv::loadU32(m, static_cast<std::size_t>(length) - Morv::CHECKSUM_SIZE);
}

// The checksum words the tree shows, in its order: a command-5 message's inner
// message (as far as the outer body holds it) comes before the outer word.
std::vector<std::string> checksumWords(const char* b, std::size_t n)
{
    std::vector<std::string> words;
    const auto outer = checksumWord(b, n);
    if (Morv::loadU16(b, Morv::OFFSET_COMMAND) == Morv::CMD_BroadcastIDExt && n >= Morv::HEADER_SIZE) {
        const std::size_t bodyEnd = outer ? static_cast<std::size_t>(Morv::loadS16(b, Morv::OFFSET_LENGTH)) - 4 : n;
        if (bodyEnd >= Morv::OFFSET_EXT_COUNT + 2 && Morv::loadS16(b, Morv::OFFSET_EXT_COUNT) > 0 &&
            bodyEnd > Morv::OFFSET_EXT_INNER) {
            const std::size_t inner = std::min(Morv::BROADCAST_ID_SIZE, bodyEnd - Morv::OFFSET_EXT_INNER);
            if (const auto word = checksumWord(b + Morv::OFFSET_EXT_INNER, inner))
                words.push_back(hex32(*word));
        }
    }
    if (outer)
        words.push_back(hex32(*outer));
    return words;
}

// Checks every field of the dissector against the datagram's bytes, read with
// the wire-format code: the header as far as it goes, the checksum word where
// the length field puts it, and the body of each command.
void expectDecoded(const Packet& p, const std::vector<unsigned char>& bytes, MeterQueries& queries,
                   const std::string& where)
{
    using namespace Morv;
    const char* b = chars(bytes);
    const std::size_t n = bytes.size();
    expectNoLuaError(p, where);

    EXPECT_EQ(p.first("kiv.src"), when(n >= 8, n >= 8 ? idText(loadId(b, 0)) : "")) << where;
    EXPECT_EQ(p.first("kiv.dst"), when(n >= 16, n >= 16 ? idText(loadId(b, 8)) : "")) << where;
    const std::uint16_t senderNode = n >= 18 ? loadU16(b, OFFSET_SENDER_NODE_TYPE) : 0;
    EXPECT_EQ(p.first("kiv.src_node"), when(n >= 18, std::to_string(senderNode))) << where;
    EXPECT_EQ(p.first("kiv.src_node.type"), when(n >= 18, std::to_string(senderNode & 0x1FFF))) << where;
    EXPECT_EQ(p.first("kiv.src_node.flag"), when(n >= 18, senderNode & NODE_TYPE_FLAG_BIT ? "1" : "0")) << where;
    EXPECT_EQ(p.first("kiv.dst_node"), when(n >= 20, n >= 20 ? std::to_string(loadU16(b, 18)) : "")) << where;
    EXPECT_EQ(p.first("kiv.length"), when(n >= 22, n >= 22 ? std::to_string(loadU16(b, OFFSET_LENGTH)) : ""))
        << where;
    EXPECT_EQ(p.first("kiv.cmd"), when(n >= 24, n >= 24 ? std::to_string(loadU16(b, OFFSET_COMMAND)) : ""))
        << where;
    EXPECT_EQ(p.first("kiv.seq"), when(n >= 28, n >= 28 ? std::to_string(loadU32(b, OFFSET_SEQUENCE)) : ""))
        << where;
    if (n < 24) {
        EXPECT_TRUE(p.first("kiv.truncated")) << where;
        EXPECT_FALSE(p.first("kiv.checksum.status")) << where;
        return;
    }

    // The outer message's checksum word is the last one in the tree (a
    // command-5 message shows its inner message's word first).
    const int length = loadS16(b, OFFSET_LENGTH);
    const bool checksumPresent = length >= static_cast<int>(HEADER_SIZE) && static_cast<std::size_t>(length) <= n;
    const bool checksumGood = checksumValid(b, n);
    EXPECT_EQ(p.last("kiv.checksum.status"), checksumPresent ? (checksumGood ? "1" : "0") : "3") << where;
    EXPECT_EQ(p.all("kiv.checksum"), checksumWords(b, n)) << where;
    EXPECT_EQ(p.first("kiv.checksum.bad").has_value(), checksumPresent && !checksumGood) << where;
    EXPECT_EQ(p.first("kiv.trailing").has_value(), checksumPresent && static_cast<std::size_t>(length) < n) << where;
    if (n < HEADER_SIZE) {
        EXPECT_TRUE(p.first("kiv.truncated")) << where;
        return;
    }

    const auto info = p.first("_ws.col.Info").value_or("");
    EXPECT_NE(info.find("seq=" + std::to_string(loadU32(b, OFFSET_SEQUENCE))), std::string::npos) << where << info;

    const std::size_t bodyEnd = checksumPresent ? static_cast<std::size_t>(length) - CHECKSUM_SIZE : n;
    const bool fromController = (senderNode & 0x1FFF) == NODE_TYPE_CONTROLLER;
    const std::uint32_t sequence = loadU32(b, OFFSET_SEQUENCE);
    switch (loadU16(b, OFFSET_COMMAND)) {
    case CMD_Ack: {
        const bool status = bodyEnd >= OFFSET_ACK_STATUS + 4;
        const std::uint32_t value = status ? loadU32(b, OFFSET_ACK_STATUS) : 0;
        EXPECT_EQ(p.first("kiv.ack.status"), when(status, hex32(value))) << where;
        EXPECT_EQ(p.first("kiv.ack.success"), when(status, value == ACK_SUCCESS ? "1" : "0")) << where;
        EXPECT_NE(info.find("CMD_Ack"), std::string::npos) << where;
        break;
    }
    case CMD_BroadcastID: {
        EXPECT_EQ(p.first("kiv.bid.reply"), fromController ? "0" : "1") << where;
        const bool reply = !fromController;
        EXPECT_EQ(p.first("kiv.bid.device_type"),
                  when(reply && bodyEnd >= 76, bodyEnd >= 76 ? std::to_string(loadU32(b, OFFSET_DEVICE_TYPE)) : ""))
            << where;
        const std::uint32_t flags = bodyEnd >= 68 ? loadU32(b, OFFSET_STATUS_FLAGS) : 0;
        EXPECT_EQ(p.first("kiv.bid.flags"), when(reply && bodyEnd >= 68, hex32(flags))) << where;
        EXPECT_EQ(p.first("kiv.bid.state"), when(reply && bodyEnd >= 68, std::to_string(frameStateFromFlags(flags))))
            << where;
        const std::int32_t stamp =
            bodyEnd >= 64 ? std::max(loadS32(b, OFFSET_CHANGE_STAMP_A), loadS32(b, OFFSET_CHANGE_STAMP_B)) : 0;
        EXPECT_EQ(p.first("kiv.bid.change_stamp"), when(reply && bodyEnd >= 64, std::to_string(stamp))) << where;
        EXPECT_EQ(p.first("kiv.bid.word80"),
                  when(reply && bodyEnd >= 84, bodyEnd >= 84 ? hex32(loadU32(b, OFFSET_WORD80)) : ""))
            << where;
        if (n < BROADCAST_ID_SIZE) {
            EXPECT_TRUE(p.first("kiv.truncated")) << where;
        }
        break;
    }
    case CMD_BroadcastIDExt: {
        const bool hasCount = bodyEnd >= OFFSET_EXT_COUNT + 2;
        const int count = hasCount ? loadS16(b, OFFSET_EXT_COUNT) : 0;
        EXPECT_EQ(p.first("kiv.ext.count"), when(hasCount, std::to_string(count))) << where;
        // The inner message, as far as the outer body holds it.
        const std::size_t inner = count > 0 && bodyEnd > OFFSET_EXT_INNER
                                      ? std::min(BROADCAST_ID_SIZE, bodyEnd - OFFSET_EXT_INNER)
                                      : 0;
        const auto& sources = p.all("kiv.src");
        ASSERT_EQ(sources.size(), inner >= 8 ? 2U : 1U) << where;
        if (inner >= 8) {
            EXPECT_EQ(sources[1], idText(loadId(b, OFFSET_EXT_INNER))) << where;
        }
        EXPECT_EQ(p.first("kiv.bid.device_type"),
                  when(inner >= 76, inner >= 76 ? std::to_string(loadU32(b, OFFSET_EXT_INNER + OFFSET_DEVICE_TYPE)) : ""))
            << where;
        if (count > 0 && inner < BROADCAST_ID_SIZE) {
            EXPECT_TRUE(p.first("kiv.truncated")) << where;
        }
        break;
    }
    case CMD_KivText: {
        const std::size_t body = bodyEnd > OFFSET_BODY ? bodyEnd - OFFSET_BODY : 0;
        const std::string text =
            escapeForConsole(std::string_view(b + OFFSET_BODY, boundedTextLength(b, bodyEnd, OFFSET_BODY)));
        if (fromController) {
            EXPECT_EQ(p.first("kiv.text"), when(body > 0, text)) << where;
            EXPECT_NE(info.find("\"" + text + "\""), std::string::npos) << where << info;
            queries[{idText(loadId(b, OFFSET_DESTINATION_ID)), sequence}] = meterDataVersion(text);
            break;
        }
        const auto query = queries.find({idText(loadId(b, OFFSET_SOURCE_ID)), sequence});
        int version = query == queries.end() ? 0 : query->second;
        const bool textLike = looksLikeText(b + OFFSET_BODY, body);
        if (version > 0 && body < meterRecordSize(version) && textLike)
            version = 0; // a text that answers a meter-data query
        if (query == queries.end() && !textLike)
            for (int v = 1; v <= 3; ++v)
                if (body == meterRecordSize(v))
                    version = v;
        if (version > 0) {
            EXPECT_EQ(p.first("kiv.meter.version"), std::to_string(version)) << where;
            EXPECT_EQ(p.first("kiv.meter.record_length"), std::to_string(body)) << where;
            EXPECT_EQ(p.first("kiv.meter.general_status"), when(body >= 2, hex16(loadU16(b, OFFSET_BODY))))
                << where;
            EXPECT_FALSE(p.first("kiv.text")) << where;
        } else {
            EXPECT_FALSE(p.first("kiv.meter.version")) << where;
            EXPECT_EQ(p.first("kiv.text"), when(body > 0, text)) << where;
        }
        break;
    }
    default:
        break;
    }
}

// The four addresses of a datagram as kivframe logged it: source, then destination.
std::tuple<std::string, int, std::string, int> endpoints(const LogEntry& e)
{
    if (e.dir == "rx")
        return {e.address, e.port, e.local, e.localPort};
    return {e.local, e.localPort, e.address, e.port};
}

std::tuple<std::string, int, std::string, int> endpoints(const Packet& p)
{
    return {p.first("ip.src").value_or(""), std::stoi(p.first("udp.srcport").value_or("0")),
            p.first("ip.dst").value_or(""), std::stoi(p.first("udp.dstport").value_or("0"))};
}

std::vector<LogEntry> datagramsOf(const std::vector<LogEntry>& log)
{
    std::vector<LogEntry> datagrams;
    for (const auto& e : log)
        if (!e.dir.empty())
            datagrams.push_back(e);
    return datagrams;
}

// kivframe's capture holds exactly the datagrams of its log, in the log's
// order, with the real addresses and valid IP and UDP checksums; every one is
// decoded as the wire format reads it.
void expectCaptureMatchesLog(const Dissection& d, const std::vector<LogEntry>& datagrams)
{
    EXPECT_EQ(d.run.exitCode, 0) << d.run.err;
    EXPECT_EQ(unexpectedTsharkErrors(d.run.err), "");
    ASSERT_EQ(d.packets.size(), datagrams.size());
    MeterQueries queries;
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
        const Packet& p = d.packets[i];
        const LogEntry& e = datagrams[i];
        const std::string where = "capture packet " + std::to_string(i + 1) + " (" + e.dir + " " + e.hex + ")";
        EXPECT_EQ(endpoints(p), endpoints(e)) << where;
        EXPECT_EQ(p.first("udp.payload"), e.hex) << where;
        EXPECT_EQ(p.first("ip.checksum.status"), "1") << where;
        EXPECT_EQ(p.first("udp.checksum.status"), "1") << where;
        if (e.cmd >= 0) {
            EXPECT_EQ(p.first("kiv.cmd"), std::to_string(e.cmd)) << where;
            EXPECT_EQ(p.first("kiv.seq"), std::to_string(e.seq)) << where;
            EXPECT_EQ(p.last("kiv.checksum.status") == "1", e.checksumOk) << where;
        }
        if (e.dir == "tx") {
            EXPECT_EQ(p.first("kiv.src"), e.frame) << where;
        }
        expectDecoded(p, e.bytes(), queries, where);
    }
}

// Sends a marker datagram until the live capture shows one, then returns.
void waitForMarker(LiveCapture& capture, UdpPeer& peer, std::size_t markersBefore)
{
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
        peer.send(textRequest("marker", 0, 0), "127.0.0.1", MARKER_PORT);
        std::this_thread::sleep_for(50ms);
        const auto packets = capture.packets();
        const auto markers = std::count_if(packets.begin(), packets.end(), [](const Packet& p) {
            return p.first("udp.dstport") == std::to_string(MARKER_PORT);
        });
        if (static_cast<std::size_t>(markers) > markersBefore)
            return;
    }
    FAIL() << "the live capture showed no marker within 30 s:\n" << capture.stop().err;
}

std::size_t markerCount(const std::vector<Packet>& packets)
{
    return static_cast<std::size_t>(std::count_if(packets.begin(), packets.end(), [](const Packet& p) {
        return p.first("udp.dstport") == std::to_string(MARKER_PORT);
    }));
}

// A reply as a frame sends it, from the frame to the requester; withChecksum
// below completes it.
std::vector<char> replyMessage(std::uint64_t frameId, std::uint16_t command, std::uint32_t sequence,
                               std::size_t size)
{
    return kivtest::frameMessage(size, command, sequence, frameId, REQUESTER_ID);
}

std::vector<char> withChecksum(std::vector<char> bytes)
{
    Morv::storeChecksum(bytes.data(), bytes.size());
    return bytes;
}

} // namespace

TEST(Dissector, LiveCaptureAndEmulatorCaptureOfKivcastAndKivprobeMatchTheLog)
{
    LiveCapture live;
    UdpPeer marker("127.0.0.1", 0);
    ASSERT_NO_FATAL_FAILURE(waitForMarker(live, marker, 0));

    const std::string pcap = tempPath("kivframe-pcap");
    Emulator emulator({"--frames", "1", "--pcap", pcap,
                       "--frame", "reply=text,reply-text=Bühne 1 \\ recalled",
                       "--frame", "reply=ack", "--frame", "reply=ack,ack-status=5",
                       "--frame", "ext=1,device-type=12,flags=0x12,stamp48=7,stamp60=-3,word80=0xabcd",
                       "--frame", "node-type=0x8005,meter-version=1,reply=meter"});
    const auto cast = run({program("kivcast"), "127.0.0.1", "Dev.MD.FullBin?3"}, 60s);
    EXPECT_EQ(cast.exitCode, 0) << cast.err;
    // kivprobe's text message carries a checksum word of 0.
    const auto probe = run({program("kivprobe"), "127.0.0.1", "a00000:1", "Dev.Status?"}, 60s);
    EXPECT_EQ(probe.exitCode, 0) << probe.out;
    const auto stopped = emulator.stop();
    EXPECT_EQ(stopped.exitCode, 0) << stopped.err;
    const auto datagrams = datagramsOf(emulator.log());

    ASSERT_NO_FATAL_FAILURE(waitForMarker(live, marker, markerCount(live.packets())));
    const auto liveRun = live.stop();
    EXPECT_EQ(unexpectedTsharkErrors(liveRun.err), "");

    // The live capture holds the same datagrams, each once, though not in the
    // log's order: kivframe logs a datagram after the kernel has passed it on.
    std::multimap<std::tuple<std::string, int, std::string, int, std::string>, const LogEntry*> unmatched;
    for (const auto& e : datagrams) {
        const auto [src, sport, dst, dport] = endpoints(e);
        unmatched.emplace(std::make_tuple(src, sport, dst, dport, e.hex), &e);
    }
    MeterQueries queries;
    std::set<std::string> kinds;
    std::size_t index = 0;
    for (const auto& p : parseTsharkFields(liveRun.out)) {
        ++index;
        if (p.first("udp.dstport") == std::to_string(MARKER_PORT))
            continue;
        const std::string where = "live packet " + std::to_string(index) + " (" + p.first("udp.payload").value_or("") + ")";
        const auto [src, sport, dst, dport] = endpoints(p);
        const auto it = unmatched.find(std::make_tuple(src, sport, dst, dport, p.first("udp.payload").value_or("")));
        if (it == unmatched.end()) {
            ADD_FAILURE() << where << " is not in kivframe's log";
            continue;
        }
        const LogEntry& e = *it->second;
        unmatched.erase(it);
        EXPECT_EQ(p.first("kiv.cmd"), std::to_string(e.cmd)) << where;
        EXPECT_EQ(p.first("kiv.seq"), std::to_string(e.seq)) << where;
        EXPECT_EQ(p.last("kiv.checksum.status") == "1", e.checksumOk) << where;
        EXPECT_FALSE(p.first("kiv.truncated")) << where;
        if (e.dir == "tx") {
            EXPECT_EQ(p.first("kiv.src"), e.frame) << where;
        }
        expectDecoded(p, e.bytes(), queries, where);

        std::string kind = p.first("kiv.cmd").value_or("?");
        if (p.first("kiv.bid.reply"))
            kind += p.first("kiv.bid.reply") == "1" ? " reply" : " request";
        if (p.first("kiv.meter.version"))
            kind += " meter v" + *p.first("kiv.meter.version");
        else if (p.first("kiv.text"))
            kind += " text";
        if (p.first("kiv.ack.success"))
            kind += p.first("kiv.ack.success") == "1" ? " success" : " failure";
        if (p.first("kiv.checksum.bad"))
            kind += " bad checksum";
        kinds.insert(kind);
    }
    for (const auto& [key, e] : unmatched)
        ADD_FAILURE() << "logged but not captured live: " << e->dir << " " << e->hex;

    // Every kind of message took part.
    for (const auto* kind : {"4 request", "4 reply", "5 reply", "701 text", "701 meter v3", "2 success",
                             "2 failure", "701 text bad checksum"})
        EXPECT_TRUE(kinds.count(kind)) << "no " << kind << " in the live capture";

    SCOPED_TRACE("kivframe --pcap");
    expectCaptureMatchesLog(dissectCapture(pcap), datagrams);
    std::remove(pcap.c_str());
}

TEST(Dissector, TruncatedAndMalformedDatagramsAreDecodedAsFarAsTheyGo)
{
    const std::string pcap = tempPath("kivframe-pcap");
    constexpr std::uint64_t FRAME = FIRST_FRAME_ID;
    Emulator emulator({"--frames", "1", "--pace", "0", "--pcap", pcap,
                       "--frame", "malformed=length", "--frame", "malformed=long", "--frame", "malformed=short",
                       "--frame", "malformed=command", "--frame", "reply=meter,meter-version=2"});
    UdpPeer peer("127.0.0.1", 6004);
    UdpPeer dynamic("127.0.0.1", 0);

    // Answers spoiled by the frames, and the three meter versions; one
    // request on the dynamic port.
    std::uint32_t sequence = 100;
    for (std::uint64_t i = 1; i <= 5; ++i)
        peer.send(textRequest("Dev.Mute=1", FRAME + i, ++sequence), "127.0.0." + std::to_string(2 + i), 6015);
    peer.send(textRequest("Dev.MD.FullBin?", FRAME, ++sequence), "127.0.0.2", 6015);
    peer.send(textRequest("M?2", FRAME + 5, ++sequence), "127.0.0.7", 6015);
    dynamic.send(textRequest("NM?", FRAME, ++sequence), "127.0.0.2", 6016);

    // Every prefix of a message of each kind, from 1 byte to the whole.
    const std::uint32_t meterSequence = ++sequence;
    peer.send(textRequest("Dev.MD.FullBin?3", 0x00A00000000000FFULL, meterSequence), "127.0.0.2", 6015);
    auto ack = replyMessage(FRAME, Morv::CMD_Ack, ++sequence, 36);
    Morv::storeU32(ack.data(), Morv::OFFSET_ACK_STATUS, 0xFFFFFFFF);
    // Valid UTF-8 (cut in two by some prefixes), an escape sequence, an invalid byte, a backslash.
    const std::string replyText = "Bühne 3 \x1b[2J\xff\\ recalled";
    auto text = replyMessage(FRAME, Morv::CMD_KivText, ++sequence, Morv::kivMessageSize(replyText.size()));
    std::copy(replyText.begin(), replyText.end(), text.begin() + Morv::OFFSET_BODY);
    auto meter = replyMessage(0x00A00000000000FFULL, Morv::CMD_KivText, meterSequence, 136);
    for (std::size_t i = Morv::OFFSET_BODY; i < 132; ++i)
        meter[i] = static_cast<char>(i * 13);
    auto broadcastId = replyMessage(FRAME, Morv::CMD_BroadcastID, ++sequence, Morv::BROADCAST_ID_SIZE);
    Morv::storeU32(broadcastId.data(), Morv::OFFSET_DEVICE_TYPE, 19);
    Morv::storeU32(broadcastId.data(), Morv::OFFSET_STATUS_FLAGS, 0x08);
    broadcastId = withChecksum(broadcastId);
    auto ext = replyMessage(FRAME, Morv::CMD_BroadcastIDExt, sequence, Morv::BROADCAST_ID_EXT_MIN_SIZE);
    Morv::storeU16(ext.data(), Morv::OFFSET_EXT_COUNT, 1);
    std::copy(broadcastId.begin(), broadcastId.end(), ext.begin() + Morv::OFFSET_EXT_INNER);
    const std::vector<std::vector<char>> wholes = {withChecksum(ack), withChecksum(text), withChecksum(meter),
                                                   broadcastId, withChecksum(ext),
                                                   textRequest("Dev.Preset.Recall=3", 0x00A0000000000099ULL, ++sequence)};
    std::set<std::string> whole;
    for (const auto& message : wholes) {
        whole.insert(hexBytes(std::vector<unsigned char>(message.begin(), message.end())));
        for (std::size_t size = 1; size <= message.size(); ++size)
            peer.send(std::vector<char>(message.begin(), message.begin() + static_cast<long>(size)), "127.0.0.2",
                      6015);
    }
    // A wrong checksum, a length field below a header, one that is negative,
    // and four bytes after the message.
    auto wrong = withChecksum(ack);
    wrong.back() ^= 0x40;
    auto small = withChecksum(ack);
    Morv::storeU16(small.data(), Morv::OFFSET_LENGTH, 20);
    auto negative = withChecksum(ack);
    Morv::storeU16(negative.data(), Morv::OFFSET_LENGTH, 0x8000);
    auto trailing = withChecksum(ack);
    trailing.insert(trailing.end(), {1, 2, 3, 4});
    for (const auto& message : {wrong, small, negative, trailing})
        peer.send(message, "127.0.0.2", 6015);

    // The fence: once its answer is in, every datagram before it has been handled.
    const std::uint32_t fence = ++sequence;
    peer.send(textRequest("Dev.Status?", FRAME, fence), "127.0.0.2", 6015);
    answersBefore(peer, fence);
    ASSERT_TRUE(dynamic.receive(5s));
    const auto stopped = emulator.stop();
    EXPECT_EQ(stopped.exitCode, 0) << stopped.err;
    const auto datagrams = datagramsOf(emulator.log());

    const auto d = dissectCapture(pcap);
    expectCaptureMatchesLog(d, datagrams);

    // What is marked truncated: the prefixes of the whole messages, the answer
    // whose length field says more than it holds, and the short one.
    std::size_t truncated = 0;
    for (std::size_t i = 0; i < d.packets.size() && i < datagrams.size(); ++i) {
        const auto bytes = datagrams[i].bytes();
        const bool prefix = datagrams[i].dir == "rx" && bytes.size() >= 1 &&
                            std::any_of(wholes.begin(), wholes.end(), [&](const std::vector<char>& m) {
                                return bytes.size() < m.size() && std::equal(bytes.begin(), bytes.end(), m.begin());
                            });
        const bool shortened = bytes.size() < Morv::HEADER_SIZE ||
                               Morv::loadS16(chars(bytes), Morv::OFFSET_LENGTH) > static_cast<int>(bytes.size());
        if (prefix || shortened) {
            EXPECT_TRUE(d.packets[i].first("kiv.truncated")) << "packet " << i + 1 << ": " << datagrams[i].hex;
            ++truncated;
        }
        if (whole.count(datagrams[i].hex)) {
            EXPECT_FALSE(d.packets[i].first("kiv.truncated")) << "packet " << i + 1 << ": " << datagrams[i].hex;
        }
    }
    EXPECT_GT(truncated, 800U);
    std::remove(pcap.c_str());
}
