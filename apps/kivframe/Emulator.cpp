#include "apps/kivframe/Emulator.h"

#include "apps/kivframe/RequestParser.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>

namespace KivFrame {

namespace {

using namespace Morv;
using namespace std::chrono_literals;

constexpr std::uint16_t FRAME_PORT = 6015;         // requests from controllers on their port 6004
constexpr std::uint16_t DYNAMIC_FRAME_PORT = 6016; // requests answered to the sender's own port
constexpr std::uint16_t CONTROLLER_PORT = 6004;
constexpr std::uint32_t LIMITED_BROADCAST = 0xFFFFFFFF;

// The largest datagram UDP can carry.
constexpr std::size_t RECEIVE_BUFFER_SIZE = 65536;
// Datagrams read from one socket before timers get their turn again.
constexpr int RECEIVE_BATCH = 256;
// Answers waiting for their time at most; more are discarded and counted.
constexpr std::size_t MAX_QUEUED = 500000;
// Paced answers that may leave back to back after the loop woke late.
constexpr int MAX_PACED_BURST = 4;
constexpr auto LOG_FLUSH_PERIOD = 100ms;

// True with probability p, drawing from the frame's generator only when the outcome is open.
bool happens(FrameRandom& random, double p)
{
    if (p <= 0.0)
        return false;
    if (p >= 1.0)
        return true;
    return random.next() < p;
}

} // namespace

Emulator::Emulator(const Options& options, FrameTable& frames, JsonLog* log, Clock::time_point start)
    : options_(options), frames_(frames), log_(log), start_(start), pace_(options.paceUs),
      lastFlush_(start), receiveBuffer_(RECEIVE_BUFFER_SIZE), sendBuffer_(MAX_ANSWER_SIZE)
{
    sockets_[0] = std::make_unique<UdpSocket>(FRAME_PORT);
    sockets_[1] = std::make_unique<UdpSocket>(DYNAMIC_FRAME_PORT);
}

std::int64_t Emulator::elapsedUs() const
{
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start_).count();
}

bool Emulator::run(const volatile std::sig_atomic_t& stopRequested, const sigset_t& waitMask)
{
    const Clock::time_point deadline =
        options_.durationS
            ? start_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(*options_.durationS))
            : Clock::time_point::max();

    pollfd fds[2];
    for (std::size_t i = 0; i < 2; ++i)
        fds[i] = pollfd{sockets_[i]->fd(), POLLIN, 0};

    while (!stopRequested) {
        Clock::time_point now = Clock::now();
        if (now >= deadline)
            break;
        releaseDue(now);
        sendPaced(now);
        if (log_ && log_->pending() && now - lastFlush_ >= LOG_FLUSH_PERIOD) {
            lastFlush_ = now;
            if (!log_->flush())
                return false;
        }

        now = Clock::now();
        const auto wait = std::max(nextWake(deadline) - now, Clock::duration::zero());
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait);
        const timespec timeout{static_cast<time_t>(std::min<std::int64_t>(seconds.count(), 86400)),
                               static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(wait - seconds).count())};
        const int ready = ppoll(fds, 2, &timeout, &waitMask);
        if (ready < 0 && errno != EINTR)
            throw SetupError(std::string("waiting for datagrams failed: ") + std::strerror(errno));
        if (ready > 0)
            for (std::size_t i = 0; i < 2; ++i)
                if (fds[i].revents != 0)
                    receiveAll(i);
    }

    // Answers still waiting are dropped: the run is over.
    if (log_) {
        log_->stop(elapsedUs());
        if (!log_->flush())
            return false;
    }
    return true;
}

Emulator::Clock::time_point Emulator::nextWake(Clock::time_point deadline) const
{
    Clock::time_point wake = deadline;
    if (!delayed_.empty())
        wake = std::min(wake, delayed_.top().due);
    if (!paced_.empty())
        wake = std::min(wake, nextPaced_);
    if (log_ && log_->pending())
        wake = std::min(wake, lastFlush_ + LOG_FLUSH_PERIOD);
    return wake;
}

void Emulator::receiveAll(std::size_t socket)
{
    for (int i = 0; i < RECEIVE_BATCH; ++i) {
        bool failed = false;
        const auto datagram = sockets_[socket]->receive(receiveBuffer_.data(), receiveBuffer_.size(), failed);
        if (!datagram) {
            if (failed)
                std::fprintf(stderr, "kivframe: receiving on port %u failed: %s\n",
                             static_cast<unsigned>(sockets_[socket]->port()), std::strerror(errno));
            return;
        }
        ++counters_.received;
        if (pcap_)
            pcap_->datagram(datagram->peer, datagram->peerPort, datagram->local, sockets_[socket]->port(),
                            receiveBuffer_.data(), datagram->size);
        handle(socket, *datagram);
    }
}

void Emulator::handle(std::size_t socket, const UdpSocket::Datagram& d)
{
    const char* bytes = receiveBuffer_.data();
    const ParsedRequest request = parseRequest(frames_, bytes, d.size, d.peer, d.local);
    const std::int64_t atUs = elapsedUs();
    if (log_)
        log_->datagram(atUs, JsonLog::Datagram{false, request.logFrame, d.peer, d.peerPort, d.local,
                                                      sockets_[socket]->port(), bytes, d.size});
    switch (request.kind) {
    case ParsedRequest::Kind::Discovery:
        for (const auto index : request.frames)
            answerDiscovery(frames_[index], request.header, socket, d, atUs);
        break;
    case ParsedRequest::Kind::Text:
        for (const auto index : request.frames)
            answerRequest(frames_[index], request.header, request.text, socket, d, atUs);
        break;
    case ParsedRequest::Kind::NotAMessage:
    case ParsedRequest::Kind::OwnAnswer:
    case ParsedRequest::Kind::Other:
        break;
    }
}

void Emulator::answerDiscovery(Frame& frame, const MSG_CmdHdr& request, std::size_t socket,
                               const UdpSocket::Datagram& d, std::int64_t atUs)
{
    const FrameSettings& s = *frame.settings;
    if (!presentAt(s.show, atUs))
        return;
    const std::uint32_t earlier = hear(frame, request.sequence);
    if (++frame.discoveriesHeard < s.faults.discoveryFrom)
        return;
    if (happens(frame.random, s.faults.dropDiscovery)) {
        ++counters_.dropped;
        return;
    }
    Reply reply;
    reply.kind = AnswerKind::Discovery;
    reply.requestSequence = request.sequence;
    reply.earlierSequence = earlier;
    reply.requesterId = request.sourceId;
    schedule(frame, reply, socket, d, pace_.count() > 0);
}

void Emulator::answerRequest(Frame& frame, const MSG_CmdHdr& request, std::string_view text, std::size_t socket,
                             const UdpSocket::Datagram& d, std::int64_t atUs)
{
    const FrameSettings& s = *frame.settings;
    if (!presentAt(s.show, atUs))
        return;
    const std::uint32_t earlier = hear(frame, request.sequence);
    if (frame.transmissions && frame.transmissions->count(request.sequence) < s.faults.answerFrom)
        return;
    auto reply = replyToText(s, text);
    if (!reply)
        return;
    reply->requestSequence = request.sequence;
    reply->earlierSequence = earlier;
    reply->requesterId = request.sourceId;

    if (happens(frame.random, s.faults.drop)) {
        ++counters_.dropped;
        return;
    }
    schedule(frame, *reply, socket, d, false);
}

std::uint32_t Emulator::hear(Frame& frame, std::uint32_t sequence)
{
    // A retransmission is the same request: it leaves the earlier number alone.
    if (frame.lastSequenceHeard != sequence) {
        frame.earlierSequenceHeard = frame.lastSequenceHeard;
        frame.lastSequenceHeard = sequence;
    }
    return frame.earlierSequenceHeard.value_or(sequence - 1);
}

void Emulator::schedule(Frame& frame, const Reply& reply, std::size_t socket, const UdpSocket::Datagram& d,
                        bool paced)
{
    const FrameSettings& s = *frame.settings;
    Answer answer;
    answer.frame = frame.index;
    answer.reply = reply;
    answer.socket = static_cast<std::uint8_t>(socket);
    answer.destination = s.faults.broadcastReplies ? LIMITED_BROADCAST : d.peer;
    answer.destinationPort = sockets_[socket]->port() == FRAME_PORT ? CONTROLLER_PORT : d.peerPort;

    double delayMs = s.faults.delayMs;
    if (s.faults.jitterMs > 0.0)
        delayMs += frame.random.next() * s.faults.jitterMs;
    const auto delay = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(delayMs));
    const Clock::time_point due = Clock::now() + delay;

    for (unsigned copy = 0; copy <= s.faults.duplicate; ++copy) {
        answer.copy = copy > 0;
        if (delay > Clock::duration::zero() || paced) {
            if (queued() >= MAX_QUEUED) {
                ++counters_.discarded;
                continue;
            }
            if (delay > Clock::duration::zero())
                delayed_.push(Delayed{due, delayedOrder_++, answer, paced});
            else
                paced_.push_back(answer);
        } else {
            send(answer);
        }
    }
}

void Emulator::releaseDue(Clock::time_point now)
{
    while (!delayed_.empty() && delayed_.top().due <= now) {
        const Delayed next = delayed_.top();
        delayed_.pop();
        if (next.paced)
            paced_.push_back(next.answer);
        else
            send(next.answer);
    }
}

void Emulator::sendPaced(Clock::time_point now)
{
    if (paced_.empty())
        return;
    // After a late wake-up a few answers may leave together, never a whole backlog.
    const Clock::time_point earliest = now - pace_ * (MAX_PACED_BURST - 1);
    if (nextPaced_ < earliest)
        nextPaced_ = earliest;
    while (!paced_.empty() && nextPaced_ <= now) {
        send(paced_.front());
        paced_.pop_front();
        nextPaced_ += pace_;
    }
}

void Emulator::send(const Answer& answer)
{
    const Frame& frame = frames_[answer.frame];
    // One time for the whole answer: whether the frame is there, what its
    // meters and flags show, and the log line, so the log tells what was sent when.
    const std::int64_t atUs = elapsedUs();
    if (!presentAt(frame.settings->show, atUs)) {
        ++counters_.silenced;
        return;
    }
    Reply reply = answer.reply;
    reply.atUs = atUs;
    const std::size_t size = buildAnswer(frame, reply, sendBuffer_.data());
    UdpSocket& socket = *sockets_[answer.socket];
    if (!socket.send(frame.address, answer.destination, answer.destinationPort, sendBuffer_.data(), size)) {
        ++counters_.sendErrors;
        return;
    }
    ++counters_.sent;
    if (pcap_)
        pcap_->datagram(frame.address, socket.port(), answer.destination, answer.destinationPort, sendBuffer_.data(),
                        size);
    if (answer.copy)
        ++counters_.duplicated;
    if (log_) {
        const std::string id = idText(frame.id);
        log_->datagram(atUs, JsonLog::Datagram{true, id, answer.destination, answer.destinationPort,
                                                      frame.address, socket.port(), sendBuffer_.data(), size});
    }
}

} // namespace KivFrame
