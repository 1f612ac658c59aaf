#pragma once

// What a datagram that reached the emulator asks of its frames: which frames
// it addresses and what they are to answer. A plain function over the bytes
// and the frame table; no sockets. The bytes come from any program on
// loopback and are only read within their size.

#include "apps/kivframe/FrameTable.h"

#include "Morv/Wire.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace KivFrame {

struct ParsedRequest {
    enum class Kind {
        NotAMessage, // shorter than a header
        OwnAnswer,   // an answer of one of our frames, come back as a broadcast
        Discovery,   // a broadcast-ID request: `frames` answer it
        Text,        // a command-701 request: `frames` answer `text`
        Other,       // any other command: nobody answers
    };
    Kind kind = Kind::NotAMessage;
    Morv::MSG_CmdHdr header;             // all but NotAMessage
    std::vector<std::uint32_t> frames;   // addressed frames, in frame order
    std::string_view text;               // Text: up to its NUL, never past the datagram
    std::string logFrame = "?";          // the log's frame field: an ID, "*" or "?"
};

// `peer` is the sender's address, `local` the address the datagram was sent
// to (255.255.255.255 or 127.255.255.255 for a broadcast); host byte order.
ParsedRequest parseRequest(const FrameTable& frames, const char* bytes, std::size_t size, std::uint32_t peer,
                           std::uint32_t local);

} // namespace KivFrame
