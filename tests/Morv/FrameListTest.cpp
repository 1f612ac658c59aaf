#include "FakeDatagramSender.h"

#include "Morv/FrameList.h"
#include "Morv/NetworkType.h"
#include "Morv/Wire.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace Morv;
using namespace std::chrono_literals;

namespace {

constexpr auto PATIENCE = 5s; // only a failing test waits this long
constexpr std::uint64_t FRAME = 0x0001A2B300000004ULL;
constexpr std::uint64_t OTHER_FRAME = 0x0001A2B300000009ULL;
constexpr std::uint32_t FRAME_ADDRESS = 0x0A000005; // 10.0.0.5
constexpr std::uint32_t NEW_ADDRESS = 0x0A000007;

// A broadcast-ID reply as a frame sends it.
struct Reply {
    std::uint64_t frameId = FRAME;
    std::uint16_t nodeType = NODE_TYPE_FRAME;
    std::uint32_t flags = 0;
    std::int32_t stampA = 0; // offset 48
    std::int32_t stampB = 0; // offset 60
    std::uint32_t deviceType = 0x1A04;
    std::uint32_t word80 = 0xCAFE;
    std::uint32_t sequence = 0;
    std::uint16_t lengthField = BROADCAST_ID_SIZE;
    std::size_t size = BROADCAST_ID_SIZE;
};

std::vector<char> bytesOf(const Reply& r)
{
    std::vector<char> b(std::max(r.size, BROADCAST_ID_SIZE), 0);
    MSG_CmdHdr h;
    h.sourceId = r.frameId;
    h.destinationId = DISCOVERY_ID;
    h.senderNodeType = r.nodeType;
    h.length = r.lengthField;
    h.command = CMD_BroadcastID;
    h.sequence = r.sequence;
    writeHeader(b.data(), h);
    storeU32(b.data(), OFFSET_CHANGE_STAMP_A, static_cast<std::uint32_t>(r.stampA));
    storeU32(b.data(), OFFSET_CHANGE_STAMP_B, static_cast<std::uint32_t>(r.stampB));
    storeU32(b.data(), OFFSET_STATUS_FLAGS, r.flags);
    storeU32(b.data(), OFFSET_DEVICE_TYPE, r.deviceType);
    storeU32(b.data(), OFFSET_WORD80, r.word80);
    b.resize(r.size);
    return b;
}

// Any other message: a header, zeros, `size` bytes in all.
struct Other {
    std::uint64_t frameId = FRAME;
    std::uint16_t command = CMD_Ack;
    std::uint32_t sequence = 0;
    std::uint16_t nodeType = NODE_TYPE_FRAME;
    std::size_t size = 32;
    std::optional<std::uint16_t> lengthField = std::nullopt; // default: size
};

std::vector<char> bytesOf(const Other& o)
{
    std::vector<char> b(std::max(o.size, HEADER_SIZE), 0);
    MSG_CmdHdr h;
    h.sourceId = o.frameId;
    h.senderNodeType = o.nodeType;
    h.length = o.lengthField.value_or(static_cast<std::uint16_t>(o.size));
    h.command = o.command;
    h.sequence = o.sequence;
    writeHeader(b.data(), h);
    b.resize(o.size);
    return b;
}

// A command-5 datagram of `size` bytes carrying `inner` at offset 32.
std::vector<char> extended(std::uint64_t outerId, std::size_t size, std::int16_t count, const Reply& inner)
{
    std::vector<char> b = bytesOf(Other{.frameId = outerId, .command = CMD_BroadcastIDExt, .size = size});
    storeU16(b.data(), OFFSET_EXT_COUNT, static_cast<std::uint16_t>(count));
    const std::vector<char> in = bytesOf(inner);
    std::copy(in.begin(), in.end(), b.begin() + OFFSET_EXT_INNER);
    return b;
}

// The events of a FrameList, in the order they fired.
class EventLog {
public:
    void add(std::string kind, std::uint64_t id)
    {
        // Notified under the lock: a woken waiter may destroy the log at once.
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.emplace_back(std::move(kind), id);
        changed_.notify_all();
    }

    bool waitFor(const std::string& kind, std::uint64_t id)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, PATIENCE, [&] {
            return std::find(entries_.begin(), entries_.end(), std::make_pair(kind, id)) != entries_.end();
        });
    }

    std::vector<std::pair<std::string, std::uint64_t>> take()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(entries_, {});
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::pair<std::string, std::uint64_t>> entries_;
};

using Events = std::vector<std::pair<std::string, std::uint64_t>>;

// Every call of one completion.
struct Calls {
    struct Call {
        ErrorCode code;
        bool nullBytes;
        unsigned length;
        std::thread::id thread;
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Call> calls;

    Completion completion()
    {
        return [this](const char* bytes, unsigned length, ErrorCode code) {
            std::lock_guard<std::mutex> lock(mutex);
            calls.push_back({code, bytes == nullptr, length, std::this_thread::get_id()});
            changed.notify_all();
        };
    }
    bool waitForCall()
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, PATIENCE, [&] { return !calls.empty(); });
    }
    std::vector<Call> snapshot()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
};

// A FrameList on a fake sender and a calendar clock the test sets.
class Harness {
public:
    explicit Harness(bool dynamicPorts = false) : kiv_(dynamicPorts, &pyx_)
    {
        list = std::make_unique<FrameList>(kiv_, sender, [this] { return now.load(); });
        tokens_.push_back(list->onFrameFound.subscribe([this](std::uint64_t id) { log(events, "found", id); }));
        tokens_.push_back(list->onFrameLost.subscribe([this](std::uint64_t id) { log(events, "lost", id); }));
        tokens_.push_back(list->onFrameChanged.subscribe([this](std::uint64_t id) { log(events, "changed", id); }));
        messageToken_ = list->onMessage.subscribe([this](std::uint64_t id, const Command<MSG_CmdHdr>& command) {
            std::lock_guard<std::mutex> lock(messagesMutex_);
            messages_.push_back({id, command});
        });
    }

    void deliver(std::vector<char> datagram, std::uint32_t source = FRAME_ADDRESS)
    {
        list->onDatagram(datagram.data(), static_cast<std::uint32_t>(datagram.size()), source);
    }

    bool listed(std::uint64_t id) const
    {
        const auto ids = list->frameIds();
        return std::find(ids.begin(), ids.end(), id) != ids.end();
    }

    // The events fired so far. Events run in posting order on the list's
    // executor, so once a fresh marker frame is reported as found, every
    // event posted before it has fired.
    Events settle()
    {
        const std::uint64_t marker = MARKER_BASE + ++markers_;
        deliver(bytesOf(Reply{.frameId = marker}), 0x7F000001);
        EXPECT_TRUE(events.waitFor("found", marker)) << "the list's executor is stuck";
        Events result;
        for (auto& e : events.take())
            if ((e.second & ~0xFFFFULL) != MARKER_BASE)
                result.push_back(e);
        return result;
    }

    // Unsolicited messages so far: (frame ID, command, size of the command).
    struct Message {
        std::uint64_t frameId;
        Command<MSG_CmdHdr> command;
    };
    std::vector<Message> messages()
    {
        std::lock_guard<std::mutex> lock(messagesMutex_);
        std::vector<Message> result;
        for (auto& m : std::exchange(messages_, {}))
            if ((m.frameId & ~0xFFFFULL) != MARKER_BASE)
                result.push_back(std::move(m));
        return result;
    }

    bool sendTo(std::uint32_t sequence, Completion completion, unsigned timeoutMs = 60000,
                std::uint64_t frameId = FRAME)
    {
        const std::vector<char> request = bytesOf(Other{.frameId = frameId, .command = CMD_KivText, .sequence = sequence});
        Destination destination{frameId, FRAME_ADDRESS, false};
        return list->sendRequest(destination, request.data(), request.data() + request.size(), timeoutMs,
                                 std::move(completion));
    }

    kivtest::FakeDatagramSender sender;
    std::atomic<std::int64_t> now{1000000};
    EventLog events;

private:
    static constexpr std::uint64_t MARKER_BASE = 0xFFFF5E0000000000ULL;
    static void log(EventLog& log, const char* kind, std::uint64_t id) { log.add(kind, id); }

    PyxNetworkType pyx_;
    KivNetworkType kiv_;
    std::vector<Event<void(std::uint64_t)>::Token> tokens_;
    Event<void(std::uint64_t, const Command<MSG_CmdHdr>&)>::Token messageToken_;
    std::mutex messagesMutex_;
    std::vector<Message> messages_;
    int markers_ = 0;

public:
    // Last: destroyed first, while everything its threads and handlers use is alive.
    std::unique_ptr<FrameList> list;
};

Events found(std::uint64_t id) { return {{"found", id}}; }

} // namespace

TEST(FrameList, AdmissionOfDiscoveryReplies)
{
    const std::uint64_t INNER = 0x0000777700000001ULL;
    const int NO_MESSAGE = -1;
    const int NOT_A_COMMAND = 0; // the bytes' length field does not fit them
    struct Case {
        const char* name;
        std::vector<char> datagram;
        std::uint64_t listedFrame; // 0: nothing is admitted
        int messageCommand; // command that onMessage sees; NOT_A_COMMAND, or NO_MESSAGE
        std::uint64_t messageFrame;
    };
    const Case cases[] = {
        {"frame node type 5", bytesOf(Reply{}), FRAME, CMD_BroadcastID, FRAME},
        {"frame node type 8", bytesOf(Reply{.nodeType = 8}), FRAME, CMD_BroadcastID, FRAME},
        {"node type with its flag bit", bytesOf(Reply{.nodeType = 0x8005}), FRAME, CMD_BroadcastID, FRAME},
        {"foreign node type", bytesOf(Reply{.nodeType = 7}), 0, NO_MESSAGE, 0},
        {"our own node type", bytesOf(Reply{.nodeType = 6}), 0, NO_MESSAGE, 0},
        {"foreign node type in a special state", bytesOf(Reply{.nodeType = 7, .flags = 0x02}), FRAME, CMD_BroadcastID,
         FRAME},
        {"length field beyond the datagram", bytesOf(Reply{.lengthField = 101}), 0, NO_MESSAGE, 0},
        {"negative length field", bytesOf(Reply{.lengthField = 0x8000}), 0, NO_MESSAGE, 0},
        {"length field short of the datagram", bytesOf(Reply{.lengthField = 96}), FRAME, CMD_BroadcastID, FRAME},
        // IDs that stand for every frame are never one frame's.
        {"frame ID 0", bytesOf(Reply{.frameId = 0}), 0, NO_MESSAGE, 0},
        {"frame ID of discovery", bytesOf(Reply{.frameId = DISCOVERY_ID}), 0, NO_MESSAGE, 0},
        {"frame ID of discovery in a special state", bytesOf(Reply{.frameId = DISCOVERY_ID, .flags = 0x02}), 0,
         NO_MESSAGE, 0},
        {"command 5 carrying frame ID 0", extended(OTHER_FRAME, 436, 1, Reply{.frameId = 0}), 0, NO_MESSAGE, 0},
        // A special state waives the node-type test only.
        {"bad length field in a special state", bytesOf(Reply{.flags = 0x08, .lengthField = 101}), 0, NO_MESSAGE,
         0},
        {"negative length field in a special state", bytesOf(Reply{.flags = 0x02, .lengthField = 0x8000}), 0,
         NO_MESSAGE, 0},
        // From a sender the list does not know: taken as it comes, but it holds no header to read.
        {"other message, length field below a header", bytesOf(Other{.lengthField = 10}), 0, NOT_A_COMMAND, FRAME},
        // Too short for a discovery reply: an ordinary message, so it can still answer a request.
        {"truncated to 96 bytes", bytesOf(Reply{.lengthField = 96, .size = 96}), 0, CMD_BroadcastID, FRAME},
        {"command 5, 436 bytes, count 1", extended(OTHER_FRAME, 436, 1, Reply{.frameId = INNER}), INNER,
         CMD_BroadcastID, INNER},
        {"command 5, 435 bytes", extended(OTHER_FRAME, 435, 1, Reply{.frameId = INNER}), 0, CMD_BroadcastIDExt,
         OTHER_FRAME},
        {"command 5, count 0", extended(OTHER_FRAME, 436, 0, Reply{.frameId = INNER}), 0, CMD_BroadcastIDExt,
         OTHER_FRAME},
        {"command 5, negative count", extended(OTHER_FRAME, 436, -1, Reply{.frameId = INNER}), 0,
         CMD_BroadcastIDExt, OTHER_FRAME},
        {"command 5 carrying a foreign node type", extended(OTHER_FRAME, 436, 1, Reply{.frameId = INNER, .nodeType = 7}),
         0, NO_MESSAGE, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        h.deliver(c.datagram);
        const auto messages = h.messages();
        const Events events = h.settle();
        if (c.listedFrame != 0) {
            EXPECT_TRUE(h.listed(c.listedFrame));
            EXPECT_EQ(events, found(c.listedFrame));
            Destination d;
            EXPECT_TRUE(h.list->findDestination(c.listedFrame, d));
        } else {
            EXPECT_EQ(h.list->frameIds().size(), 1U) << "only the settle marker is listed";
            EXPECT_TRUE(events.empty());
        }
        if (c.messageCommand != NO_MESSAGE) {
            ASSERT_EQ(messages.size(), 1U);
            EXPECT_EQ(messages[0].frameId, c.messageFrame);
            const Command<MSG_CmdHdr>& command = messages[0].command;
            EXPECT_EQ(command.isCommand() ? command.header().command : NOT_A_COMMAND, c.messageCommand);
        } else {
            EXPECT_TRUE(messages.empty());
        }
    }
}

TEST(FrameList, RecordOfAFrame)
{
    Harness h;
    h.deliver(bytesOf(Reply{.nodeType = 0x8005, .flags = 0x10, .stampA = -5, .stampB = -9, .deviceType = 0x1A04,
                            .word80 = 0xCAFE}),
              FRAME_ADDRESS);
    const FrameInfo info = h.list->frameInfo(FRAME);
    EXPECT_EQ(info.frameId, FRAME);
    EXPECT_EQ(info.nodeType, 5) << "flag bit 15 cleared";
    EXPECT_EQ(info.deviceType, 0x04U) << "low byte only";
    EXPECT_EQ(info.lastSeen, h.now.load());
    EXPECT_EQ(info.state, 4);
    EXPECT_EQ(info.address, FRAME_ADDRESS);
    EXPECT_EQ(info.word80, 0xCAFEU);

    const auto messages = h.messages();
    ASSERT_EQ(messages.size(), 1U);
    EXPECT_EQ(messages[0].command.header().senderNodeType, 5) << "later readers see the cleared flag too";
}

TEST(FrameList, SpecialStateSwitchesTheFrameToBroadcastForGood)
{
    Harness h;
    Destination d;
    h.deliver(bytesOf(Reply{.nodeType = 7, .flags = 0x02}), FRAME_ADDRESS);
    ASSERT_TRUE(h.list->findDestination(FRAME, d));
    EXPECT_TRUE(d.useBroadcast);
    EXPECT_EQ(d.address, FRAME_ADDRESS);

    h.deliver(bytesOf(Reply{}), NEW_ADDRESS);
    ASSERT_TRUE(h.list->findDestination(FRAME, d));
    EXPECT_TRUE(d.useBroadcast) << "a later reply with state 0 does not undo it";
    EXPECT_EQ(d.address, NEW_ADDRESS);
    EXPECT_EQ(h.list->frameInfo(FRAME).state, 0);
}

// A frame in a special state is spared the node-type test only: a message
// whose length field does not fit it is dropped like any other.
TEST(FrameList, SpecialStateWaivesOnlyTheNodeTypeTest)
{
    Harness h;
    const std::int64_t t0 = h.now.load();
    h.deliver(bytesOf(Reply{.nodeType = 7, .flags = 0x10}));
    ASSERT_EQ(h.settle(), found(FRAME));

    h.now = t0 + 3;
    h.deliver(bytesOf(Other{.nodeType = 7}));
    EXPECT_EQ(h.list->frameInfo(FRAME).lastSeen, t0 + 3);
    h.now = t0 + 6;
    h.deliver(bytesOf(Other{.nodeType = 7, .lengthField = 33}), NEW_ADDRESS);
    h.deliver(bytesOf(Other{.nodeType = 7, .lengthField = 0x8000}), NEW_ADDRESS);
    EXPECT_EQ(h.list->frameInfo(FRAME).lastSeen, t0 + 3);
    Destination d;
    ASSERT_TRUE(h.list->findDestination(FRAME, d));
    EXPECT_EQ(d.address, FRAME_ADDRESS) << "a dropped message does not move the frame";
    EXPECT_EQ(h.messages().size(), 2U) << "the discovery reply and the valid message only";
}

TEST(FrameList, FoundAndChangedEvents)
{
    struct Step {
        const char* name;
        Reply reply;
        Events expect;
    };
    const Step steps[] = {
        {"first reply", Reply{.stampA = 1}, found(FRAME)},
        {"identical reply", Reply{.stampA = 1}, {}},
        {"the larger stamp is the same", Reply{.stampA = 0, .stampB = 1}, {}},
        {"new stamp in state 0", Reply{.stampA = 2}, {{"changed", FRAME}}},
        {"zero to special state", Reply{.flags = 0x02, .stampA = 2}, {{"changed", FRAME}}},
        {"state 2 to 3", Reply{.flags = 0x08, .stampA = 2}, {}},
        {"new stamp in a special state", Reply{.flags = 0x08, .stampA = 3}, {}},
        {"special state back to zero", Reply{.stampA = 3}, {{"changed", FRAME}}},
        {"bits 0 and 2 alone are state 0", Reply{.flags = 0x05, .stampA = 3}, {}},
        {"other bits give state 1", Reply{.flags = 0x100, .stampA = 3}, {{"changed", FRAME}}},
    };
    Harness h;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        h.deliver(bytesOf(s.reply));
        EXPECT_EQ(h.settle(), s.expect);
    }
}

TEST(FrameList, SilentFramesAgeOutAfterTenSeconds)
{
    Harness h;
    const std::int64_t t0 = h.now.load();
    h.deliver(bytesOf(Reply{}));
    ASSERT_EQ(h.settle(), found(FRAME));

    h.now = t0 + 10;
    h.list->agePass();
    EXPECT_TRUE(h.listed(FRAME)) << "exactly 10 s of silence is still alive";
    EXPECT_EQ(h.settle(), Events{});

    h.now = t0 + 11;
    h.list->agePass();
    EXPECT_FALSE(h.listed(FRAME));
    EXPECT_EQ(h.settle(), (Events{{"lost", FRAME}}));
    try {
        h.list->frameInfo(FRAME);
        ADD_FAILURE() << "frameInfo of a lost frame should throw";
    } catch (const UnknownFrameIdException& e) {
        EXPECT_EQ(e.file(), "Morv/FrameList");
        EXPECT_EQ(e.line(), 157);
        EXPECT_EQ(e.message(), "Attempting to access a frame with an index that doesn't exist");
    }
    Destination d;
    EXPECT_TRUE(h.list->findDestination(FRAME, d)) << "the destination book is never aged";

    h.deliver(bytesOf(Reply{}));
    EXPECT_EQ(h.settle(), found(FRAME)) << "a lost frame that answers again is found again";
}

TEST(FrameList, AnyValidMessageKeepsAFrameAlive)
{
    Harness h;
    const std::int64_t t0 = h.now.load();
    h.deliver(bytesOf(Reply{}));
    ASSERT_EQ(h.settle(), found(FRAME));

    h.now = t0 + 5;
    h.deliver(bytesOf(Other{.nodeType = 6}), NEW_ADDRESS); // not valid from a listed frame: ignored
    h.now = t0 + 8;
    h.deliver(bytesOf(Other{}), NEW_ADDRESS);
    EXPECT_EQ(h.list->frameInfo(FRAME).lastSeen, t0 + 8);
    Destination d;
    ASSERT_TRUE(h.list->findDestination(FRAME, d));
    EXPECT_EQ(d.address, NEW_ADDRESS) << "the destination follows the frame's address";

    h.now = t0 + 18;
    h.list->agePass();
    EXPECT_TRUE(h.listed(FRAME));
    h.now = t0 + 19;
    h.list->agePass();
    EXPECT_FALSE(h.listed(FRAME));
    EXPECT_EQ(h.settle(), (Events{{"lost", FRAME}}));
}

TEST(FrameList, RequestsGoWhereTheDestinationSays)
{
    struct Case {
        const char* name;
        bool dynamicPorts;
        bool useBroadcast;
        std::uint16_t expectPort; // 0: broadcast
    };
    const Case cases[] = {
        {"fixed ports", false, false, 6015},
        {"dynamic ports", true, false, 6016},
        {"broadcast", false, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Calls calls;
        Harness h(c.dynamicPorts);
        const std::vector<char> request = bytesOf(Other{.command = CMD_KivText, .sequence = 77, .size = 44});
        ASSERT_TRUE(h.list->sendRequest(Destination{FRAME, FRAME_ADDRESS, c.useBroadcast}, request.data(),
                                        request.data() + request.size(), 60000, calls.completion()));
        const auto sent = h.sender.sent();
        ASSERT_EQ(sent.size(), 1U);
        EXPECT_EQ(sent[0].bytes, request);
        EXPECT_EQ(sent[0].broadcast, c.useBroadcast);
        if (!c.useBroadcast) {
            EXPECT_EQ(sent[0].address, FRAME_ADDRESS);
            EXPECT_EQ(sent[0].port, c.expectPort);
        }
    }
}

TEST(FrameList, ResponsesAreMatchedBySequenceNumber)
{
    struct Case {
        const char* name;
        std::optional<Reply> known; // how the frame was discovered, if at all
        std::vector<char> response;
        bool completes;
    };
    const std::uint32_t SEQ = 0x51;
    const Case cases[] = {
        {"an Ack from a listed frame", Reply{}, bytesOf(Other{.sequence = SEQ}), true},
        {"a header-only 28-byte message", Reply{}, bytesOf(Other{.sequence = SEQ, .size = 28}), true},
        {"27 bytes are ignored", Reply{}, bytesOf(Other{.sequence = SEQ, .size = 27}), false},
        {"from another frame: only the number counts", Reply{}, bytesOf(Other{.frameId = OTHER_FRAME, .sequence = SEQ}),
         true},
        {"an unknown frame is not checked", std::nullopt,
         bytesOf(Other{.sequence = SEQ, .nodeType = 6, .lengthField = 999}), true},
        {"a listed frame's foreign node type", Reply{}, bytesOf(Other{.sequence = SEQ, .nodeType = 6}), false},
        {"a listed frame's length field beyond the datagram", Reply{},
         bytesOf(Other{.sequence = SEQ, .lengthField = 33}), false},
        {"a listed frame in a special state is not checked", Reply{.flags = 0x02},
         bytesOf(Other{.sequence = SEQ, .nodeType = 6}), true},
        {"a different number", Reply{}, bytesOf(Other{.sequence = SEQ + 1}), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Calls calls;
        Harness h;
        if (c.known)
            h.deliver(bytesOf(*c.known));
        h.messages();
        ASSERT_TRUE(h.sendTo(SEQ, calls.completion()));
        h.deliver(c.response);
        const auto made = calls.snapshot();
        if (c.completes) {
            ASSERT_EQ(made.size(), 1U);
            EXPECT_EQ(made[0].code, Success);
            EXPECT_FALSE(made[0].nullBytes);
            EXPECT_EQ(made[0].length, c.response.size());
            EXPECT_EQ(made[0].thread, std::this_thread::get_id()) << "matched on the receiving thread";
            EXPECT_TRUE(h.messages().empty()) << "a response is not also unsolicited";
        } else {
            EXPECT_TRUE(made.empty());
        }
    }
}

TEST(FrameList, SequenceNumberZeroIsNeverAResponse)
{
    Calls calls;
    Harness h;
    ASSERT_TRUE(h.sendTo(0, calls.completion()));
    h.deliver(bytesOf(Other{.command = CMD_KivText, .sequence = 0, .size = 40}));
    EXPECT_TRUE(calls.snapshot().empty());
    const auto messages = h.messages();
    ASSERT_EQ(messages.size(), 1U);
    EXPECT_EQ(messages[0].frameId, FRAME);
    EXPECT_EQ(messages[0].command.size(), 40U);
    EXPECT_EQ(messages[0].command.header().command, CMD_KivText);
}

TEST(FrameList, ALaterRequestUnderTheSameNumberReplacesTheEarlier)
{
    Calls first, second;
    Harness h;
    ASSERT_TRUE(h.sendTo(9, first.completion()));
    ASSERT_TRUE(h.sendTo(9, second.completion()));
    h.deliver(bytesOf(Other{.sequence = 9}));
    h.deliver(bytesOf(Other{.sequence = 9}));
    h.list->expiryPass();
    h.settle();
    EXPECT_TRUE(first.snapshot().empty());
    ASSERT_EQ(second.snapshot().size(), 1U);
    EXPECT_EQ(second.snapshot()[0].code, Success);
    EXPECT_EQ(h.messages().size(), 1U) << "the second copy of the response is unsolicited";
}

TEST(FrameList, UnansweredRequestTimesOutOnce)
{
    Calls calls;
    Harness h;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(h.sendTo(31, calls.completion(), 20));
    ASSERT_TRUE(calls.waitForCall());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
    h.list->expiryPass();
    std::this_thread::sleep_for(50ms);
    h.settle();
    const auto made = calls.snapshot();
    ASSERT_EQ(made.size(), 1U);
    EXPECT_EQ(made[0].code, TimedOut);
    EXPECT_TRUE(made[0].nullBytes);
    EXPECT_EQ(made[0].length, 0U);
    EXPECT_NE(made[0].thread, std::this_thread::get_id());

    h.deliver(bytesOf(Other{.sequence = 31}));
    EXPECT_EQ(calls.snapshot().size(), 1U);
    EXPECT_EQ(h.messages().size(), 1U) << "a late response is unsolicited";
}

TEST(FrameList, AnEarlierDeadlineWakesTheExpiryThread)
{
    Calls distant, soon; // not "near": a macro of the Windows headers
    Harness h;
    ASSERT_TRUE(h.sendTo(40, distant.completion(), 60000));
    std::this_thread::sleep_for(50ms); // the expiry thread now sleeps towards the distant deadline
    ASSERT_TRUE(h.sendTo(41, soon.completion(), 30));
    ASSERT_TRUE(soon.waitForCall()) << "the near deadline went unnoticed";
    EXPECT_EQ(soon.snapshot()[0].code, TimedOut);
    EXPECT_TRUE(distant.snapshot().empty());
}

TEST(FrameList, FailedTransmissionLeavesNothingRegistered)
{
    Calls calls;
    Harness h;
    h.sender.result = false;
    EXPECT_FALSE(h.sendTo(50, calls.completion()));
    h.deliver(bytesOf(Other{.sequence = 50}));
    h.settle();
    EXPECT_TRUE(calls.snapshot().empty());
    EXPECT_EQ(h.messages().size(), 1U) << "the response finds no request";
}

TEST(FrameList, ResponseArrivingDuringTheTransmissionCompletesTheRequest)
{
    Calls calls;
    Harness h;
    h.sender.hook = [&h](const kivtest::FakeDatagramSender::Sent& sent) {
        const std::uint32_t sequence = loadU32(sent.bytes.data(), OFFSET_SEQUENCE);
        h.deliver(bytesOf(Other{.sequence = sequence}));
    };
    EXPECT_TRUE(h.sendTo(60, calls.completion()));
    const auto made = calls.snapshot();
    ASSERT_EQ(made.size(), 1U);
    EXPECT_EQ(made[0].code, Success);
    EXPECT_TRUE(h.messages().empty());
}

namespace {

// Lets threads start together: the last of n to arrive opens it. Not
// std::latch, whose wait in libstdc++ 12 without futexes (the Windows build)
// hung now and then; a condition variable does not.
struct StartGate {
    explicit StartGate(int n) : left(n) {}
    void arrive_and_wait()
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (--left == 0)
            open.notify_all();
        else
            open.wait(lock, [this] { return left == 0; });
    }
    std::mutex mutex;
    std::condition_variable open;
    int left;
};

} // namespace

TEST(FrameList, EveryCompletionRunsExactlyOnceUnderRacingResponsesAndExpiry)
{
    // Responses for the same requests come from several threads at once while
    // their deadlines pass: each request must end exactly once. A few rounds,
    // as a lost race shows only now and then.
    constexpr int ROUNDS = 8;
    constexpr std::uint32_t REQUESTS = 2000;
    constexpr int RECEIVERS = 4;

    std::vector<std::atomic<int>> count(ROUNDS * REQUESTS);
    std::atomic<std::uint32_t> total{0};
    std::atomic<std::uint32_t> successes{0};
    Harness h; // after the counters: destroyed before them

    for (int round = 0; round < ROUNDS; ++round) {
        const std::uint32_t first = 0x1000 + round * REQUESTS;
        for (std::uint32_t i = first; i < first + REQUESTS; ++i) {
            auto completion = [&, i](const char*, unsigned, ErrorCode code) {
                ++count[i - 0x1000];
                if (code == Success)
                    ++successes;
                ++total;
                std::this_thread::yield(); // a completion that takes a moment widens any race
            };
            // Half expire while the responses come in; the other half wait for
            // theirs (on a slow build the short ones may all be gone first).
            ASSERT_TRUE(h.sendTo(i, completion, i % 2 == 0 ? i % 8 : 60000));
        }

        // Every receiver walks all the numbers in the same order, so they collide on each one.
        StartGate start(RECEIVERS + 1);
        std::vector<std::thread> threads;
        for (int r = 0; r < RECEIVERS; ++r) {
            threads.emplace_back([&h, &start, first, r] {
                start.arrive_and_wait();
                for (std::uint32_t i = first; i < first + REQUESTS; ++i) {
                    std::vector<char> response = bytesOf(Other{.frameId = FRAME + 1 + r, .sequence = i});
                    h.list->onDatagram(response.data(), static_cast<std::uint32_t>(response.size()), FRAME_ADDRESS);
                }
            });
        }
        threads.emplace_back([&h, &start] {
            start.arrive_and_wait();
            for (int i = 0; i < 200; ++i)
                h.list->expiryPass();
        });
        for (auto& t : threads)
            t.join();
    }

    const std::uint32_t all = ROUNDS * REQUESTS;
    const auto deadline = std::chrono::steady_clock::now() + PATIENCE;
    while (total.load() < all && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    h.list->expiryPass();
    h.settle();
    EXPECT_EQ(total.load(), all);
    for (std::uint32_t i = 0; i < all; ++i)
        ASSERT_EQ(count[i].load(), 1) << "request " << i;
    EXPECT_GT(successes.load(), 0U);
    EXPECT_LT(successes.load(), all) << "some requests should have expired in the race";
}

TEST(FrameList, EveryListedFrameCanBeSentTo)
{
    // A frame that frameIds() lists must already have its destination: the
    // sender looks the frame up the moment it sees it listed.
    Harness h;
    constexpr int frames = 2000;
    std::atomic<bool> done{false};
    std::atomic<int> missing{0};
    std::thread reader([&] {
        while (!done) {
            for (const std::uint64_t id : h.list->frameIds()) {
                Destination d;
                if (!h.list->findDestination(id, d))
                    ++missing;
            }
        }
    });
    for (int i = 0; i < frames; ++i)
        h.deliver(bytesOf(Reply{.frameId = 0x0000555500000000ULL + static_cast<std::uint64_t>(i)}));
    done = true;
    reader.join();
    EXPECT_EQ(missing, 0);
}
