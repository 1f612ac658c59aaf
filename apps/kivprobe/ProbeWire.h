#pragma once

// What kivprobe sends and what it accepts: plain functions over byte buffers,
// no sockets. A received datagram is only read within its own size.

#include "Morv/Wire.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace Probe {

// Frames listen on FRAME_PORT and answer to REPLY_PORT; the probe sends from
// FRAME_PORT and reads from REPLY_PORT.
constexpr std::uint16_t FRAME_PORT = 6015;
constexpr std::uint16_t REPLY_PORT = 6004;

// Every datagram is read into one buffer of this size.
constexpr std::size_t RECEIVE_BUFFER_SIZE = 560;

// The probe compares only the low 13 bits of a node type; the top three are flags.
constexpr std::uint16_t NODE_TYPE_MASK = 0x1FFF;

// The text field of the probe's text message holds at most this many characters and a NUL.
constexpr std::size_t MAX_TEXT_LENGTH = Morv::PROBE_TEXT_FIELD_SIZE - 1;

// The interface address of the command line, in host byte order: four
// dotted decimal parts. 255.255.255.255 is refused: it is the broadcast
// address, never an interface's.
std::optional<std::uint32_t> parseInterfaceAddress(const char* text);

// The dotted form of an address in host byte order.
std::string dottedAddress(std::uint32_t address);

// A frame ID as the probe's command line names it: "%x:%x", lowercase, no leading zeros.
std::string idText(std::uint64_t id);

// "%08x:%08x", the form in which the probe prints frame IDs.
std::string paddedIdText(std::uint64_t id);

// The device types the probe can talk to.
bool isAcceptedDeviceType(std::uint32_t deviceType);

// The header of a received datagram when it passes the probe's checks, in
// this order: a whole header; not sent from the probe's own interface
// address; not carrying the probe's own source ID; a length field above 28,
// at most RECEIVE_BUFFER_SIZE and equal to the datagram's size (read signed);
// addressed to the probe or to every frame. Nothing otherwise. `size` is the
// datagram's real size, so an accepted datagram always fits the buffer.
std::optional<Morv::MSG_CmdHdr> acceptDatagram(const char* bytes, std::size_t size, std::uint32_t senderAddress,
                                               std::uint32_t interfaceAddress, std::uint64_t ownId);

// The frame that an accepted datagram announces, when it is the broadcast-ID
// reply (command 4, or 5 with the device type of its inner message) of a
// frame of an accepted device type whose ID reads exactly `wantedId`.
struct FoundFrame {
    std::uint64_t id = 0;
    std::uint16_t nodeType = 0; // low 13 bits
};
std::optional<FoundFrame> matchDiscoveryReply(const char* bytes, std::size_t size, const Morv::MSG_CmdHdr& header,
                                              std::string_view wantedId);

// The text as the probe sends it: cut to MAX_TEXT_LENGTH characters.
std::string textField(std::string_view text);

// The probe's text message (PROBE_TEXT_MESSAGE_SIZE bytes): the header, the
// text field zero-padded to 120 bytes, and a checksum word left 0.
void buildTextMessage(char* out, std::string_view field, std::uint64_t ownId, std::uint64_t frameId,
                      std::uint16_t frameNodeType, std::uint32_t sequence);

// True when an accepted datagram answers the text message of `sequence`: the
// same sequence number, a text reply or an Ack that holds its status word,
// addressed to the probe itself.
bool isAnswer(const Morv::MSG_CmdHdr& header, std::size_t size, std::uint32_t sequence);

// The line that reports an answer (with its newline) and whether the frame
// carried out the command. The reply text is printed up to its NUL or the end
// of the datagram, with control characters escaped.
struct Outcome {
    bool succeeded = false;
    std::string line;
};
Outcome describeAnswer(const char* bytes, std::size_t size, std::uint64_t frameId);

} // namespace Probe
