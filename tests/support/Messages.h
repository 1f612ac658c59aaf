#pragma once

// Messages as a frame sends them, built by the tests. No system calls, so
// every build may use them.

#include "Morv/Wire.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kivtest {

// A message of `size` bytes from the frame `source` to the controller
// `destination`: the header filled in, its length field `size`, the body and
// the checksum zero. A size below the header's leaves every byte zero.
inline std::vector<char> frameMessage(std::size_t size, std::uint16_t command, std::uint32_t sequence,
                                      std::uint64_t source, std::uint64_t destination)
{
    std::vector<char> bytes(size);
    Morv::MSG_CmdHdr header;
    header.sourceId = source;
    header.destinationId = destination;
    header.senderNodeType = Morv::NODE_TYPE_FRAME;
    header.destinationNodeType = Morv::NODE_TYPE_CONTROLLER;
    header.length = static_cast<std::uint16_t>(size);
    header.command = command;
    header.sequence = sequence;
    if (size >= Morv::HEADER_SIZE)
        Morv::writeHeader(bytes.data(), header);
    return bytes;
}

} // namespace kivtest
