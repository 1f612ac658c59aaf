// kivprobe's receive path: a datagram read into the probe's 560-byte buffer
// as its socket delivers it (the size reported is the datagram's whole size),
// then the acceptance rules, the discovery match and the description of an
// answer. Input: see Fixtures.h.

#include "FuzzCheck.h"
#include "Fixtures.h"

#include "apps/kivprobe/ProbeWire.h"

#include <algorithm>
#include <cstring>
#include <memory>

using namespace Probe;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace KivFuzz;
    if (size < PROBE_PREFIX_SIZE)
        return 0;
    const std::uint32_t sender = data[0] == 0 ? PROBE_INTERFACE : 0x7F000000U | data[0];
    const std::size_t padTo = data[1] | (data[2] << 8);
    const std::uint8_t* given = data + PROBE_PREFIX_SIZE;
    const std::size_t givenSize = size - PROBE_PREFIX_SIZE;
    const std::size_t datagramSize = std::max(givenSize, padTo);

    // The probe's one receive buffer, on the heap so a read past it is caught.
    const auto buffer = std::make_unique<char[]>(RECEIVE_BUFFER_SIZE);
    std::memset(buffer.get(), 0, RECEIVE_BUFFER_SIZE);
    std::memcpy(buffer.get(), given, std::min(givenSize, RECEIVE_BUFFER_SIZE));

    const auto header = acceptDatagram(buffer.get(), datagramSize, sender, PROBE_INTERFACE, PROBE_ID);
    if (!header)
        return 0;
    // An accepted datagram lies whole in the buffer and is meant for the probe.
    FUZZ_CHECK(datagramSize <= RECEIVE_BUFFER_SIZE);
    FUZZ_CHECK(datagramSize > Morv::HEADER_SIZE && header->length == datagramSize);
    FUZZ_CHECK(sender != PROBE_INTERFACE && header->sourceId != PROBE_ID);
    FUZZ_CHECK(header->destinationId == PROBE_ID || header->destinationId == Morv::DISCOVERY_ID);

    if (const auto frame = matchDiscoveryReply(buffer.get(), datagramSize, *header, PROBE_WANTED_ID)) {
        FUZZ_CHECK(frame->id == header->sourceId && idText(frame->id) == PROBE_WANTED_ID);
        FUZZ_CHECK(frame->nodeType == Morv::NODE_TYPE_FRAME);
        FUZZ_CHECK(header->command == Morv::CMD_BroadcastID || header->command == Morv::CMD_BroadcastIDExt);
    }

    if (isAnswer(*header, datagramSize, PROBE_TEXT_SEQUENCE)) {
        FUZZ_CHECK(header->destinationId == PROBE_ID);
        const std::uint64_t frameId = 0x00A0000000000001ULL;
        const Outcome outcome = describeAnswer(buffer.get(), datagramSize, frameId);
        // One line about the frame, every byte of it printable or an escape.
        std::size_t lines = 0;
        FUZZ_CHECK(isSafeConsoleText(outcome.line, lines) && lines == 1);
        FUZZ_CHECK(outcome.line.rfind(paddedIdText(frameId) + " ", 0) == 0);
    }
    return 0;
}
