// The frame list's receive path: discovery replies, command-5 wrapping,
// responses matched to pending requests, unsolicited messages. Each input is a
// series of datagrams (see Fixtures.h) fed to a list that already holds a few
// frames and pending requests, so that matching and state changes are reached.

#include "FuzzCheck.h"
#include "Fixtures.h"

#include "Morv/FrameList.h"
#include "Morv/NetworkType.h"

#include <array>
#include <atomic>
#include <memory>
#include <utility>
#include <vector>

using namespace Morv;

namespace {

// Sends nothing and always succeeds: the requests only need to be registered.
class NoNetwork : public Network::DatagramSender {
public:
    bool broadcast(const char*, std::uint32_t) override { return true; }
    bool sendTo(const char*, std::uint32_t, std::uint32_t, std::uint16_t) override { return true; }
};

std::vector<char> discoveryReply(std::uint64_t id, std::uint16_t nodeType, std::uint32_t flags)
{
    std::vector<char> bytes(BROADCAST_ID_SIZE);
    MSG_CmdHdr header;
    header.sourceId = id;
    header.destinationId = DISCOVERY_ID;
    header.senderNodeType = nodeType;
    header.length = BROADCAST_ID_SIZE;
    header.command = CMD_BroadcastID;
    header.sequence = 7;
    writeHeader(bytes.data(), header);
    storeU32(bytes.data(), OFFSET_STATUS_FLAGS, flags);
    storeU32(bytes.data(), OFFSET_DEVICE_TYPE, 19);
    storeChecksum(bytes.data(), bytes.size());
    return bytes;
}

std::vector<char> wrapped(const std::vector<char>& inner)
{
    std::vector<char> bytes(BROADCAST_ID_EXT_MIN_SIZE);
    std::copy(inner.begin(), inner.end(), bytes.begin() + OFFSET_EXT_INNER);
    MSG_CmdHdr header = readHeader(inner.data());
    header.length = BROADCAST_ID_EXT_MIN_SIZE;
    header.command = CMD_BroadcastIDExt;
    writeHeader(bytes.data(), header);
    storeU16(bytes.data(), OFFSET_EXT_COUNT, 1);
    return bytes;
}

// A request whose bytes carry `sequence`.
std::vector<char> request(std::uint32_t sequence)
{
    std::vector<char> bytes(36);
    MSG_CmdHdr header;
    header.length = 36;
    header.command = CMD_KivText;
    header.sequence = sequence;
    writeHeader(bytes.data(), header);
    return bytes;
}

bool isReservedId(std::uint64_t id) { return id == 0 || id == DISCOVERY_ID; }

// One frame list serves many inputs, since starting its threads costs far more
// than an input. Between inputs the calendar jumps, so every frame ages out,
// and the pending requests are registered anew under the same numbers, which
// drops the old ones uncalled: each input starts from the same tables. The
// destination book is never aged; the list is made anew now and then so that
// it stays small (what an input does never depends on it).
class Harness {
public:
    static constexpr std::size_t PENDING = std::size(KivFuzz::PENDING_SEQUENCES);
    static constexpr unsigned INPUTS_PER_LIST = 4096;

    Harness() : type_(false, &pyx_) {}

    void run(const std::uint8_t* data, std::size_t size);

private:
    void renew();
    void preload();
    void registerRequests();
    void feed(const std::uint8_t* data, std::size_t size);
    void checkTables() const;

    Morv::PyxNetworkType pyx_;
    Morv::KivNetworkType type_;
    NoNetwork network_;
    std::atomic<std::int64_t> calendar_{1000000};
    std::unique_ptr<FrameList> list_;
    std::vector<std::shared_ptr<void>> tokens_;
    unsigned inputs_ = 0;

    // The datagram being fed, which the completions check their bytes against.
    const char* fedBegin_ = nullptr;
    std::size_t fedSize_ = 0;
    std::array<std::atomic<int>, PENDING> calls_{};
};

void Harness::run(const std::uint8_t* data, std::size_t size)
{
    if (!list_ || inputs_++ % INPUTS_PER_LIST == 0)
        renew();
    preload();
    registerRequests();
    feed(data, size);
    checkTables();
    // Every frame of this input ages out before the next.
    calendar_ += 60;
    list_->agePass();
    FUZZ_CHECK(list_->frameIds().empty());
}

void Harness::renew()
{
    tokens_.clear();
    list_.reset();
    list_ = std::make_unique<FrameList>(type_, network_, [this] { return calendar_.load(); });
    tokens_.push_back(list_->onFrameFound.subscribe([](std::uint64_t id) { FUZZ_CHECK(!isReservedId(id)); }));
    tokens_.push_back(list_->onFrameChanged.subscribe([](std::uint64_t id) { FUZZ_CHECK(!isReservedId(id)); }));
    tokens_.push_back(list_->onMessage.subscribe([](std::uint64_t, const Command<MSG_CmdHdr>& command) {
        // A command holds a whole header and exactly as many bytes as its length field says.
        if (command.isCommand()) {
            FUZZ_CHECK(command.size() >= HEADER_SIZE);
            FUZZ_CHECK(command.header().length == command.size());
        } else {
            FUZZ_CHECK(command.size() == 0);
        }
    }));
}

void Harness::preload()
{
    using namespace KivFuzz;
    const std::pair<std::vector<char>, std::uint32_t> replies[] = {
        {discoveryReply(FRAME_A, NODE_TYPE_FRAME, 0), ADDRESS_A},
        {discoveryReply(FRAME_B, NODE_TYPE_FRAME | NODE_TYPE_FLAG_BIT, 0x02), ADDRESS_B},
        {wrapped(discoveryReply(FRAME_C, 8, 0)), ADDRESS_C},
    };
    for (const auto& [reply, address] : replies) {
        std::vector<char> bytes = reply;
        list_->onDatagram(bytes.data(), static_cast<std::uint32_t>(bytes.size()), address);
    }
    FUZZ_CHECK(list_->frameIds().size() == 3);
}

void Harness::registerRequests()
{
    using namespace KivFuzz;
    for (std::size_t i = 0; i < PENDING; ++i) {
        calls_[i] = 0;
        Destination destination;
        FUZZ_CHECK(list_->findDestination(i % 3 == 0 ? FRAME_A : i % 3 == 1 ? FRAME_B : FRAME_C, destination));
        const std::uint32_t sequence = PENDING_SEQUENCES[i];
        const std::vector<char> bytes = request(sequence);
        const bool sent = list_->sendRequest(
            destination, bytes.data(), bytes.data() + bytes.size(), 3600 * 1000,
            [this, i, sequence](const char* reply, unsigned length, ErrorCode code) {
                FUZZ_CHECK(++calls_[i] == 1);
                FUZZ_CHECK(code == Success);
                FUZZ_CHECK(sequence != 0);
                // The response lies within the datagram and carries the request's number.
                FUZZ_CHECK(reply >= fedBegin_ && reply + length <= fedBegin_ + fedSize_);
                FUZZ_CHECK(length >= HEADER_SIZE);
                FUZZ_CHECK(loadU32(reply, OFFSET_SEQUENCE) == sequence);
            });
        FUZZ_CHECK(sent);
    }
}

void Harness::feed(const std::uint8_t* data, std::size_t size)
{
    constexpr std::size_t MAX_RECORDS = 64;
    std::size_t offset = 0;
    for (std::size_t record = 0; record < MAX_RECORDS && offset + KivFuzz::RECORD_HEADER_SIZE <= size; ++record) {
        const std::uint32_t source = 0x7F000000U | data[offset];
        const std::size_t claimed = data[offset + 1] | (data[offset + 2] << 8);
        offset += KivFuzz::RECORD_HEADER_SIZE;
        const std::size_t length = std::min(claimed, size - offset);
        // A buffer of the datagram's own size, so a read past it is caught;
        // the list may change it in place.
        std::vector<char> datagram(data + offset, data + offset + length);
        offset += length;
        fedBegin_ = datagram.data();
        fedSize_ = datagram.size();
        list_->onDatagram(datagram.data(), static_cast<std::uint32_t>(datagram.size()), source);
    }
}

void Harness::checkTables() const
{
    for (const std::uint64_t id : list_->frameIds()) {
        FUZZ_CHECK(!isReservedId(id));
        FUZZ_CHECK(list_->frameInfo(id).frameId == id);
        Destination destination;
        FUZZ_CHECK(list_->findDestination(id, destination) && destination.frameId == id);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static Harness harness;
    harness.run(data, size);
    return 0;
}
