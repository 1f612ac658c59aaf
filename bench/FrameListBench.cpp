#include "Morv/FrameList.h"
#include "Morv/NetworkType.h"
#include "Morv/Wire.h"

#include <benchmark/benchmark.h>

#include <vector>

using namespace Morv;

namespace {

constexpr std::uint64_t FRAME = 0x0001A2B300000004ULL;
constexpr std::uint32_t FRAME_ADDRESS = 0x0A000005;

// Sends nowhere; every send succeeds.
class NullSender : public Network::DatagramSender {
public:
    bool broadcast(const char*, std::uint32_t) override { return true; }
    bool sendTo(const char*, std::uint32_t, std::uint32_t, std::uint16_t) override { return true; }
};

std::vector<char> message(std::uint16_t command, std::size_t size, std::uint32_t sequence)
{
    std::vector<char> bytes(size, 0);
    MSG_CmdHdr header;
    header.sourceId = FRAME;
    header.destinationId = DISCOVERY_ID;
    header.senderNodeType = NODE_TYPE_FRAME;
    header.length = static_cast<std::uint16_t>(size);
    header.command = command;
    header.sequence = sequence;
    writeHeader(bytes.data(), header);
    return bytes;
}

// A FrameList on a sender that goes nowhere, with the network type it needs.
struct Bench {
    PyxNetworkType pyx;
    KivNetworkType kiv{false, &pyx};
    NullSender sender;
    FrameList list{kiv, sender};
};

// onDatagram for an Ack that answers a pending request: lookup, removal and
// the completion call. Requests are registered in untimed batches.
void BM_ReceiveMatchedResponse(benchmark::State& state)
{
    Bench b;
    b.list.onDatagram(message(CMD_BroadcastID, BROADCAST_ID_SIZE, 0).data(), BROADCAST_ID_SIZE, FRAME_ADDRESS);
    constexpr std::uint32_t BATCH = 1024;
    std::vector<char> request = message(CMD_KivText, 44, 0);
    std::vector<char> response = message(CMD_Ack, 32, 0);
    const Destination destination{FRAME, FRAME_ADDRESS, false};
    benchmark::IterationCount completed = 0;
    std::uint32_t nextRequest = 1;
    std::uint32_t nextResponse = 1;
    for (auto _ : state) {
        if (nextResponse == nextRequest) {
            state.PauseTiming();
            for (std::uint32_t i = 0; i < BATCH; ++i, ++nextRequest) {
                storeU32(request.data(), OFFSET_SEQUENCE, nextRequest);
                b.list.sendRequest(destination, request.data(), request.data() + request.size(), 60000,
                                   [&completed](const char*, unsigned, ErrorCode) { ++completed; });
            }
            state.ResumeTiming();
        }
        storeU32(response.data(), OFFSET_SEQUENCE, nextResponse++);
        b.list.onDatagram(response.data(), static_cast<std::uint32_t>(response.size()), FRAME_ADDRESS);
    }
    if (completed != state.iterations())
        state.SkipWithError("a response did not complete its request");
}

// onDatagram for a discovery reply of a frame already listed, unchanged: the
// frame table and destination book updates and the unsolicited-message delivery.
void BM_ReceiveKnownFrameReply(benchmark::State& state)
{
    Bench b;
    std::vector<char> reply = message(CMD_BroadcastID, BROADCAST_ID_SIZE, 0);
    b.list.onDatagram(reply.data(), BROADCAST_ID_SIZE, FRAME_ADDRESS);
    for (auto _ : state)
        b.list.onDatagram(reply.data(), BROADCAST_ID_SIZE, FRAME_ADDRESS);
}

// One expiry pass over state.range(0) pending requests, none of them due.
void BM_ExpiryPass(benchmark::State& state)
{
    Bench b;
    std::vector<char> request = message(CMD_KivText, 44, 0);
    const Destination destination{FRAME, FRAME_ADDRESS, false};
    for (std::uint32_t i = 1; i <= state.range(0); ++i) {
        storeU32(request.data(), OFFSET_SEQUENCE, i);
        b.list.sendRequest(destination, request.data(), request.data() + request.size(), 600000,
                           [](const char*, unsigned, ErrorCode) {});
    }
    for (auto _ : state)
        b.list.expiryPass();
}

// One ageing pass over state.range(0) live frames, none of them lost.
void BM_AgePass(benchmark::State& state)
{
    Bench b;
    std::vector<char> reply = message(CMD_BroadcastID, BROADCAST_ID_SIZE, 0);
    for (std::uint32_t i = 1; i <= state.range(0); ++i) {
        storeU32(reply.data(), OFFSET_SOURCE_ID + 4, i);
        b.list.onDatagram(reply.data(), BROADCAST_ID_SIZE, FRAME_ADDRESS);
    }
    for (auto _ : state)
        b.list.agePass();
}

} // namespace

BENCHMARK(BM_ReceiveMatchedResponse);
BENCHMARK(BM_ReceiveKnownFrameReply);
BENCHMARK(BM_ExpiryPass)->Arg(1000)->Arg(10000);
BENCHMARK(BM_AgePass)->Arg(1000)->Arg(10000);
