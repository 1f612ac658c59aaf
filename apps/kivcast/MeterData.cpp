#include "apps/kivcast/MeterData.h"

#include "Morv/Wire.h"

#include <boost/format.hpp>

#include <array>
#include <cstdint>
#include <string_view>
#include <utility>

namespace {

// Prefixes of the meter-data queries and the record version each asks for.
// Order matters: the first matching prefix decides ("M?3" before "M?").
constexpr std::array<std::pair<std::string_view, int>, 7> queryPrefixes{{
    {"NM?", 3},
    {"M?3", 3},
    {"M?2", 2},
    {"M?", 1},
    {"Dev.MD.FullBin?3", 3},
    {"Dev.MD.FullBin?2", 2},
    {"Dev.MD.FullBin?", 1},
}};

// Decoded values. Fractions are computed in single precision, each step
// rounded to float. A zero result is always +0.0: full scale reads " 0.0dB",
// never "-0.0dB".
float unsignedZero(float value) { return value == 0.0f ? 0.0f : value; }

float level(std::uint8_t v) { return unsignedZero(-(static_cast<float>(255 - v) * 0.5f)); }
float gainReduction(std::uint8_t v) { return static_cast<float>(v) / 10.0f; }
float negativeTenth(std::uint8_t v) { return unsignedZero(-(static_cast<float>(v) / 10.0f)); }
float quarterAmpere(std::uint8_t v) { return static_cast<float>(v) * 0.25f; }
float halfPercent(std::uint8_t v) { return static_cast<float>(v) * 0.5f; }
int power(std::uint8_t v) { return v * 32; }
int percent(std::uint8_t v) { return v; }
int mainsVoltage(std::uint8_t v) { return v <= 232 ? v + 43 : 6 * v - 1117; }

// Accumulates the report. Every item with a placeholder goes through
// boost::format; the caller has checked the record's size, so every read
// is within it.
class Report {
public:
    explicit Report(const char* record) : record_(record) {}

    template <typename... Args>
    void put(const char* format, const Args&... args)
    {
        boost::format f(format);
        if constexpr (sizeof...(args) > 0)
            (f % ... % args);
        text_ += f.str();
    }

    // A field as the unsigned type the hex formats expect (a char argument
    // would print as a character).
    unsigned u8(std::size_t offset) const { return static_cast<unsigned char>(record_[offset]); }
    unsigned u16(std::size_t offset) const { return Morv::loadU16(record_, offset); }
    unsigned u32(std::size_t offset) const { return Morv::loadU32(record_, offset); }
    std::uint8_t byte(std::size_t offset) const { return static_cast<std::uint8_t>(record_[offset]); }

    // A "% 7.1fdB" column of a table.
    void decibels(float value, bool endOfRow = false)
    {
        put(endOfRow ? "% 7.1fdB\n" : "% 7.1fdB", static_cast<double>(value));
    }

    std::string take() { return std::move(text_); }

private:
    const char* record_;
    std::string text_;
};

// Offset of channel n's 8-byte power channel record (n = 1..4).
std::size_t channelRecord(int n) { return 4 + 8 * static_cast<std::size_t>(n - 1); }

void channelPrefix(Report& r, int n) { r.put(" %d  ", n); }

void generalStatus(Report& r) { r.put("GeneralStatus: 0x%08x\n", r.u16(0)); }

void psuVoltageAndCurrent(Report& r)
{
    r.put("Voltage: %3dVrms  ", mainsVoltage(r.byte(2)));
    r.put("Curr: %.1f%%\n", static_cast<double>(halfPercent(r.byte(3))));
}

// Items shared by versions 2 and 3: the power supply with its limits, the
// power channels and the physical inputs. The two versions differ only in
// where the per-channel Temp and ExtStatus bytes sit and in the input count.
struct AmplifierLayout {
    std::size_t (*temp)(int channel);
    std::size_t (*extStatus)(int channel);
    int inputs;
    std::size_t (*inputPeak)(int input);
    std::size_t (*inputRms)(int input);
};

void amplifierSection(Report& r, const AmplifierLayout& layout)
{
    generalStatus(r);
    r.put("---\nPSU:\n");
    r.put("Status: 0x%04x  ", r.u16(48));
    psuVoltageAndCurrent(r);
    r.put("CurrLimActivity: %3d%%  ", percent(r.byte(36)));
    r.put("UvlLimit: %.2fA\n", static_cast<double>(quarterAmpere(r.byte(37))));
    r.put("BelLimit: %.2fA  ", static_cast<double>(quarterAmpere(r.byte(38))));
    r.put("ModelLimit: %.2fA\n", static_cast<double>(quarterAmpere(r.byte(39))));
    r.put("AvgPower: %dW  ", power(r.byte(40)));
    r.put("PeakPower: %dW\n", power(r.byte(41)));
    r.put("AvgCurr: %.2fA  ", static_cast<double>(quarterAmpere(r.byte(42))));
    r.put("PeakCurr: %.2fA\n", static_cast<double>(quarterAmpere(r.byte(43))));
    r.put("VcapLimit: %.1fdB  ", static_cast<double>(negativeTenth(r.byte(50))));
    r.put("TempLimit: %.1fdB\n", static_cast<double>(negativeTenth(r.byte(51))));

    r.put("---\nPower channels (Amp):\n");
    r.put("ExtStatus: 0x%08x\n", r.u32(56));
    r.put("Ch      Status ExtStatus      Volt     Curr    Power  GainRed     Temp\n");
    for (int n = 1; n <= 4; ++n) {
        const std::size_t c = channelRecord(n);
        channelPrefix(r, n);
        r.put("0x%08x      ", r.u32(c));
        r.put("0x%02x ", r.u8(layout.extStatus(n)));
        r.decibels(level(r.byte(c + 6)));
        r.decibels(level(r.byte(c + 5)));
        r.decibels(level(r.byte(c + 7)));
        r.decibels(gainReduction(r.byte(c + 4)));
        r.decibels(negativeTenth(r.byte(layout.temp(n))), true);
    }

    r.put("---\nPhysical inputs:\n");
    r.put("Input      Peak      RMS\n");
    for (int n = 1; n <= layout.inputs; ++n) {
        r.put("    %d ", n);
        r.decibels(level(r.byte(layout.inputPeak(n))));
        r.decibels(level(r.byte(layout.inputRms(n))), true);
    }
}

std::string version1(Report& r)
{
    generalStatus(r);
    r.put("---\nPSU:\n");
    psuVoltageAndCurrent(r);

    r.put("---\nPower channels (Amp):\n");
    r.put("Ch      Status     Volt     Curr    Power  GainRed\n");
    for (int n = 1; n <= 4; ++n) {
        const std::size_t c = channelRecord(n);
        channelPrefix(r, n);
        r.put("0x%08x", r.u32(c));
        r.decibels(level(r.byte(c + 6)));
        r.decibels(level(r.byte(c + 5)));
        r.decibels(level(r.byte(c + 7)));
        r.decibels(gainReduction(r.byte(c + 4)), true);
    }

    r.put("---\nPhysical inputs:\n");
    r.put("Input      Peak      RMS\n");
    for (int n = 1; n <= 2; ++n) {
        const std::size_t peak = 44 + 2 * static_cast<std::size_t>(n - 1);
        r.put("    %d ", n);
        r.decibels(level(r.byte(peak)));
        r.decibels(level(r.byte(peak + 1)), true);
    }

    r.put("---\nModule:\n");
    r.put("Status: 0x%08x\n", r.u32(40));
    r.put("Module   InPeak    InRMS\n");
    r.put("     A");
    r.decibels(level(r.byte(36)));
    r.decibels(level(r.byte(37)), true);
    r.put("     B");
    r.decibels(level(r.byte(38)));
    r.decibels(level(r.byte(39)), true);
    return r.take();
}

std::string version2(Report& r)
{
    // Channel Temp and ExtStatus bytes run backwards: channel 1 at 47 and 55.
    const AmplifierLayout layout{
        [](int n) { return static_cast<std::size_t>(48 - n); },
        [](int n) { return static_cast<std::size_t>(56 - n); },
        2,
        [](int n) { return 68 + 2 * static_cast<std::size_t>(n - 1); },
        [](int n) { return 69 + 2 * static_cast<std::size_t>(n - 1); },
    };
    amplifierSection(r, layout);

    r.put("---\nModule:\n");
    r.put("Status:    0x%08x\n", r.u32(64));
    r.put("ExtStatus: 0x%08x\n", r.u32(80));
    r.put("Module   InPeak    InRMS\n");
    r.put("     A");
    r.decibels(level(r.byte(60)));
    r.decibels(level(r.byte(61)), true);
    r.put("     B");
    r.decibels(level(r.byte(62)));
    r.decibels(level(r.byte(63)), true);

    r.put("---\nModule output:\n");
    r.put("Output   PeakGr    RMSGr\n");
    for (int n = 1; n <= 4; ++n) {
        r.put("     %d", n);
        r.decibels(gainReduction(r.byte(71 + static_cast<std::size_t>(n))));
        r.decibels(gainReduction(r.byte(75 + static_cast<std::size_t>(n))), true);
    }
    return r.take();
}

std::string version3(Report& r)
{
    // Channel Temp and ExtStatus bytes run forwards: channel 1 at 44 and 52.
    const AmplifierLayout layout{
        [](int n) { return static_cast<std::size_t>(43 + n); },
        [](int n) { return static_cast<std::size_t>(51 + n); },
        4,
        [](int n) { return static_cast<std::size_t>(71 + n); },
        [](int n) { return static_cast<std::size_t>(75 + n); },
    };
    amplifierSection(r, layout);

    r.put("---\nMixer connections:\n");
    for (std::size_t m = 0; m < 4; ++m) {
        r.put("    %c ", static_cast<char>('A' + m));
        r.put("0x%x\n", r.u8(64 + m));
    }

    r.put("---\nModule:\n");
    r.put("Module Clip   InPeak    InRMS\n");
    for (std::size_t m = 0; m < 4; ++m) {
        r.put("     %c ", static_cast<char>('A' + m));
        r.put("0x%02x", r.u8(68 + m));
        r.decibels(level(r.byte(80 + m)));
        r.decibels(level(r.byte(84 + m)), true);
    }

    r.put("---\nModule output:\n");
    r.put("Output     Peak      RMS   PeakGr    RMSGr\n");
    for (std::size_t n = 1; n <= 4; ++n) {
        r.put("     %d", n);
        r.decibels(level(r.byte(87 + n)));
        r.decibels(level(r.byte(91 + n)));
        r.decibels(gainReduction(r.byte(95 + n)));
        r.decibels(gainReduction(r.byte(99 + n)), true);
    }
    return r.take();
}

} // namespace

int meterDataVersion(const std::string& sentText)
{
    for (const auto& [prefix, version] : queryPrefixes)
        if (std::string_view(sentText).starts_with(prefix))
            return version;
    return 0;
}

std::size_t meterRecordSize(int version)
{
    switch (version) {
    case 1:
        return 48;
    case 2:
        return 84;
    case 3:
        return 104;
    default:
        return 0;
    }
}

std::optional<std::string> formatMeterData(const char* record, std::size_t size, int version)
{
    const std::size_t needed = meterRecordSize(version);
    if (needed == 0 || record == nullptr || size < needed)
        return std::nullopt;
    Report report(record);
    switch (version) {
    case 1:
        return version1(report);
    case 2:
        return version2(report);
    default:
        return version3(report);
    }
}
