// kivframe --pcap: a classic pcap file (raw IPv4) holding every datagram the
// emulator received and sent, read back here byte by byte and compared with
// the emulator's JSON log.

#include "Requests.h"
#include "UdpPeer.h"

#include "support/EmulatorLog.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

using namespace kivtest;
using namespace std::chrono_literals;

namespace {

struct Record {
    std::uint32_t seconds = 0, microseconds = 0, included = 0, original = 0;
    std::vector<unsigned char> bytes;
};

struct Capture {
    std::uint32_t magic = 0, snaplen = 0, linkType = 0;
    std::uint16_t major = 0, minor = 0;
    std::vector<Record> records;
    bool complete = false; // no bytes left over after the last record
};

std::uint32_t le32(const std::string& s, std::size_t at)
{
    const auto* b = reinterpret_cast<const unsigned char*>(s.data()) + at;
    return b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

std::uint16_t be16(const std::vector<unsigned char>& b, std::size_t at)
{
    return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]);
}

Capture readCapture(const std::string& path)
{
    const std::string file = readFile(path);
    Capture c;
    if (file.size() < 24)
        return c;
    c.magic = le32(file, 0);
    c.major = static_cast<std::uint16_t>(le32(file, 4));
    c.minor = static_cast<std::uint16_t>(le32(file, 4) >> 16);
    c.snaplen = le32(file, 16);
    c.linkType = le32(file, 20);
    std::size_t at = 24;
    while (at + 16 <= file.size()) {
        Record r{le32(file, at), le32(file, at + 4), le32(file, at + 8), le32(file, at + 12), {}};
        if (at + 16 + r.included > file.size())
            return c;
        r.bytes.assign(file.begin() + static_cast<long>(at + 16), file.begin() + static_cast<long>(at + 16 + r.included));
        c.records.push_back(std::move(r));
        at += 16 + c.records.back().included;
    }
    c.complete = at == file.size();
    return c;
}

// The Internet checksum over `bytes`, plus `sum`: 0xffff when the checksum
// field inside them is right.
std::uint16_t onesComplementSum(const unsigned char* bytes, std::size_t size, std::uint32_t sum = 0)
{
    for (std::size_t i = 0; i + 1 < size; i += 2)
        sum += static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
    if (size % 2 != 0)
        sum += static_cast<std::uint32_t>(bytes[size - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(sum);
}

std::string dottedAt(const std::vector<unsigned char>& b, std::size_t at)
{
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, b.data() + at, text, sizeof text);
    return text;
}

std::int64_t wallClockSeconds()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

TEST(KivframePcap, RecordsEveryDatagramReceivedAndSentWithItsAddresses)
{
    const std::string pcap = tempPath("kivframe-pcap");
    const std::int64_t startedS = wallClockSeconds();
    Emulator emulator({"--frames", "2", "--pace", "0", "--pcap", pcap});
    UdpPeer peer("127.0.0.1", 6004);
    UdpPeer dynamic("127.0.0.1", 0);

    peer.send(discoveryRequest(51), "255.255.255.255", 6015);
    ASSERT_EQ(peer.receive(2, 5s).size(), 2U);
    dynamic.send(textRequest("Dev.Mute=1", FIRST_FRAME_ID + 1, 52), "127.0.0.3", 6016);
    ASSERT_TRUE(dynamic.receive(5s));
    peer.send(std::vector<char>{'h', 'e', 'l', 'l', 'o'}, "127.0.0.2", 6015); // odd length, no header
    peer.send(textRequest(std::string(3000, 'x'), FIRST_FRAME_ID, 53), "127.0.0.2", 6015);
    ASSERT_TRUE(peer.receive(5s)); // the last request is answered, so all are recorded
    const auto stopped = emulator.stop();
    EXPECT_EQ(stopped.exitCode, 0) << stopped.err;
    const std::int64_t endedS = wallClockSeconds();

    std::vector<LogEntry> datagrams;
    for (const auto& e : emulator.log())
        if (!e.dir.empty())
            datagrams.push_back(e);
    ASSERT_EQ(datagrams.size(), 8U); // discovery, 2 answers, request, Ack, junk, request, Ack

    const Capture c = readCapture(pcap);
    EXPECT_EQ(c.magic, 0xA1B2C3D4U);
    EXPECT_EQ(c.major, 2);
    EXPECT_EQ(c.minor, 4);
    EXPECT_EQ(c.snaplen, 65535U);
    EXPECT_EQ(c.linkType, 101U); // raw IPv4
    EXPECT_TRUE(c.complete);
    ASSERT_EQ(c.records.size(), datagrams.size());

    for (std::size_t i = 0; i < datagrams.size(); ++i) {
        const LogEntry& e = datagrams[i];
        const Record& r = c.records[i];
        const std::string where = "record " + std::to_string(i + 1) + " (" + e.dir + ")";
        const auto payload = e.bytes();
        const std::size_t size = 20 + 8 + payload.size();
        ASSERT_EQ(r.included, size) << where;
        EXPECT_EQ(r.original, size) << where;
        EXPECT_GE(static_cast<std::int64_t>(r.seconds), startedS - 1) << where;
        EXPECT_LE(static_cast<std::int64_t>(r.seconds), endedS + 1) << where;
        EXPECT_LT(r.microseconds, 1000000U) << where;
        if (i > 0) {
            const Record& before = c.records[i - 1];
            EXPECT_GE(std::make_tuple(r.seconds, r.microseconds), std::make_tuple(before.seconds, before.microseconds))
                << where;
        }

        const auto& b = r.bytes;
        EXPECT_EQ(b[0], 0x45) << where;
        EXPECT_EQ(be16(b, 2), size) << where;
        EXPECT_EQ(b[9], 17) << where; // UDP
        EXPECT_EQ(onesComplementSum(b.data(), 20), 0xFFFF) << where << ": IP header checksum";
        const std::string source = dottedAt(b, 12);
        const std::string destination = dottedAt(b, 16);
        const int sourcePort = be16(b, 20);
        const int destinationPort = be16(b, 22);
        if (e.dir == "rx") {
            EXPECT_EQ(std::tie(source, sourcePort), std::tie(e.address, e.port)) << where;
            EXPECT_EQ(std::tie(destination, destinationPort), std::tie(e.local, e.localPort)) << where;
        } else {
            EXPECT_EQ(std::tie(source, sourcePort), std::tie(e.local, e.localPort)) << where;
            EXPECT_EQ(std::tie(destination, destinationPort), std::tie(e.address, e.port)) << where;
        }
        EXPECT_EQ(be16(b, 24), 8 + payload.size()) << where;
        // UDP checksum over the pseudo header (addresses, protocol, length) and the datagram.
        const std::uint32_t pseudo = onesComplementSum(b.data() + 12, 8) + 17 + be16(b, 24);
        EXPECT_EQ(onesComplementSum(b.data() + 20, 8 + payload.size(), pseudo), 0xFFFF) << where << ": UDP checksum";
        EXPECT_EQ(std::vector<unsigned char>(b.begin() + 28, b.end()), payload) << where;
    }
    EXPECT_EQ(datagrams[0].local, "255.255.255.255");
    std::remove(pcap.c_str());
}

TEST(KivframePcap, AFileThatCannotBeWrittenIsRefusedBeforeTheFramesStart)
{
    // A file that cannot be opened is a failure (1), a missing name a bad command line (2).
    struct Case {
        std::string path, message;
        int exitCode;
    };
    for (const auto& [path, message, exitCode] :
         {Case{"/nonexistent/dir/capture.pcap", "--pcap: cannot open /nonexistent/dir/capture.pcap", 1},
          Case{"", "--pcap: missing file name", 2}}) {
        const auto result = run({program("kivframe"), "--pcap", path}, 10s);
        EXPECT_EQ(result.exitCode, exitCode) << path;
        EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
        EXPECT_EQ(result.err.find("ready"), std::string::npos) << result.err;
    }
}
