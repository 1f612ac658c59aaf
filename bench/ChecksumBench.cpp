#include "Morv/Wire.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

// The checksum of a message of state.range(0) bytes (the length field says so).
void BM_Checksum(benchmark::State& state)
{
    const auto size = static_cast<std::size_t>(state.range(0));
    std::vector<char> message(size);
    for (std::size_t i = 0; i < size; ++i)
        message[i] = static_cast<char>(i * 31 + 7);
    Morv::storeU16(message.data(), Morv::OFFSET_LENGTH, static_cast<std::uint16_t>(size));
    for (auto _ : state)
        benchmark::DoNotOptimize(Morv::computeChecksum(message.data(), message.size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

} // namespace

BENCHMARK(BM_Checksum)->Arg(100)->Arg(1024);
