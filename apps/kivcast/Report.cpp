#include "apps/kivcast/Report.h"

#include "Morv/Wire.h"
#include "apps/kivcast/MeterData.h"
#include "common/TextEscape.h"

#include <boost/format.hpp>

#include <string_view>

using namespace Morv;

namespace {

// A reply that passed the size and length checks, by its command.
ResponseReport classifyReply(const char* bytes, unsigned length, const std::string& messageText)
{
    const std::uint16_t command = loadU16(bytes, OFFSET_COMMAND);
    if (command == CMD_Ack) {
        // An Ack too short for its status word is malformed like any other.
        if (length < OFFSET_ACK_STATUS + 4)
            return {"invalid response", 0, false, true};
        const std::uint32_t status = loadU32(bytes, OFFSET_ACK_STATUS);
        if (status == ACK_SUCCESS)
            return {"succeeded", 0, true, true};
        return {(boost::format("failed (%d)") % static_cast<std::int32_t>(status)).str(), 0, false, true};
    }
    if (command == CMD_KivText) {
        const int version = meterDataVersion(messageText);
        if (version == 0) {
            const std::size_t textLength = boundedTextLength(bytes, length, OFFSET_BODY);
            const std::string text = escapeForConsole(std::string_view(bytes + OFFSET_BODY, textLength));
            return {(boost::format("replied %s") % text).str(), 0, true, true};
        }
        if (auto report = formatMeterData(bytes + OFFSET_BODY, length - OFFSET_BODY, version))
            return {std::move(*report), version, true, true};
        // Shorter than its version's record: never read past its end.
        return {"invalid response", 0, false, true};
    }
    return {"invalid response", 0, false, true};
}

} // namespace

ResponseReport classifyResponse(const char* bytes, unsigned length, ErrorCode code, const std::string& messageText)
{
    switch (code) {
    case TimedOut:
        return {"timed out", 0, false, false};
    case TransmissionFailed:
        return {"transmission failed", 0, false, false};
    case Success: {
        if (bytes == nullptr || length < HEADER_SIZE)
            return {"invalid response", 0, false, true};
        const std::int16_t lengthField = loadS16(bytes, OFFSET_LENGTH);
        if (lengthField <= 0 || static_cast<unsigned>(lengthField) != length)
            return {"invalid response", 0, false, true};
        return classifyReply(bytes, length, messageText);
    }
    }
    return {(boost::format("unknown error (%d)") % static_cast<int>(code)).str(), 0, false, false};
}

std::string resultLine(std::uint32_t number, std::uint64_t frameId, const std::string& address,
                       const std::string& text)
{
    return (boost::format("    %3d. %08x:%08x @ %-15s %s\n") % number % idHigh(frameId) % idLow(frameId) % address %
            text)
        .str();
}

std::string meterTitleLine(std::uint32_t number, std::uint64_t frameId, const std::string& address, int version)
{
    return (boost::format("    %3d. %08x:%08x @ %-15s replied with meter data v%d:\n") % number % idHigh(frameId) %
            idLow(frameId) % address % version)
        .str();
}

std::string dottedAddress(std::uint32_t address)
{
    return (boost::format("%u.%u.%u.%u") % (address >> 24) % ((address >> 16) & 0xFF) % ((address >> 8) & 0xFF) %
            (address & 0xFF))
        .str();
}
