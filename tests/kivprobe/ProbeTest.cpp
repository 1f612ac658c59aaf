// kivprobe run as a program in a private network namespace, against a frame
// played by the test itself: datagrams that a real frame would never send.

#include "Morv/Wire.h"
#include "support/Process.h"
#include "support/Messages.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<char>;

constexpr std::uint64_t FRAME_ID = 0x0012AB3400000001ULL;
const char* const FRAME_ID_ARGUMENT = "12ab34:1";
const std::string FRAME_ID_PRINTED = "0012ab34:00000001";

// A UDP socket of the test, bound to address:port (port 0: any).
class UdpPeer {
public:
    UdpPeer(const char* address, std::uint16_t port)
    {
        socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in local = endpoint(address, port);
        if (socket_ < 0 || ::bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
            throw std::runtime_error(std::string("cannot bind the test's socket to ") + address);
    }
    ~UdpPeer() { ::close(socket_); }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    std::optional<Bytes> receive(std::chrono::milliseconds limit)
    {
        pollfd p{socket_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(limit.count())) != 1)
            return std::nullopt;
        Bytes b(2048);
        const ssize_t n = ::recv(socket_, b.data(), b.size(), 0);
        if (n < 0)
            return std::nullopt;
        b.resize(static_cast<std::size_t>(n));
        return b;
    }

    // To the probe's receive socket.
    void sendToProbe(const Bytes& b)
    {
        const sockaddr_in to = endpoint("127.0.0.1", 6004);
        ASSERT_EQ(::sendto(socket_, b.data(), b.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(b.size()));
    }

private:
    static sockaddr_in endpoint(const char* address, std::uint16_t port)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, address, &a.sin_addr);
        return a;
    }

    int socket_ = -1;
};

Bytes message(std::size_t size, std::uint16_t command, std::uint32_t sequence, std::uint64_t source,
              std::uint64_t destination)
{
    Bytes b = kivtest::frameMessage(size, command, sequence, source, destination);
    if (size >= 76 && command == Morv::CMD_BroadcastID)
        Morv::storeU32(b.data(), Morv::OFFSET_DEVICE_TYPE, 19);
    Morv::storeChecksum(b.data(), size);
    return b;
}

Bytes withLengthField(Bytes b, std::uint16_t length)
{
    Morv::storeU16(b.data(), Morv::OFFSET_LENGTH, length);
    return b;
}

Bytes ack(std::uint32_t status, std::uint32_t sequence, std::uint64_t source, std::uint64_t destination,
          std::size_t size = 36)
{
    Bytes b = message(size, Morv::CMD_Ack, sequence, source, destination);
    if (size >= 32)
        Morv::storeU32(b.data(), Morv::OFFSET_ACK_STATUS, status);
    return b;
}

} // namespace

// Every datagram below but two would, if the probe took it, change what it
// prints: a discovery reply from the wrong address, or an answer that reads
// "command succeeded". Only the frame's genuine reply and its Ack with status
// 7 may get through, and the probe must survive the rest.
TEST(Probe, DropsMalformedAndForeignDatagrams)
{
    UdpPeer frameListener("0.0.0.0", 6015); // hears the broadcast and the text message
    UdpPeer frame("127.0.0.2", 0);
    UdpPeer junk("127.0.0.3", 0);
    UdpPeer ownAddress("127.0.0.1", 0);
    kivtest::Background probe({kivtest::program("kivprobe"), "127.0.0.1", FRAME_ID_ARGUMENT, "Dev.Reset"});

    const auto request = frameListener.receive(10s);
    ASSERT_TRUE(request.has_value()) << "no discovery request";
    ASSERT_EQ(request->size(), Morv::BROADCAST_ID_SIZE);
    const std::uint64_t ownId = Morv::loadId(request->data(), Morv::OFFSET_SOURCE_ID);

    const Bytes reply = message(100, Morv::CMD_BroadcastID, 1, FRAME_ID, ownId);
    junk.sendToProbe(Bytes());                               // empty
    junk.sendToProbe(Bytes(reply.begin(), reply.begin() + 20)); // shorter than a header
    junk.sendToProbe(withLengthField(reply, 104));           // length field larger than the datagram
    junk.sendToProbe(withLengthField(reply, 96));            // length field smaller than the datagram
    junk.sendToProbe(message(28, Morv::CMD_BroadcastID, 1, FRAME_ID, ownId)); // header only
    // Larger than the receive buffer: its first 560 bytes would pass for a whole datagram.
    junk.sendToProbe(withLengthField(message(600, Morv::CMD_BroadcastID, 1, FRAME_ID, ownId), 560));
    junk.sendToProbe(message(100, Morv::CMD_BroadcastID, 1, FRAME_ID, ownId + 1)); // to someone else
    ownAddress.sendToProbe(reply);
    frame.sendToProbe(reply);

    const auto text = frameListener.receive(10s);
    ASSERT_TRUE(text.has_value()) << "no text message";
    ASSERT_EQ(text->size(), Morv::PROBE_TEXT_MESSAGE_SIZE);
    const std::uint32_t sequence = Morv::loadU32(text->data(), Morv::OFFSET_SEQUENCE);

    frame.sendToProbe(Bytes());
    frame.sendToProbe(ack(Morv::ACK_SUCCESS, sequence, ownId, ownId));          // carries the probe's own ID
    frame.sendToProbe(ack(Morv::ACK_SUCCESS, sequence, FRAME_ID, Morv::DISCOVERY_ID)); // to every frame
    frame.sendToProbe(ack(Morv::ACK_SUCCESS, sequence - 1, FRAME_ID, ownId));   // an older request
    frame.sendToProbe(ack(Morv::ACK_SUCCESS, sequence, FRAME_ID, ownId, 31));   // no whole status word
    frame.sendToProbe(withLengthField(ack(Morv::ACK_SUCCESS, sequence, FRAME_ID, ownId), 40));
    // Far larger than the receive buffer, with a length field that matches its size unsigned.
    frame.sendToProbe(message(0x9000, Morv::CMD_KivText, sequence, FRAME_ID, ownId));
    ownAddress.sendToProbe(ack(Morv::ACK_SUCCESS, sequence, FRAME_ID, ownId));
    frame.sendToProbe(ack(7, sequence, FRAME_ID, ownId));

    const auto result = probe.wait(20s);
    EXPECT_EQ(result.out, "Found " + FRAME_ID_PRINTED + " (IP = 127.0.0.2)\n"
                          "KIV msg is \"Dev.Reset\"\n\n" +
                              FRAME_ID_PRINTED + " returned unsuccessful Ack (7)\n");
    EXPECT_EQ(result.exitCode, 255);
    EXPECT_EQ(result.err, "");
}

// Failures before any request: nothing printed but the socket layer's own
// messages, and exit status 255 (-1).
TEST(Probe, RefusesBadCommandLines)
{
    struct Case {
        std::vector<std::string> arguments;
        std::string out;
    };
    const Case cases[] = {
        {{}, ""},
        {{"127.0.0.1"}, ""},
        {{"127.0.0.1", FRAME_ID_ARGUMENT}, ""},
        {{"127.0.0.1", FRAME_ID_ARGUMENT, "Dev.Reset", "extra"}, ""},
        {{"127.0.0", FRAME_ID_ARGUMENT, "Dev.Reset"}, ""},
        {{"localhost", FRAME_ID_ARGUMENT, "Dev.Reset"}, ""},
        {{"255.255.255.255", FRAME_ID_ARGUMENT, "Dev.Reset"}, ""},
        // Bound to every interface the probe would hear its own broadcast: it stops.
        {{"0.0.0.0", FRAME_ID_ARGUMENT, "Dev.Reset"}, ""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv{kivtest::program("kivprobe")};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        const auto result = kivtest::run(argv, 20s);
        const std::string shown = c.arguments.empty() ? "(no arguments)" : c.arguments.front();
        EXPECT_EQ(result.out, c.out) << shown << ", " << c.arguments.size() << " arguments";
        EXPECT_EQ(result.err, "") << shown;
        EXPECT_EQ(result.exitCode, 255) << shown;
    }
}

// No interface has the address: four attempts to bind, then the end.
TEST(Probe, GivesUpAfterFourFailedBinds)
{
    if (kivtest::underWine())
        GTEST_SKIP() << "wine binds a socket to an address that no interface holds; Windows refuses that bind "
                        "(WSAEADDRNOTAVAIL)";
    const auto result = kivtest::run({kivtest::program("kivprobe"), "10.1.2.3", FRAME_ID_ARGUMENT, "Dev.Reset"}, 20s);
    EXPECT_EQ(result.out, "Bind error\nBind error\nBind error\nBind error\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exitCode, 255);
}
