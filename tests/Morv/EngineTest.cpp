// The request engine against emulated frames, checked from both sides: the
// handler calls it makes and the datagrams the emulator logged.
#include "Morv/Message.h"
#include "Morv/MorvNetwork.h"
#include "Morv/NetworkType.h"
#include "support/EmulatorLog.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

using namespace Morv;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint64_t FIRST_ID = 0x00a0000000000001ULL;

// Every handler call, with its time.
class Calls {
public:
    ResponseHandler handler()
    {
        return [this](std::uint64_t id, const char*, unsigned length, ErrorCode code) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (closed_)
                late_ = true;
            entries_.push_back({id, code, length, Clock::now()});
            changed_.notify_all();
        };
    }

    // Waits until `count` calls were made; false after `limit`.
    bool waitFor(std::size_t count, std::chrono::milliseconds limit)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return entries_.size() >= count; });
    }

    struct Entry {
        std::uint64_t id;
        ErrorCode code;
        unsigned length;
        Clock::time_point at;
    };
    std::vector<Entry> entries()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_;
    }
    // From now on every call is a fault.
    void close()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    bool late()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return late_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Entry> entries_;
    bool closed_ = false;
    bool late_ = false;
};

struct Engine {
    PyxNetworkType pyx;
    KivNetworkType kiv{false, &pyx};
    std::optional<MorvNetwork> network;

    explicit Engine(Network::DatagramSender* sendThrough = nullptr) { network.emplace(kiv, "127.0.0.1", sendThrough); }

    // Waits until the engine knows `count` frames.
    bool discover(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(6))
    {
        const auto deadline = Clock::now() + limit;
        while (network->frameIds().size() < count) {
            if (Clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

    bool send(std::uint64_t id, const std::string& text, ResponseHandler handler)
    {
        const FrameInfo info = network->frameInfo(id);
        KivMessage message(text, 1234567890, 6, info.frameId, info.nodeType);
        return network->send(id, message, std::move(handler));
    }
};

std::vector<kivtest::LogEntry> requestsReceived(const std::vector<kivtest::LogEntry>& log)
{
    std::vector<kivtest::LogEntry> result;
    for (const auto& entry : log)
        if (entry.dir == "rx" && entry.cmd == CMD_KivText)
            result.push_back(entry);
    return result;
}

double ms(std::int64_t us) { return static_cast<double>(us) / 1000.0; }

} // namespace

TEST(Engine, SilentFrameGetsSixIdenticalTransmissionsThenTimedOut)
{
    kivtest::Emulator emulator({"--frames", "1", "--reply", "none"});
    Engine engine;
    ASSERT_TRUE(engine.discover(1));
    Calls calls;
    const auto start = Clock::now();
    ASSERT_TRUE(engine.send(FIRST_ID, "Dev.Status?", calls.handler()));
    ASSERT_TRUE(calls.waitFor(1, std::chrono::seconds(20)));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto entries = calls.entries();
    ASSERT_EQ(entries.size(), 1U);
    EXPECT_EQ(entries[0].code, TimedOut);
    EXPECT_EQ(entries[0].id, FIRST_ID);
    const double total = std::chrono::duration<double, std::milli>(entries[0].at - start).count();
    EXPECT_GE(total, 7875.0 - 20.0);
    EXPECT_LE(total, 7875.0 + 1500.0);

    emulator.stop();
    const auto received = requestsReceived(emulator.log());
    ASSERT_EQ(received.size(), 6U);
    const double expectedGaps[] = {125, 250, 500, 1000, 2000};
    for (std::size_t i = 1; i < received.size(); ++i) {
        EXPECT_EQ(received[i].hex, received[0].hex) << "transmission " << i << " differs";
        const double gap = ms(received[i].tUs - received[i - 1].tUs);
        EXPECT_GE(gap, expectedGaps[i - 1] - 15.0) << "gap " << i;
        EXPECT_LE(gap, expectedGaps[i - 1] + 250.0) << "gap " << i;
    }
    EXPECT_TRUE(received[0].checksumOk);
}

TEST(Engine, SlowBehaviourMakesThreeTransmissionsEightSecondsApart)
{
    kivtest::Emulator emulator({"--frames", "1", "--reply", "none"});
    Engine engine;
    ASSERT_TRUE(engine.discover(1));
    struct Slow final : TimeoutBehavior {
        int initialTimeout() const override { return 8000; }
        int retryTimeout(int) const override { return 8000; }
        int maxAttempts() const override { return 3; }
    };
    engine.network->setTimeoutBehavior(std::make_shared<Slow>());
    Calls calls;
    const auto start = Clock::now();
    ASSERT_TRUE(engine.send(FIRST_ID, "Dev.Power=1", calls.handler()));
    ASSERT_TRUE(calls.waitFor(1, std::chrono::seconds(40)));
    const auto entries = calls.entries();
    EXPECT_EQ(entries[0].code, TimedOut);
    const double total = std::chrono::duration<double, std::milli>(entries[0].at - start).count();
    EXPECT_GE(total, 24000.0 - 20.0);
    EXPECT_LE(total, 24000.0 + 2000.0);

    emulator.stop();
    const auto received = requestsReceived(emulator.log());
    ASSERT_EQ(received.size(), 3U);
    for (std::size_t i = 1; i < received.size(); ++i) {
        const double gap = ms(received[i].tUs - received[i - 1].tUs);
        EXPECT_GE(gap, 8000.0 - 15.0);
        EXPECT_LE(gap, 8000.0 + 500.0);
    }
}

TEST(Engine, AnswerToTheThirdTransmissionSucceedsAndEndsTheRequest)
{
    kivtest::Emulator emulator({"--frames", "1", "--reply", "ack", "--answer-from", "3"});
    Engine engine;
    ASSERT_TRUE(engine.discover(1));
    Calls calls;
    ASSERT_TRUE(engine.send(FIRST_ID, "Dev.Mute=1", calls.handler()));
    ASSERT_TRUE(calls.waitFor(1, std::chrono::seconds(10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(1200)); // past the fourth attempt's time
    const auto entries = calls.entries();
    ASSERT_EQ(entries.size(), 1U);
    EXPECT_EQ(entries[0].code, Success);
    EXPECT_EQ(entries[0].length, 36U);

    emulator.stop();
    EXPECT_EQ(requestsReceived(emulator.log()).size(), 3U);
    EXPECT_EQ(engine.network->congestionController().bytesInFlight(), 0U);
}

TEST(Engine, SequenceWordZeroBypassesTheWindow)
{
    kivtest::Emulator emulator({"--frames", "1", "--reply", "none"});
    Engine engine;
    ASSERT_TRUE(engine.discover(1));
    Calls calls;
    const FrameInfo info = engine.network->frameInfo(FIRST_ID);

    KivMessage unwindowed("Dev.Status?", 1234567890, 6, info.frameId, info.nodeType);
    storeU32(unwindowed.bytes().data(), OFFSET_SEQUENCE, 0);
    ASSERT_TRUE(engine.network->send(FIRST_ID, unwindowed, calls.handler()));
    EXPECT_EQ(engine.network->congestionController().bytesInFlight(), 0U);

    KivMessage windowed("Dev.Status?", 1234567890, 6, info.frameId, info.nodeType);
    ASSERT_TRUE(engine.network->send(FIRST_ID, windowed, calls.handler()));
    EXPECT_EQ(engine.network->congestionController().bytesInFlight(), windowed.size());

    // The unwindowed request goes out too.
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    emulator.stop();
    const auto received = requestsReceived(emulator.log());
    ASSERT_GE(received.size(), 2U);
    EXPECT_EQ(received[0].seq, 0);
}

TEST(Engine, UnknownFrameIsRefusedWithoutCallback)
{
    kivtest::Emulator emulator({"--frames", "1"});
    Engine engine;
    ASSERT_TRUE(engine.discover(1));
    Calls calls;
    KivMessage message("Dev.Reset", 1234567890, 6, 0x0000000700000007ULL, 5);
    EXPECT_FALSE(engine.network->send(0x0000000700000007ULL, message, calls.handler()));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(calls.entries().empty());
    EXPECT_EQ(engine.network->congestionController().bytesInFlight(), 0U);
}

namespace {
// Broadcasts through a socket of its own (so discovery works); unicasts
// succeed or fail at the test's choice.
class SwitchableSender : public Network::DatagramSender {
public:
    SwitchableSender()
    {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        const int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
    }
    ~SwitchableSender() override { close(fd_); }

    bool broadcast(const char* bytes, std::uint32_t length) override
    {
        return sendTo(bytes, length, INADDR_BROADCAST, 6015, true);
    }
    bool sendTo(const char* bytes, std::uint32_t length, std::uint32_t address, std::uint16_t port) override
    {
        return sendTo(bytes, length, address, port, !failing);
    }
    std::atomic<bool> failing{false};

private:
    bool sendTo(const char* bytes, std::uint32_t length, std::uint32_t address, std::uint16_t port, bool allowed)
    {
        if (!allowed)
            return false;
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(address);
        to.sin_port = htons(port);
        sendto(fd_, bytes, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        return true;
    }
    int fd_ = -1;
};
} // namespace

TEST(Engine, FailedTransmissionIsReportedBeforeSendReturns)
{
    kivtest::Emulator emulator({"--frames", "1"});
    SwitchableSender sender;
    Engine engine(&sender);
    ASSERT_TRUE(engine.discover(1));
    sender.failing = true;
    Calls calls;
    const std::uint32_t before = engine.network->congestionController().bytesInFlight();
    ASSERT_TRUE(engine.send(FIRST_ID, "Dev.Reset", calls.handler()));
    const auto entries = calls.entries(); // no waiting: the call came inside send
    ASSERT_EQ(entries.size(), 1U);
    EXPECT_EQ(entries[0].code, TransmissionFailed);
    EXPECT_EQ(engine.network->congestionController().bytesInFlight(), before);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(calls.entries().size(), 1U);
}

TEST(Engine, DestructionWithRequestsInFlightCallsNoHandler)
{
    kivtest::Emulator emulator({"--frames", "20", "--reply", "none"});
    Calls calls;
    {
        Engine engine;
        ASSERT_TRUE(engine.discover(20));
        for (const std::uint64_t id : engine.network->frameIds())
            ASSERT_TRUE(engine.send(id, "Dev.Status?", calls.handler()));
        std::this_thread::sleep_for(std::chrono::milliseconds(400)); // retransmissions under way
        calls.close();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(calls.late());
    EXPECT_TRUE(calls.entries().empty());
}

namespace {
// Forwards every datagram to the engine's own server, and holds the first
// retransmission it sees inside its send call until the test releases it.
class HoldingSender : public Network::DatagramSender {
public:
    bool broadcast(const char* bytes, std::uint32_t length) override
    {
        Network::Server* target = server.load();
        return target == nullptr || target->broadcast(bytes, length);
    }
    bool sendTo(const char* bytes, std::uint32_t length, std::uint32_t address, std::uint16_t port) override
    {
        holdFirstRetransmission(bytes, length);
        Network::Server* target = server.load();
        return target == nullptr || target->sendTo(bytes, length, address, port);
    }

    bool waitUntilHolding()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return holding_; });
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

    std::atomic<Network::Server*> server{nullptr};

private:
    void holdFirstRetransmission(const char* bytes, std::uint32_t length)
    {
        if (length < HEADER_SIZE)
            return;
        std::unique_lock<std::mutex> lock(mutex_);
        if (++transmissions_[loadU32(bytes, OFFSET_SEQUENCE)] != 2 || holding_)
            return;
        holding_ = true;
        changed_.notify_all();
        changed_.wait_for(lock, std::chrono::seconds(20), [&] { return released_; });
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::uint32_t, int> transmissions_;
    bool holding_ = false;
    bool released_ = false;
};
} // namespace

// The engine is torn down while a retransmission is inside the send path and
// first transmissions wait for room in the window: the send finishes before
// the server goes (the sanitizer builds see any use of it after it is freed),
// and no handler is called.
TEST(Engine, TeardownWaitsForSendsInProgressBeforeTheServerGoes)
{
    kivtest::Emulator emulator({"--frames", "20", "--reply", "none"});
    HoldingSender sender;
    Engine engine(&sender);
    sender.server = &engine.network->getServer();
    ASSERT_TRUE(engine.discover(20));
    Calls calls;
    // 232 bytes each: two fit the first window, the others wait for room.
    for (const std::uint64_t id : engine.network->frameIds())
        ASSERT_TRUE(engine.send(id, "Dev.Name=" + std::string(191, 'n'), calls.handler()));
    ASSERT_TRUE(sender.waitUntilHolding()) << "no retransmission";
    calls.close();

    std::atomic<bool> destroyed{false};
    std::thread teardown([&] {
        engine.network.reset();
        destroyed = true;
    });
    // The teardown gets as far as it can while the retransmission is held.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(destroyed) << "torn down while a send was in progress";
    sender.release();
    teardown.join();
    EXPECT_FALSE(calls.late());
}

TEST(Engine, EveryRequestReportsExactlyOnceUnderLossDuplicatesAndDelay)
{
    constexpr std::size_t frames = 500;
    kivtest::Emulator emulator({"--frames", std::to_string(frames), "--drop", "0.2", "--duplicate", "1", "--delay",
                                "5", "--jitter", "40", "--seed", "7"});
    Engine engine;
    ASSERT_TRUE(engine.discover(frames, std::chrono::seconds(8)));
    Calls calls;
    const auto ids = engine.network->frameIds();
    for (const std::uint64_t id : ids)
        ASSERT_TRUE(engine.send(id, "Dev.Status?", calls.handler()));
    ASSERT_TRUE(calls.waitFor(ids.size(), std::chrono::seconds(40)));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000)); // any second call would come now
    std::map<std::uint64_t, int> perFrame;
    std::size_t succeeded = 0;
    for (const auto& entry : calls.entries()) {
        ++perFrame[entry.id];
        succeeded += entry.code == Success ? 1 : 0;
    }
    EXPECT_EQ(perFrame.size(), ids.size());
    for (const auto& [id, count] : perFrame)
        EXPECT_EQ(count, 1) << std::hex << id;
    // Six tries against 20 % loss: a timed-out request is very rare.
    EXPECT_GE(succeeded, ids.size() - 2);
    EXPECT_EQ(engine.network->congestionController().bytesInFlight(), 0U);
}
