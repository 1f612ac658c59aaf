#include "Morv/FrameList.h"

#include "Morv/Wire.h"
#include "common/Platform.h"

#include <utility>

namespace Morv {

namespace {
// A frame silent for more than this many whole seconds is lost.
constexpr std::int64_t SILENCE_LIMIT_S = 10;
constexpr std::chrono::milliseconds AGEING_PERIOD{1000};
// How often the expiry thread looks at the table while nothing is pending.
constexpr std::chrono::milliseconds IDLE_EXPIRY_POLL{200};
} // namespace

FrameList::FrameList(const NetworkType& type, Network::DatagramSender& sender, CalendarClock calendarClock)
    : type_(type), sender_(sender),
      calendarClock_(calendarClock ? std::move(calendarClock) : CalendarClock(&Platform::calendarSeconds))
{
    ageingThread_ = std::thread([this] { runAgeing(); });
    try {
        expiryThread_ = std::thread([this] { runExpiry(); });
    } catch (...) {
        stopAgeing();
        throw;
    }
}

FrameList::~FrameList()
{
    // Stop and join the ageing thread, then the expiry thread. The executor
    // goes next (tasks not yet run are dropped), then the tables and events.
    // Completions still pending are destroyed uncalled.
    stopAgeing();
    stopExpiry();
}

void FrameList::stopAgeing()
{
    {
        std::lock_guard<std::mutex> lock(ageingStateMutex_);
        ageingRunning_ = false;
    }
    ageingWakeup_.notify_all();
    ageingThread_.join();
}

void FrameList::stopExpiry()
{
    {
        std::lock_guard<std::mutex> lock(expiryStateMutex_);
        expiryRunning_ = false;
    }
    expiryWakeup_.notify_all();
    expiryThread_.join();
}

namespace {
thread_local std::uint32_t completingSource = 0;

// Sets the completing source for one completion call on this thread.
class CompletingSource {
public:
    explicit CompletingSource(std::uint32_t address) { completingSource = address; }
    ~CompletingSource() { completingSource = 0; }
    CompletingSource(const CompletingSource&) = delete;
    CompletingSource& operator=(const CompletingSource&) = delete;
};
} // namespace

std::uint32_t FrameList::responseSource()
{
    return completingSource;
}

void FrameList::countDrop(std::uint32_t sourceAddress)
{
    std::lock_guard<std::mutex> lock(dropsMutex_);
    ++drops_[sourceAddress];
}

std::uint64_t FrameList::droppedFrom(std::uint32_t address) const
{
    std::lock_guard<std::mutex> lock(dropsMutex_);
    const auto it = drops_.find(address);
    return it == drops_.end() ? 0 : it->second;
}

void FrameList::onDatagram(const char* bytes, std::uint32_t length, std::uint32_t sourceAddress)
{
    if (length < HEADER_SIZE) {
        countDrop(sourceAddress);
        return;
    }

    // An extended broadcast-ID message stands for the broadcast-ID message it carries.
    const char* message = bytes;
    std::uint32_t messageLength = length;
    if (const auto inner = innerBroadcastIdOffset(bytes, length)) {
        message = bytes + *inner;
        messageLength = static_cast<std::uint32_t>(BROADCAST_ID_SIZE);
    }

    MSG_CmdHdr header = readHeader(message);
    const std::uint16_t receivedNodeType = header.senderNodeType;
    type_.normalizeNodeType(header);
    if (header.senderNodeType != receivedNodeType) {
        // The receive buffer is ours to change: whoever reads the message
        // after us (a completion, onMessage) sees the node type without its flag.
        storeU16(const_cast<char*>(message), OFFSET_SENDER_NODE_TYPE, header.senderNodeType);
    }

    // A command-4 datagram too short for the broadcast-ID body is no
    // discovery reply; taken as any other message, it can still complete the
    // request it answers (which then reports it as an invalid response).
    const bool admitted = header.command == CMD_BroadcastID && messageLength >= BROADCAST_ID_SIZE
                              ? admitBroadcastId(message, messageLength, header, sourceAddress)
                              : admitOther(messageLength, header, sourceAddress);
    if (!admitted) {
        countDrop(sourceAddress);
        return;
    }

    // Only the sequence number is matched, never the sender. 0 is never a response.
    if (header.sequence != 0) {
        const CompletingSource source(sourceAddress);
        if (completeRequest(header.sequence, message, messageLength))
            return;
    }

    const Command<MSG_CmdHdr> command(message, messageLength);
    onMessage.fire(header.sourceId, command);
}

bool FrameList::isValid(std::uint32_t length, const MSG_CmdHdr& header, bool nodeTypeWaived) const
{
    const int lengthField = header.signedLength();
    if (length < HEADER_SIZE || lengthField < 0 || static_cast<std::uint32_t>(lengthField) > length)
        return false;
    return nodeTypeWaived || type_.isFrameNodeType(header);
}

bool FrameList::admitBroadcastId(const char* message, std::uint32_t length, const MSG_CmdHdr& header,
                                 std::uint32_t sourceAddress)
{
    // 0 names every frame on the command line, and DISCOVERY_ID addresses
    // every frame that hears a message: neither can be the ID of one frame.
    if (header.sourceId == 0 || header.sourceId == DISCOVERY_ID)
        return false;
    const MSG_BroadcastID body = readBroadcastIdBody(message);
    const std::int32_t state = frameStateFromFlags(body.statusFlags);
    // A frame in a special state may announce itself with another node type;
    // its length field is checked like every other.
    if (!isValid(length, header, state != 0))
        return false;

    FrameEntry entry;
    entry.info.frameId = header.sourceId;
    entry.info.nodeType = header.senderNodeType;
    entry.info.deviceType = body.deviceType & 0xFFU;
    entry.info.lastSeen = calendarClock_();
    entry.info.state = state;
    entry.info.address = sourceAddress;
    entry.info.word80 = body.word80;
    entry.changeStamp = body.changeStamp;

    // The destination goes in first: a frame that frameIds() lists can always be sent to.
    {
        std::lock_guard<std::mutex> lock(destinationsMutex_);
        auto it = destinations_.find(header.sourceId);
        if (it == destinations_.end()) {
            destinations_.emplace(header.sourceId, Destination{header.sourceId, sourceAddress, state != 0});
        } else {
            // Once a frame has reported a special state it is only reached by broadcast.
            it->second.address = sourceAddress;
            if (state != 0)
                it->second.useBroadcast = true;
        }
    }

    bool isNew = false;
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(framesMutex_);
        auto it = frames_.find(header.sourceId);
        if (it == frames_.end()) {
            isNew = true;
            frames_.emplace(header.sourceId, entry);
        } else {
            const FrameEntry& stored = it->second;
            // Moves among the non-zero states are not changes, nor are new
            // stamps while the state is non-zero.
            changed = (stored.info.state != 0) != (state != 0) ||
                      (state == 0 && stored.changeStamp != entry.changeStamp);
            it->second = entry;
        }
    }
    const std::uint64_t frameId = header.sourceId;
    if (isNew)
        executor_.post([this, frameId] { onFrameFound.fire(frameId); });
    else if (changed)
        executor_.post([this, frameId] { onFrameChanged.fire(frameId); });
    return true;
}

bool FrameList::admitOther(std::uint32_t length, const MSG_CmdHdr& header, std::uint32_t sourceAddress)
{
    {
        std::lock_guard<std::mutex> lock(framesMutex_);
        auto it = frames_.find(header.sourceId);
        // Messages from frames we do not list are taken as they come.
        if (it != frames_.end()) {
            FrameInfo& info = it->second.info;
            if (!isValid(length, header, info.state != 0))
                return false;
            info.lastSeen = calendarClock_();
        }
    }
    {
        std::lock_guard<std::mutex> lock(destinationsMutex_);
        auto it = destinations_.find(header.sourceId);
        if (it != destinations_.end())
            it->second.address = sourceAddress;
    }
    return true;
}

bool FrameList::completeRequest(std::uint32_t sequence, const char* message, std::uint32_t length)
{
    Completion completion;
    {
        std::lock_guard<std::mutex> lock(pendingMutex_);
        auto it = pending_.find(sequence);
        if (it == pending_.end())
            return false;
        completion = std::move(it->second.completion);
        pending_.erase(it);
    }
    completion(message, length, Success);
    return true;
}

FrameInfo FrameList::frameInfo(std::uint64_t frameId) const
{
    std::lock_guard<std::mutex> lock(framesMutex_);
    auto it = frames_.find(frameId);
    if (it == frames_.end())
        throw UnknownFrameIdException("Morv/FrameList", 157,
                                      "Attempting to access a frame with an index that doesn't exist");
    return it->second.info;
}

bool FrameList::findDestination(std::uint64_t frameId, Destination& destination) const
{
    std::lock_guard<std::mutex> lock(destinationsMutex_);
    auto it = destinations_.find(frameId);
    if (it == destinations_.end())
        return false;
    destination = it->second;
    return true;
}

std::vector<std::uint64_t> FrameList::frameIds() const
{
    std::lock_guard<std::mutex> lock(framesMutex_);
    std::vector<std::uint64_t> ids;
    ids.reserve(frames_.size());
    for (const auto& [id, entry] : frames_)
        ids.push_back(id);
    return ids;
}

bool FrameList::sendRequest(const Destination& destination, const char* begin, const char* end, unsigned timeoutMs,
                            Completion completion)
{
    const auto size = static_cast<std::uint32_t>(end - begin);
    if (size < HEADER_SIZE)
        return false;
    const std::uint32_t sequence = loadU32(begin, OFFSET_SEQUENCE);
    const SteadyClock::time_point deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);

    // Register before transmitting, so that even a response that comes back
    // before the send call returns finds its request.
    std::uint64_t ticket;
    Completion replaced;
    {
        std::lock_guard<std::mutex> lock(pendingMutex_);
        ticket = ++nextTicket_;
        PendingEntry& entry = pending_[sequence];
        // An older request under the same number is dropped without a call.
        replaced = std::move(entry.completion);
        entry = PendingEntry{std::move(completion), deadline, ticket};
    }
    replaced = nullptr;

    // Wake the expiry thread when this deadline comes before the one it sleeps
    // towards. The entry is already in the table, so its next pass sees it.
    {
        std::lock_guard<std::mutex> lock(expiryStateMutex_);
        if (earliestDeadline_ == SteadyClock::time_point{} || earliestDeadline_ > deadline) {
            earliestDeadline_ = deadline;
            expiryWakeup_.notify_one();
        }
    }

    const bool sent = destination.useBroadcast
                          ? sender_.broadcast(begin, size)
                          : sender_.sendTo(begin, size, destination.address, engineRemotePort(type_));
    if (sent)
        return true;
    // If our entry is gone already it was answered, expired or replaced
    // meanwhile: its outcome is on its way (or it was dropped as if sent), so
    // only a withdrawn entry makes this a refusal.
    return !withdraw(sequence, ticket);
}

bool FrameList::withdraw(std::uint32_t sequence, std::uint64_t ticket)
{
    Completion withdrawn;
    {
        std::lock_guard<std::mutex> lock(pendingMutex_);
        auto it = pending_.find(sequence);
        if (it == pending_.end() || it->second.ticket != ticket)
            return false;
        withdrawn = std::move(it->second.completion);
        pending_.erase(it);
    }
    return true;
}

void FrameList::agePass()
{
    std::lock_guard<std::mutex> lock(ageingStateMutex_);
    ageLocked();
}

void FrameList::expiryPass()
{
    std::lock_guard<std::mutex> lock(expiryStateMutex_);
    expireLocked();
}

void FrameList::runAgeing()
{
    std::unique_lock<std::mutex> lock(ageingStateMutex_);
    while (ageingRunning_) {
        ageLocked();
        ageingWakeup_.wait_for(lock, Platform::timedWait(AGEING_PERIOD), [this] { return !ageingRunning_; });
    }
}

void FrameList::ageLocked()
{
    std::vector<std::uint64_t> lost;
    {
        std::lock_guard<std::mutex> lock(framesMutex_);
        const std::int64_t now = calendarClock_();
        for (auto it = frames_.begin(); it != frames_.end();) {
            // Exactly SILENCE_LIMIT_S seconds of silence still counts as alive.
            if (it->second.info.lastSeen + SILENCE_LIMIT_S < now) {
                lost.push_back(it->first);
                it = frames_.erase(it);
            } else {
                ++it;
            }
        }
    }
    if (lost.empty())
        return;
    executor_.post([this, lost = std::move(lost)] {
        for (const std::uint64_t frameId : lost)
            onFrameLost.fire(frameId);
    });
}

void FrameList::runExpiry()
{
    std::unique_lock<std::mutex> lock(expiryStateMutex_);
    while (expiryRunning_) {
        expireLocked();
        // Sleep exactly until the earliest deadline; sendRequest wakes us
        // sooner when it registers an earlier one.
        if (earliestDeadline_ == SteadyClock::time_point{})
            expiryWakeup_.wait_for(lock, Platform::timedWait(IDLE_EXPIRY_POLL));
        else if (const auto now = SteadyClock::now(); earliestDeadline_ > now)
            expiryWakeup_.wait_until(lock, now + Platform::timedWait(earliestDeadline_ - now));
    }
}

void FrameList::expireLocked()
{
    const SteadyClock::time_point now = SteadyClock::now();
    SteadyClock::time_point earliest{};
    std::vector<Completion> expired;
    {
        // One pass: take out everything due, note the earliest deadline left.
        std::lock_guard<std::mutex> lock(pendingMutex_);
        for (auto it = pending_.begin(); it != pending_.end();) {
            if (it->second.deadline <= now) {
                expired.push_back(std::move(it->second.completion));
                it = pending_.erase(it);
            } else {
                if (earliest == SteadyClock::time_point{} || it->second.deadline < earliest)
                    earliest = it->second.deadline;
                ++it;
            }
        }
    }
    earliestDeadline_ = earliest;
    for (Completion& completion : expired)
        executor_.post([completion = std::move(completion)] { completion(nullptr, 0, TimedOut); });
}

} // namespace Morv
