#include "apps/kivcast/Report.h"

#include "Morv/Wire.h"
#include "apps/kivcast/MeterData.h"
#include "common/TextEscape.h"

#include <boost/format.hpp>

#include <string_view>

using namespace Morv;

namespace {

ResponseReport invalidResponse()
{
    ResponseReport report;
    report.outcome = Outcome::InvalidResponse;
    report.text = "invalid response";
    report.received = true;
    return report;
}

// A reply that passed the size and length checks, by its command.
ResponseReport classifyReply(const char* bytes, unsigned length, const std::string& messageText)
{
    const std::uint16_t command = loadU16(bytes, OFFSET_COMMAND);
    ResponseReport report;
    report.received = true;
    if (command == CMD_Ack) {
        // An Ack too short for its status word is malformed like any other.
        if (length < OFFSET_ACK_STATUS + 4)
            return invalidResponse();
        const std::uint32_t status = loadU32(bytes, OFFSET_ACK_STATUS);
        if (status == ACK_SUCCESS) {
            report.outcome = Outcome::Succeeded;
            report.text = "succeeded";
            report.succeeded = true;
            return report;
        }
        report.outcome = Outcome::Failed;
        report.code = static_cast<std::int32_t>(status);
        report.text = (boost::format("failed (%d)") % report.code).str();
        return report;
    }
    if (command == CMD_KivText) {
        const int version = meterDataVersion(messageText);
        if (version == 0) {
            const std::size_t textLength = boundedTextLength(bytes, length, OFFSET_BODY);
            report.outcome = Outcome::Replied;
            report.reply.assign(bytes + OFFSET_BODY, textLength);
            report.text = (boost::format("replied %s") % escapeForConsole(report.reply)).str();
            report.succeeded = true;
            return report;
        }
        if (auto record = decodeMeterData(bytes + OFFSET_BODY, length - OFFSET_BODY, version)) {
            report.outcome = Outcome::Meter;
            report.text = meterText(*record);
            report.meterVersion = version;
            report.meter = std::move(record);
            report.succeeded = true;
            return report;
        }
        // Shorter than its version's record: never read past its end.
        return invalidResponse();
    }
    return invalidResponse();
}

} // namespace

const char* outcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Succeeded:
        return "succeeded";
    case Outcome::Failed:
        return "failed";
    case Outcome::Replied:
        return "replied";
    case Outcome::Meter:
        return "meter";
    case Outcome::TimedOut:
        return "timed out";
    case Outcome::TransmissionFailed:
        return "transmission failed";
    case Outcome::InvalidResponse:
        return "invalid response";
    case Outcome::UnknownError:
        break;
    }
    return "unknown error";
}

ResponseReport endedWithout(Outcome outcome)
{
    ResponseReport report;
    report.outcome = outcome;
    report.text = outcomeName(outcome);
    return report;
}

ResponseReport classifyResponse(const char* bytes, unsigned length, ErrorCode code, const std::string& messageText)
{
    switch (code) {
    case TimedOut:
        return endedWithout(Outcome::TimedOut);
    case TransmissionFailed:
        return endedWithout(Outcome::TransmissionFailed);
    case Success: {
        if (bytes == nullptr || length < HEADER_SIZE)
            return invalidResponse();
        const std::int16_t lengthField = loadS16(bytes, OFFSET_LENGTH);
        if (lengthField <= 0 || static_cast<unsigned>(lengthField) != length)
            return invalidResponse();
        return classifyReply(bytes, length, messageText);
    }
    }
    ResponseReport report;
    report.outcome = Outcome::UnknownError;
    report.code = static_cast<int>(code);
    report.text = (boost::format("unknown error (%d)") % report.code).str();
    return report;
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
