// kivcast's response classification and printing, for text replies and the
// three meter-data versions. Input: one byte that picks the text that was
// sent (low two bits) and the outcome of the request (next two bits), then
// the reply datagram.

#include "FuzzCheck.h"

#include "Morv/Wire.h"
#include "apps/kivcast/MeterData.h"
#include "apps/kivcast/Report.h"

#include <array>
#include <string>
#include <vector>

using namespace Morv;
using namespace KivFuzz;

namespace {

// A plain text, then queries for meter-data versions 1, 2 and 3.
const std::array<std::string, 4> SENT_TEXTS = {"Dev.Status?", "M?", "Dev.MD.FullBin?2", "NM?"};
constexpr ErrorCode CODES[] = {Success, TimedOut, TransmissionFailed, static_cast<ErrorCode>(7)};

constexpr std::uint64_t FRAME_ID = 0x0012AB3400000001ULL;
const std::string ADDRESS = "192.168.100.200";

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// The number of lines of a version's report, taken from one record: a
// report's shape never depends on the values it shows.
std::size_t reportLines(int version)
{
    static const std::array<std::size_t, 3> counts = [] {
        std::array<std::size_t, 3> result{};
        for (int v = 1; v <= 3; ++v) {
            std::vector<char> reply(HEADER_SIZE + 104 + CHECKSUM_SIZE);
            MSG_CmdHdr header;
            header.length = static_cast<std::uint16_t>(reply.size());
            header.command = CMD_KivText;
            writeHeader(reply.data(), header);
            const ResponseReport report = classifyResponse(reply.data(), static_cast<unsigned>(reply.size()), Success,
                                                           SENT_TEXTS[static_cast<std::size_t>(v)]);
            FUZZ_CHECK(report.meterVersion == v && isSafeConsoleText(report.text, result[v - 1]));
        }
        return result;
    }();
    return counts.at(static_cast<std::size_t>(version - 1));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::string& sent = SENT_TEXTS[data[0] & 3U];
    const ErrorCode code = CODES[(data[0] >> 2) & 3U];
    // The reply in a buffer of its own size, so a read past it is caught.
    const std::vector<char> reply(data + 1, data + size);
    const char* bytes = code == Success ? reply.data() : nullptr;
    const auto length = static_cast<unsigned>(code == Success ? reply.size() : 0);

    const ResponseReport report = classifyResponse(bytes, length, code, sent);
    FUZZ_CHECK(report.received == (code == Success));
    std::size_t lines = 0;
    if (report.meterVersion != 0) {
        // One report block: the title line, then the version's lines.
        FUZZ_CHECK(code == Success && report.succeeded);
        FUZZ_CHECK(report.meterVersion == (sent == "M?" ? 1 : sent == "NM?" ? 3 : 2));
        const std::string block = meterTitleLine(1000, FRAME_ID, ADDRESS, report.meterVersion) + report.text;
        FUZZ_CHECK(isSafeConsoleText(block, lines) && lines == 1 + reportLines(report.meterVersion));
        // The JSON object renders from the same decoded record as the text.
        const auto record = decodeMeterData(bytes + OFFSET_BODY, length - OFFSET_BODY, report.meterVersion);
        FUZZ_CHECK(record && meterText(*record) == report.text &&
                   meterJson(*record).dump().starts_with("{\"version\":" + std::to_string(report.meterVersion) + ","));
        return 0;
    }
    // One result line, and it says what was counted.
    const std::string line = resultLine(7, FRAME_ID, ADDRESS, report.text);
    FUZZ_CHECK(isSafeConsoleText(line, lines) && lines == 1);
    FUZZ_CHECK(line.rfind("      7. 0012ab34:00000001 @ 192.168.100.200 ", 0) == 0);
    const bool success = report.text == "succeeded" || startsWith(report.text, "replied ");
    FUZZ_CHECK(report.succeeded == success);
    if (startsWith(report.text, "replied "))
        FUZZ_CHECK(sent == SENT_TEXTS[0]);
    return 0;
}
