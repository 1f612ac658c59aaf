#pragma once

// What the fuzz targets set up before each input, shared with the seed
// generator so that the seeds reach the frames and requests the targets hold.

#include "Morv/Wire.h"

#include <cstdint>

namespace KivFuzz {

// Frame list: frames listed before each input, as their discovery replies
// came in: A plain, B in a special state (flag bit 1) with flag bit 15 in its
// node type, C with node type 8, learned from a command-5 wrapper.
constexpr std::uint64_t FRAME_A = 0x00A0000000000001ULL;
constexpr std::uint64_t FRAME_B = 0x00A0000000000002ULL;
constexpr std::uint64_t FRAME_C = 0x0012AB3400000009ULL;
constexpr std::uint32_t ADDRESS_A = 0x7F000002;
constexpr std::uint32_t ADDRESS_B = 0x7F000003;
constexpr std::uint32_t ADDRESS_C = 0x7F000004;

// Frame list: requests pending before each input, by sequence number; one to
// each frame, and one under sequence number 0, which no answer may complete.
constexpr std::uint32_t PENDING_SEQUENCES[] = {1, 2, 0x00010000, 0xFFFFFFFF, 0};

// Frame list input: records of [source address, low byte][length, u16 LE][bytes],
// the source 127.0.0.x. A record that claims more bytes than remain takes the rest.
constexpr std::size_t RECORD_HEADER_SIZE = 3;

// Probe: its own ID, its interface and the frame it looks for.
constexpr std::uint64_t PROBE_ID = 0x01DB2C3D4E5F6071ULL;
constexpr std::uint32_t PROBE_INTERFACE = 0x7F000001;
constexpr const char* PROBE_WANTED_ID = "a00000:1";
constexpr std::uint32_t PROBE_TEXT_SEQUENCE = 2;

// Probe input: [sender: 0 = the probe's own interface, else 127.0.0.x]
// [datagram size, u16 LE: the datagram is zero-padded to it when longer than
// the bytes given][datagram bytes].
constexpr std::size_t PROBE_PREFIX_SIZE = 3;

} // namespace KivFuzz
