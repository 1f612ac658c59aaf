// Real sockets on loopback (and on a veth pair of its own); each test case
// runs in a private network namespace of its own (NETNS). The Windows build
// runs them under wine, in the one namespace of the wine session.
#include "Network/Server.h"

#include "support/Wine.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/udp.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using Network::Server;
using namespace std::chrono_literals;

namespace {

constexpr std::uint16_t localPort = 6004;
constexpr std::uint16_t remotePort = 6015;
// Generous: the tests also run under the sanitizers on two busy cores.
constexpr auto patience = 10s;

struct Datagram {
    std::string bytes;
    std::uint32_t source = 0;
    std::uint16_t sourcePort = 0;
};

// The far side: a plain UDP socket bound to an address and port.
class Peer {
public:
    Peer(const char* address, std::uint16_t port, bool reuseAddress = false) : socket_(io_)
    {
        using boost::asio::ip::udp;
        socket_.open(udp::v4());
        socket_.set_option(udp::socket::broadcast(true));
        if (reuseAddress)
            socket_.set_option(udp::socket::reuse_address(true));
        boost::system::error_code error;
        socket_.bind(endpoint(address, port), error);
        if (error)
            throw std::runtime_error(std::string("bind ") + address + ": " + error.message());
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    void sendTo(const std::string& bytes, const char* address, std::uint16_t port) const
    {
        boost::system::error_code ignored;
        socket_.send_to(boost::asio::buffer(bytes), endpoint(address, port), 0, ignored);
    }

    std::optional<Datagram> receive() const
    {
        std::vector<char> buffer(65536);
        boost::asio::ip::udp::endpoint from;
        std::optional<std::size_t> size;
        socket_.async_receive_from(boost::asio::buffer(buffer), from,
                                   [&size](const boost::system::error_code& error, std::size_t n) {
                                       if (!error)
                                           size = n;
                                   });
        io_.restart();
        if (io_.run_for(patience) == 0) {
            socket_.cancel();
            io_.restart();
            io_.run();
        }
        if (!size)
            return std::nullopt;
        return Datagram{std::string(buffer.data(), *size), from.address().to_v4().to_uint(), from.port()};
    }

private:
    static boost::asio::ip::udp::endpoint endpoint(const char* address, std::uint16_t port)
    {
        return {boost::asio::ip::make_address_v4(address), port};
    }

    mutable boost::asio::io_context io_;
    mutable boost::asio::ip::udp::socket socket_;
};

// Records every datagram it is handed.
class Recorder : public Network::ServerEventHandler {
public:
    void onDatagram(const char* bytes, std::uint32_t length, std::uint32_t source) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.push_back({std::string(bytes, length), source, 0});
        changed_.notify_all();
    }

    // True once `count` datagrams have arrived.
    bool waitFor(std::size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, patience, [&] { return received_.size() >= count; });
    }

    // True once a datagram with these bytes has arrived.
    bool waitFor(const std::string& bytes)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, patience, [&] {
            for (const Datagram& d : received_)
                if (d.bytes == bytes)
                    return true;
            return false;
        });
    }

    std::vector<Datagram> received()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

    std::vector<std::size_t> sizes()
    {
        std::vector<std::size_t> result;
        for (const Datagram& d : received())
            result.push_back(d.bytes.size());
        std::sort(result.begin(), result.end());
        return result;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Datagram> received_;
};

std::string pattern(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i * 7 + 1);
    return bytes;
}

} // namespace

TEST(Server, ReportsAnAddressInUseAtLine34)
{
    const auto expectAddressInUse = [] {
        try {
            Server server(remotePort, "127.0.0.1", localPort);
            ADD_FAILURE() << "bound a port that is in use";
        } catch (const Network::AddressInUseException& e) {
            EXPECT_EQ(e.file(), "Network/Server");
            EXPECT_EQ(e.line(), 34);
            EXPECT_EQ(e.message().rfind("bind: ", 0), 0U) << e.message();
            EXPECT_GT(e.message().size(), 6U) << "no system description";
        }
    };
    {
        SCOPED_TRACE("another server on the same address and port");
        const Server first(remotePort, "127.0.0.1", localPort);
        expectAddressInUse();
    }
    // Wine follows Linux for a port held on the wildcard address; Windows'
    // rules differ there (SO_EXCLUSIVEADDRUSE).
    if (!kivtest::isWineProcess()) {
        SCOPED_TRACE("a socket on the wildcard address and the port");
        const Peer holder("0.0.0.0", localPort);
        expectAddressInUse();
    }
}

TEST(Server, ReportsOtherSetUpFailuresAtLine36)
{
    struct Case {
        const char* address;
        bool fromBind; // the address parses, the bind fails
    };
    for (const Case c : {Case{"localhost", false}, Case{"frame-17.example", false}, Case{"", false},
                         Case{"127.0.0.256", false}, Case{"10.1.2.3", true}}) {
        SCOPED_TRACE(c.address);
        // Wine binds a socket to an address that no interface holds; Windows
        // refuses that bind (WSAEADDRNOTAVAIL), as Linux does.
        if (kivtest::isWineProcess() && c.fromBind)
            continue;
        try {
            Server server(remotePort, c.address, localPort);
            ADD_FAILURE() << "bound to an address that must fail";
        } catch (const Network::CouldNotCreateListenerException& e) {
            EXPECT_EQ(e.file(), "Network/Server");
            EXPECT_EQ(e.line(), 36);
            EXPECT_FALSE(e.message().empty());
            EXPECT_EQ(e.message().rfind("bind: ", 0) == 0, c.fromBind) << e.message();
        }
    }
}

TEST(Server, DeliversADatagramWithItsSourceAddress)
{
    Recorder recorder;
    Server server(remotePort, "127.0.0.1", localPort);
    server.addHandler(&recorder);
    const Peer frame("127.0.0.5", 7000);
    frame.sendTo(pattern(28), "127.0.0.1", localPort);

    ASSERT_TRUE(recorder.waitFor(1));
    const auto received = recorder.received();
    ASSERT_EQ(received.size(), 1U);
    EXPECT_EQ(received[0].bytes, pattern(28));
    // Wine sends the datagrams of a socket bound to 127.0.0.5 from 127.0.0.1.
    if (!kivtest::isWineProcess()) {
        EXPECT_EQ(received[0].source, 0x7F000005U);
    }
    server.removeHandler(&recorder);
}

// Nothing is delivered cut short or empty, on either way in: addressed to the
// bound address, or broadcast to its port. What follows still arrives.
TEST(Server, DropsEmptyAndOversizedDatagramsAndKeepsReceiving)
{
    for (const char* destination : {"127.0.0.1", "255.255.255.255"}) {
        SCOPED_TRACE(destination);
        if (kivtest::isWineProcess() && std::string(destination) == "255.255.255.255")
            continue; // wine delivers no broadcast to a socket bound to 127.0.0.1; Windows does
        Recorder recorder;
        {
            Server server(remotePort, "127.0.0.1", localPort);
            server.addHandler(&recorder);
            const Peer frame("127.0.0.5", 7000);
            for (const std::size_t size : {0, 4097, 5000, 65000, 4096})
                frame.sendTo(pattern(size), destination, localPort);
            frame.sendTo("end", destination, localPort);
            ASSERT_TRUE(recorder.waitFor(2));
            server.removeHandler(&recorder);
        } // joins the workers, so no handler call is still in progress
        EXPECT_EQ(recorder.sizes(), (std::vector<std::size_t>{3, 4096}));
        for (const Datagram& d : recorder.received()) {
            if (d.bytes.size() == 4096) {
                EXPECT_EQ(d.bytes, pattern(4096));
            }
        }
    }
}

TEST(Server, CallsEachRegisteredHandlerOncePerDatagram)
{
    Recorder twice, once, never;
    Server server(remotePort, "127.0.0.1", localPort);
    server.addHandler(&twice);
    server.addHandler(&once);
    server.addHandler(&twice);
    server.removeHandler(&never);
    const Peer frame("127.0.0.5", 7000);

    // Handlers are called in registration order, so when the last one has
    // the datagram the earlier ones have had all their calls.
    frame.sendTo("first", "127.0.0.1", localPort);
    ASSERT_TRUE(once.waitFor(1));
    EXPECT_EQ(twice.received().size(), 1U);

    server.removeHandler(&twice);
    frame.sendTo("second", "127.0.0.1", localPort);
    ASSERT_TRUE(once.waitFor(2));
    EXPECT_EQ(twice.received().size(), 1U);
    EXPECT_TRUE(never.received().empty());
    server.removeHandler(&once);
}

// Datagrams that arrive together are handled in parallel: at least four
// workers, each with a receive of its own.
TEST(Server, HandsDatagramsToAtLeastFourWorkersAtOnce)
{
    class Blocking : public Network::ServerEventHandler {
    public:
        void onDatagram(const char*, std::uint32_t, std::uint32_t) override
        {
            std::unique_lock<std::mutex> lock(mutex);
            ++inside;
            changed.notify_all();
            changed.wait_for(lock, patience, [&] { return released; });
        }
        std::mutex mutex;
        std::condition_variable changed;
        int inside = 0;
        bool released = false;
    } handler;

    Server server(remotePort, "127.0.0.1", localPort);
    server.addHandler(&handler);
    const Peer frame("127.0.0.5", 7000);
    for (int i = 0; i < 4; ++i)
        frame.sendTo("x", "127.0.0.1", localPort);
    {
        std::unique_lock<std::mutex> lock(handler.mutex);
        EXPECT_TRUE(handler.changed.wait_for(lock, patience, [&] { return handler.inside == 4; }))
            << handler.inside << " handler calls at once";
        handler.released = true;
        handler.changed.notify_all();
    }
    server.removeHandler(&handler);
}

TEST(Server, BroadcastReachesTheRemotePortOnce)
{
    // Bound to the broadcast address, the listener sees broadcasts only.
    const Peer listener("255.255.255.255", remotePort);
    Server server(remotePort, "127.0.0.1", localPort);
    ASSERT_TRUE(server.broadcast(pattern(100).data(), 100));
    ASSERT_TRUE(server.broadcast("end", 3));

    const auto first = listener.receive();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->bytes, pattern(100));
    EXPECT_EQ(first->source, 0x7F000001U);
    EXPECT_EQ(first->sourcePort, localPort);
    const auto second = listener.receive();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->bytes, "end");
}

TEST(Server, SendToReachesTheAddressAndPortWithACopyOfTheBytes)
{
    const Peer frame("127.0.0.5", 7000);
    Server server(remotePort, "127.0.0.1", localPort);
    std::string bytes = pattern(50);
    ASSERT_TRUE(server.sendTo(bytes.data(), 50, 0x7F000005, 7000));
    bytes.assign(50, 'z'); // the caller may reuse its storage at once

    const auto received = frame.receive();
    ASSERT_TRUE(received);
    EXPECT_EQ(received->bytes, pattern(50));
    EXPECT_EQ(received->source, 0x7F000001U);
    EXPECT_EQ(received->sourcePort, localPort);
}

TEST(Server, ReportsItsBoundAddressAndPort)
{
    struct Case {
        const char* address;
        std::uint32_t expected;
    };
    for (const Case c : {Case{"127.0.0.1", 0x7F000001U}, Case{"127.0.0.5", 0x7F000005U}, Case{"::1", 0xFFFFFFFFU}}) {
        SCOPED_TRACE(c.address);
        const Server server(remotePort, c.address, localPort);
        EXPECT_EQ(server.localAddress(), c.expected);
        EXPECT_EQ(server.localPort(), localPort);
        EXPECT_EQ(server.remotePort(), remotePort);
    }
}

// With port 0 the system chooses; datagrams to that port, addressed or
// broadcast, arrive.
TEST(Server, ReceivesOnTheSystemChosenPort)
{
    Recorder recorder;
    Server server(6016, "127.0.0.1", 0);
    server.addHandler(&recorder);
    const std::uint16_t port = server.localPort();
    ASSERT_NE(port, 0);

    const Peer frame("127.0.0.5", 7000);
    frame.sendTo("addressed", "127.0.0.1", port);
    EXPECT_TRUE(recorder.waitFor("addressed"));
    // Wine delivers no broadcast to a socket bound to 127.0.0.1; Windows does.
    if (!kivtest::isWineProcess()) {
        frame.sendTo("broadcast", "255.255.255.255", port);
        EXPECT_TRUE(recorder.waitFor("broadcast"));
    }
    server.removeHandler(&recorder);
}

// Broadcasts to the local port are delivered when they arrive on the interface
// that holds the bound address, and only then. A veth pair kv0/kv1 gives a
// second interface; a broadcast sent from kv0's address goes out on kv0 and is
// looped back to this host as arriving on kv0.
TEST(Server, DeliversBroadcastsFromTheBoundInterfaceOnly)
{
    if (kivtest::isWineProcess())
        GTEST_SKIP() << "the Linux sockets for broadcasts, set up with Linux commands; under wine, broadcasts "
                        "reach a socket bound to an interface address only by wine's own emulation";
    ASSERT_EQ(std::system("ip link add kv0 type veth peer name kv1 && ip addr add 10.1.1.1/24 dev kv0"
                          " && ip link set kv0 up && ip link set kv1 up"),
              0);
    struct Case {
        const char* bound;   // the server's address
        const char* own;     // a sender on the same interface
        const char* foreign; // a sender on the other one
        std::uint32_t ownAddress;
    };
    for (const Case c : {Case{"127.0.0.1", "127.0.0.5", "10.1.1.1", 0x7F000005U},
                         Case{"10.1.1.1", "10.1.1.1", "127.0.0.5", 0x0A010101U}}) {
        SCOPED_TRACE(c.bound);
        Recorder recorder;
        {
            Server server(remotePort, c.bound, localPort);
            server.addHandler(&recorder);
            // Sees every broadcast to the port, to know the foreign one has reached the host.
            const Peer watcher("255.255.255.255", localPort, true);
            const Peer own(c.own, 7000);
            const Peer foreign(c.foreign, 7001);

            foreign.sendTo("foreign", "255.255.255.255", localPort);
            const auto seen = watcher.receive();
            ASSERT_TRUE(seen);
            ASSERT_EQ(seen->bytes, "foreign");
            own.sendTo("own", "255.255.255.255", localPort);
            ASSERT_TRUE(recorder.waitFor("own"));
            server.removeHandler(&recorder);
        }
        const auto received = recorder.received();
        ASSERT_EQ(received.size(), 1U);
        EXPECT_EQ(received[0].source, c.ownAddress);
    }
}

// A broadcast to the bound interface's subnet (10.1.1.255 on 10.1.1.1/24) is
// delivered like one to 255.255.255.255; one to another subnet is not.
TEST(Server, DeliversSubnetBroadcastsOfTheBoundInterface)
{
    if (kivtest::isWineProcess())
        GTEST_SKIP() << "the Linux sockets for broadcasts, set up with Linux commands; under wine, broadcasts "
                        "reach a socket bound to an interface address only by wine's own emulation";
    ASSERT_EQ(std::system("ip link add kv0 type veth peer name kv1 && ip addr add 10.1.1.1/24 brd + dev kv0"
                          " && ip addr add 10.2.2.1/24 brd + dev kv1 && ip link set kv0 up && ip link set kv1 up"),
              0);
    Recorder recorder;
    {
        Server server(remotePort, "10.1.1.1", localPort);
        server.addHandler(&recorder);
        const Peer own("10.1.1.1", 7000);
        const Peer foreign("10.2.2.1", 7001);
        const Peer foreignWatcher("10.2.2.255", localPort, true);
        foreign.sendTo("other subnet", "10.2.2.255", localPort);
        const auto seen = foreignWatcher.receive();
        ASSERT_TRUE(seen);
        ASSERT_EQ(seen->bytes, "other subnet");
        own.sendTo("subnet", "10.1.1.255", localPort);
        own.sendTo("everyone", "255.255.255.255", localPort);
        ASSERT_TRUE(recorder.waitFor("subnet"));
        ASSERT_TRUE(recorder.waitFor("everyone"));
        server.removeHandler(&recorder);
    }
    const auto received = recorder.received();
    ASSERT_EQ(received.size(), 2U);
    for (const Datagram& d : received)
        EXPECT_EQ(d.source, 0x0A010101U) << d.bytes;
}

// A handler that throws anything at all neither ends its worker nor stops the
// receives: the next datagrams still reach it.
TEST(Server, SurvivesHandlersThatThrow)
{
    class Throwing : public Network::ServerEventHandler {
    public:
        void onDatagram(const char* bytes, std::uint32_t length, std::uint32_t) override
        {
            const std::string text(bytes, length);
            if (text == "library")
                throw Network::CouldNotCreateListenerException("Test", 1, "thrown by a handler");
            if (text == "standard")
                throw std::runtime_error("thrown by a handler");
            if (text == "other")
                throw 42;
        }
    } throwing;
    Recorder recorder;
    Server server(remotePort, "127.0.0.1", localPort);
    server.addHandler(&throwing);
    server.addHandler(&recorder);
    const Peer frame("127.0.0.5", 7000);
    // More than there are workers, so every worker meets each kind.
    for (int round = 0; round < 16; ++round)
        for (const char* text : {"library", "standard", "other"})
            frame.sendTo(text, "127.0.0.1", localPort);
    frame.sendTo("end", "127.0.0.1", localPort);
    EXPECT_TRUE(recorder.waitFor("end"));
    EXPECT_TRUE(recorder.waitFor(49)) << "every datagram still reaches the next handler";
    server.removeHandler(&throwing);
    server.removeHandler(&recorder);
}

// Servers come and go while datagrams keep arriving, addressed and broadcast;
// the sanitizer builds check that the teardown is clean.
TEST(Server, TearsDownCleanlyWhileDatagramsKeepArriving)
{
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        const Peer frame("127.0.0.5", 7000);
        const std::string bytes = pattern(96);
        while (flooding) {
            frame.sendTo(bytes, "127.0.0.1", localPort);
            frame.sendTo(bytes, "255.255.255.255", localPort);
        }
    });
    for (int round = 0; round < 20; ++round) {
        Recorder recorder;
        auto server = std::make_unique<Server>(remotePort, "127.0.0.1", localPort);
        server->addHandler(&recorder);
        EXPECT_TRUE(recorder.waitFor(10));
        server->broadcast("x", 1);
        server.reset();
    }
    flooding = false;
    flood.join();
}
