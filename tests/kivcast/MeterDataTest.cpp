#include "apps/kivcast/MeterData.h"

#include "support/Text.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Record = std::vector<char>;

std::string fmt(const char* format, ...)
{
    char buffer[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

// The expected values, worked out here in double precision from the byte
// encodings (every result has at most two decimals, so the printed text is the
// same as from the single-precision computation). Zero is +0.0 throughout.
double level(unsigned v) { return (static_cast<double>(v) - 255.0) / 2.0; }
double gainReduction(unsigned v) { return v / 10.0; }
double negativeTenth(unsigned v) { return v == 0 ? 0.0 : -(v / 10.0); }
double quarterAmpere(unsigned v) { return v / 4.0; }
double halfPercent(unsigned v) { return v / 2.0; }
int mainsVoltage(unsigned v) { return v <= 232 ? static_cast<int>(v) + 43 : static_cast<int>(6 * v) - 1117; }
std::string dB(double v) { return fmt("% 7.1fdB", v); }

// Reads of the record under test; the vector is exactly as long as the record.
struct Bytes {
    const Record& r;
    unsigned operator()(std::size_t i) const { return static_cast<unsigned char>(r.at(i)); }
    unsigned u16(std::size_t i) const { return (*this)(i) | (*this)(i + 1) << 8; }
    unsigned u32(std::size_t i) const { return u16(i) | u16(i + 2) << 16; }
};

// Records with a different value in every byte (13 is odd, so i * 13 is
// distinct for every offset below 256): reading a wrong offset shows.
Record pattern(std::size_t size)
{
    Record r(size);
    for (std::size_t i = 0; i < size; ++i)
        r[i] = static_cast<char>((i * 13 + 5) & 0xFF);
    return r;
}

Record filled(std::size_t size, unsigned char value) { return Record(size, static_cast<char>(value)); }

Record withVoltageByte(Record r, unsigned char value)
{
    r[2] = static_cast<char>(value);
    return r;
}

// Every record of a version that the report tests go through.
std::vector<Record> recordsOfSize(std::size_t size)
{
    return {pattern(size), filled(size, 0x00), filled(size, 0xFF), withVoltageByte(pattern(size), 232),
            withVoltageByte(pattern(size), 233)};
}

std::vector<std::string> splitLines(const std::string& text)
{
    EXPECT_TRUE(text.empty() || text.back() == '\n') << "the report ends with a newline";
    return kivtest::lines(text);
}

void expectLines(const std::optional<std::string>& report, const std::vector<std::string>& expected)
{
    ASSERT_TRUE(report.has_value());
    const auto actual = splitLines(*report);
    for (std::size_t i = 0; i < std::max(actual.size(), expected.size()); ++i)
        EXPECT_EQ(i < actual.size() ? actual[i] : "<missing>", i < expected.size() ? expected[i] : "<extra>")
            << "line " << i + 1;
}

// Versions 2 and 3 share the supply, limits, channels and inputs; they differ
// in where the channel Temp and ExtStatus bytes sit and in the inputs.
struct AmplifierOffsets {
    std::function<std::size_t(int)> temp;
    std::function<std::size_t(int)> extStatus;
    std::vector<std::pair<std::size_t, std::size_t>> inputs; // peak, RMS
};

std::vector<std::string> expectedAmplifier(const Bytes& b, const AmplifierOffsets& at)
{
    std::vector<std::string> l{
        fmt("GeneralStatus: 0x%08x", b.u16(0)),
        "---",
        "PSU:",
        fmt("Status: 0x%04x  Voltage: %3dVrms  Curr: %.1f%%", b.u16(48), mainsVoltage(b(2)), halfPercent(b(3))),
        fmt("CurrLimActivity: %3d%%  UvlLimit: %.2fA", b(36), quarterAmpere(b(37))),
        fmt("BelLimit: %.2fA  ModelLimit: %.2fA", quarterAmpere(b(38)), quarterAmpere(b(39))),
        fmt("AvgPower: %dW  PeakPower: %dW", b(40) * 32, b(41) * 32),
        fmt("AvgCurr: %.2fA  PeakCurr: %.2fA", quarterAmpere(b(42)), quarterAmpere(b(43))),
        fmt("VcapLimit: %.1fdB  TempLimit: %.1fdB", negativeTenth(b(50)), negativeTenth(b(51))),
        "---",
        "Power channels (Amp):",
        fmt("ExtStatus: 0x%08x", b.u32(56)),
        "Ch      Status ExtStatus      Volt     Curr    Power  GainRed     Temp",
    };
    for (int n = 1; n <= 4; ++n) {
        const std::size_t c = 4 + 8 * (n - 1);
        l.push_back(fmt(" %d  0x%08x      0x%02x ", n, b.u32(c), b(at.extStatus(n))) + dB(level(b(c + 6))) +
                    dB(level(b(c + 5))) + dB(level(b(c + 7))) + dB(gainReduction(b(c + 4))) +
                    dB(negativeTenth(b(at.temp(n)))));
    }
    l.insert(l.end(), {"---", "Physical inputs:", "Input      Peak      RMS"});
    int n = 1;
    for (const auto& [peak, rms] : at.inputs)
        l.push_back(fmt("    %d ", n++) + dB(level(b(peak))) + dB(level(b(rms))));
    return l;
}

std::vector<std::string> expectedVersion1(const Record& r)
{
    const Bytes b{r};
    std::vector<std::string> l{
        fmt("GeneralStatus: 0x%08x", b.u16(0)),
        "---",
        "PSU:",
        fmt("Voltage: %3dVrms  Curr: %.1f%%", mainsVoltage(b(2)), halfPercent(b(3))),
        "---",
        "Power channels (Amp):",
        "Ch      Status     Volt     Curr    Power  GainRed",
    };
    for (int n = 1; n <= 4; ++n) {
        const std::size_t c = 4 + 8 * (n - 1);
        l.push_back(fmt(" %d  0x%08x", n, b.u32(c)) + dB(level(b(c + 6))) + dB(level(b(c + 5))) +
                    dB(level(b(c + 7))) + dB(gainReduction(b(c + 4))));
    }
    l.insert(l.end(), {"---", "Physical inputs:", "Input      Peak      RMS",
                       "    1 " + dB(level(b(44))) + dB(level(b(45))),
                       "    2 " + dB(level(b(46))) + dB(level(b(47))), "---", "Module:",
                       fmt("Status: 0x%08x", b.u32(40)), "Module   InPeak    InRMS",
                       "     A" + dB(level(b(36))) + dB(level(b(37))),
                       "     B" + dB(level(b(38))) + dB(level(b(39)))});
    return l;
}

std::vector<std::string> expectedVersion2(const Record& r)
{
    const Bytes b{r};
    // Channel n's Temp at 48 - n and ExtStatus at 56 - n: backwards.
    auto l = expectedAmplifier(b, {[](int n) { return 48 - n; }, [](int n) { return 56 - n; }, {{68, 69}, {70, 71}}});
    l.insert(l.end(), {"---", "Module:", fmt("Status:    0x%08x", b.u32(64)), fmt("ExtStatus: 0x%08x", b.u32(80)),
                       "Module   InPeak    InRMS", "     A" + dB(level(b(60))) + dB(level(b(61))),
                       "     B" + dB(level(b(62))) + dB(level(b(63))), "---", "Module output:",
                       "Output   PeakGr    RMSGr"});
    for (int n = 1; n <= 4; ++n)
        l.push_back(fmt("     %d", n) + dB(gainReduction(b(71 + n))) + dB(gainReduction(b(75 + n))));
    return l;
}

std::vector<std::string> expectedVersion3(const Record& r)
{
    const Bytes b{r};
    // Channel n's Temp at 43 + n and ExtStatus at 51 + n: forwards.
    auto l = expectedAmplifier(
        b, {[](int n) { return 43 + n; }, [](int n) { return 51 + n; }, {{72, 76}, {73, 77}, {74, 78}, {75, 79}}});
    l.insert(l.end(), {"---", "Mixer connections:"});
    for (int m = 0; m < 4; ++m)
        l.push_back(fmt("    %c 0x%x", 'A' + m, b(64 + m)));
    l.insert(l.end(), {"---", "Module:", "Module Clip   InPeak    InRMS"});
    for (int m = 0; m < 4; ++m)
        l.push_back(fmt("     %c 0x%02x", 'A' + m, b(68 + m)) + dB(level(b(80 + m))) + dB(level(b(84 + m))));
    l.insert(l.end(), {"---", "Module output:", "Output     Peak      RMS   PeakGr    RMSGr"});
    for (int n = 1; n <= 4; ++n)
        l.push_back(fmt("     %d", n) + dB(level(b(87 + n))) + dB(level(b(91 + n))) + dB(gainReduction(b(95 + n))) +
                    dB(gainReduction(b(99 + n))));
    return l;
}

// A number as the report shows it: hex ("0x...") as an integer, otherwise the
// digits before the unit, an integer when they hold no decimal point.
nlohmann::json shownNumber(const std::string& shown)
{
    if (shown.starts_with("0x"))
        return std::stoul(shown.substr(2), nullptr, 16);
    const std::string digits = shown.substr(0, shown.find_first_not_of("-.0123456789"));
    if (digits.find('.') == std::string::npos)
        return std::stoi(digits);
    return std::stod(digits);
}

std::vector<std::string> words(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> result;
    for (std::string word; in >> word;)
        result.push_back(word);
    return result;
}

// Reads a report back into the object meterJson is to give: each "Label: value"
// and each table cell under its column heading, every number as the text shows
// it. The supply's own Status, Voltage and Curr go into "PSU", the limits
// beside them to the top; the Module section's status words into "module".
nlohmann::json readReport(const std::string& text, int version)
{
    const std::map<std::string, std::string> tables{{"Power channels (Amp):", "channels"},
                                                    {"Physical inputs:", "inputs"},
                                                    {"Module:", "modules"},
                                                    {"Module output:", "outputs"}};
    nlohmann::json report{{"version", version}};
    std::string section;              // "" before the first "---"
    std::vector<std::string> columns; // headings of the section's table
    for (const std::string& line : kivtest::lines(text)) {
        const std::vector<std::string> w = words(line);
        if (line == "---") {
            columns.clear();
        } else if (line.ends_with(':')) {
            section = line;
        } else if (w.size() >= 2 && w[0].ends_with(':')) {
            EXPECT_EQ(w.size() % 2, 0U) << line;
            for (std::size_t i = 0; i + 1 < w.size(); i += 2) {
                const std::string label = w[i].substr(0, w[i].size() - 1);
                const bool supply = section == "PSU:" && (label == "Status" || label == "Voltage" || label == "Curr");
                nlohmann::json& to = supply ? report["PSU"] : section == "Module:" ? report["module"] : report;
                to[label] = shownNumber(w[i + 1]);
            }
        } else if (section == "Mixer connections:") {
            report["mixer"].push_back(shownNumber(w.at(1)));
        } else if (columns.empty()) {
            columns = w;
        } else {
            // The first column numbers the row; a module's letter is its name.
            EXPECT_EQ(w.size(), columns.size()) << line;
            nlohmann::json row;
            if (section == "Module:")
                row["name"] = w.at(0);
            for (std::size_t i = 1; i < std::min(w.size(), columns.size()); ++i)
                row[columns[i]] = shownNumber(w[i]);
            report[tables.at(section)].push_back(row);
        }
    }
    return report;
}

// Every value under every path, compared as nlohmann-json writes it, so
// 0.10000000149011612 for 0.1, 230.0 for 230 or -0.0 for 0.0 all show.
void expectSameValues(const nlohmann::json& json, const nlohmann::json& fromText)
{
    const nlohmann::json a = json.flatten();
    const nlohmann::json b = fromText.flatten();
    for (const auto& [path, value] : a.items())
        EXPECT_EQ(value.dump(), b.contains(path) ? b[path].dump() : "<not in the report>") << path;
    for (const auto& [path, value] : b.items())
        EXPECT_TRUE(a.contains(path)) << path << " = " << value.dump() << " is in the report, not in the JSON";
}

using Keys = std::vector<std::string>;

Keys keysOf(const nlohmann::ordered_json& object)
{
    Keys keys;
    for (const auto& item : object.items())
        keys.push_back(item.key());
    return keys;
}

// The keys of each object of a list, in order; none when the list is absent.
std::vector<Keys> keysOfEach(const nlohmann::ordered_json& parent, const char* list)
{
    std::vector<Keys> result;
    if (parent.contains(list))
        for (const auto& element : parent[list])
            result.push_back(keysOf(element));
    return result;
}

} // namespace

TEST(MeterData, VersionComesFromTheFirstMatchingPrefix)
{
    struct Case {
        const char* sent;
        int version;
    };
    const Case cases[] = {
        {"NM?", 3},          {"NM?1", 3},         {"M?3", 3},
        {"M?2", 2},          {"M?", 1},           {"M?9", 1},
        {"M?23", 2},         {"Dev.MD.FullBin?", 1}, {"Dev.MD.FullBin?2", 2},
        {"Dev.MD.FullBin?3", 3}, {"Dev.MD.FullBin?9", 1},
        // Not meter-data queries: the prefix test is exact and case-sensitive.
        {"?2", 0},           {"?3", 0},           {"dev.md.fullbin?", 0},
        {"Dev.MD.FullBin", 0}, {"m?", 0},         {" M?", 0},
        {"NM", 0},           {"Dev.Power=1", 0},  {"Dev.Reset", 0},
        {"", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(meterDataVersion(c.sent), c.version) << '"' << c.sent << '"';
}

TEST(MeterData, RecordSizes)
{
    EXPECT_EQ(meterRecordSize(1), 48U);
    EXPECT_EQ(meterRecordSize(2), 84U);
    EXPECT_EQ(meterRecordSize(3), 104U);
}

TEST(MeterData, RecordShorterThanItsVersionGivesNothing)
{
    struct Case {
        int version;
        std::size_t size;
        bool formatted;
    };
    for (const Case c : {Case{1, 0, false}, Case{1, 47, false}, Case{1, 48, true}, Case{2, 47, false},
                         Case{2, 83, false}, Case{2, 84, true}, Case{3, 83, false}, Case{3, 103, false},
                         Case{3, 104, true}, Case{0, 104, false}, Case{4, 104, false}}) {
        // A heap buffer of exactly `size` bytes: a read past it trips AddressSanitizer.
        const Record record = pattern(c.size);
        EXPECT_EQ(formatMeterData(record.data(), record.size(), c.version).has_value(), c.formatted)
            << "version " << c.version << ", " << c.size << " bytes";
        // No decoded record, so no JSON either.
        EXPECT_EQ(decodeMeterData(record.data(), record.size(), c.version).has_value(), c.formatted)
            << "version " << c.version << ", " << c.size << " bytes";
    }
}

TEST(MeterData, ReportsEveryFieldOfEachVersion)
{
    struct Case {
        int version;
        std::function<std::vector<std::string>(const Record&)> expected;
    };
    const Case cases[] = {{1, expectedVersion1}, {2, expectedVersion2}, {3, expectedVersion3}};
    for (const Case& c : cases) {
        for (const Record& record : recordsOfSize(meterRecordSize(c.version))) {
            SCOPED_TRACE("version " + std::to_string(c.version) + ", bytes 0-2: " +
                         fmt("%02x %02x %02x", Bytes{record}(0), Bytes{record}(1), Bytes{record}(2)));
            expectLines(formatMeterData(record.data(), record.size(), c.version), c.expected(record));
        }
    }
}

// The same rules written out as literal text, so a slip shared by the report
// and the expectations above would still show.
TEST(MeterData, KnownLines)
{
    struct Case {
        int version;
        Record record;
        std::size_t line; // 1-based
        const char* text;
    };
    const Case cases[] = {
        // Full-scale level (255) is 0 dB without a sign, level 0 is -127.5 dB.
        {1, filled(48, 0xFF), 8, " 1  0xffffffff    0.0dB    0.0dB    0.0dB   25.5dB"},
        {1, filled(48, 0x00), 8, " 1  0x00000000 -127.5dB -127.5dB -127.5dB    0.0dB"},
        {1, filled(48, 0xFF), 1, "GeneralStatus: 0x0000ffff"},
        // Mains voltage: 232 is the last byte of the linear part, 233 the first step of six.
        {1, withVoltageByte(filled(48, 0), 232), 4, "Voltage: 275Vrms  Curr: 0.0%"},
        {1, withVoltageByte(filled(48, 0), 233), 4, "Voltage: 281Vrms  Curr: 0.0%"},
        {2, filled(84, 0xFF), 4, "Status: 0xffff  Voltage: 413Vrms  Curr: 127.5%"},
        {2, filled(84, 0xFF), 5, "CurrLimActivity: 255%  UvlLimit: 63.75A"},
        {2, filled(84, 0xFF), 7, "AvgPower: 8160W  PeakPower: 8160W"},
        // A negative tenth of 0 is 0 dB without a sign.
        {3, filled(104, 0x00), 9, "VcapLimit: 0.0dB  TempLimit: 0.0dB"},
        {3, filled(104, 0xFF), 9, "VcapLimit: -25.5dB  TempLimit: -25.5dB"},
        {3, filled(104, 0xFF), 14, " 1  0xffffffff      0xff     0.0dB    0.0dB    0.0dB   25.5dB  -25.5dB"},
        {3, filled(104, 0x00), 27, "    A 0x0"},
    };
    for (const Case& c : cases) {
        const auto report = formatMeterData(c.record.data(), c.record.size(), c.version);
        ASSERT_TRUE(report.has_value());
        const auto lines = splitLines(*report);
        ASSERT_GE(lines.size(), c.line) << "version " << c.version;
        EXPECT_EQ(lines[c.line - 1], c.text) << "version " << c.version << ", line " << c.line;
    }
}

// The JSON and the text are two renderings of one decoded record: every
// number in the object is the one the report shows under the same label.
TEST(MeterData, JsonHoldsTheNumbersTheReportShows)
{
    for (int version = 1; version <= 3; ++version) {
        for (const Record& record : recordsOfSize(meterRecordSize(version))) {
            SCOPED_TRACE("version " + std::to_string(version) + ", bytes 0-2: " +
                         fmt("%02x %02x %02x", Bytes{record}(0), Bytes{record}(1), Bytes{record}(2)));
            const auto decoded = decodeMeterData(record.data(), record.size(), version);
            ASSERT_TRUE(decoded.has_value());
            const std::string text = meterText(*decoded);
            EXPECT_EQ(formatMeterData(record.data(), record.size(), version), text);
            expectSameValues(nlohmann::json(meterJson(*decoded)), readReport(text, version));
        }
    }
}

TEST(MeterData, JsonKeysFollowTheVersionInTheReportsOrder)
{
    const Keys limits{"CurrLimActivity", "UvlLimit", "BelLimit", "ModelLimit", "AvgPower", "PeakPower",
                      "AvgCurr",         "PeakCurr", "VcapLimit", "TempLimit", "ExtStatus"};
    const auto join = [](Keys a, const Keys& b, const Keys& c) {
        a.insert(a.end(), b.begin(), b.end());
        a.insert(a.end(), c.begin(), c.end());
        return a;
    };
    const Keys amplifierChannel{"Status", "ExtStatus", "Volt", "Curr", "Power", "GainRed", "Temp"};
    struct Case {
        int version;
        Keys top;
        Keys psu;
        std::vector<Keys> channels, inputs, modules, outputs;
        Keys moduleStatus;
        std::size_t mixer;
    };
    const Case cases[] = {
        {1,
         {"version", "GeneralStatus", "PSU", "channels", "inputs", "modules", "module"},
         {"Voltage", "Curr"},
         std::vector<Keys>(4, {"Status", "Volt", "Curr", "Power", "GainRed"}),
         std::vector<Keys>(2, {"Peak", "RMS"}),
         std::vector<Keys>(2, {"name", "InPeak", "InRMS"}),
         {},
         {"Status"},
         0},
        {2,
         join({"version", "GeneralStatus", "PSU"}, limits, {"channels", "inputs", "modules", "module", "outputs"}),
         {"Status", "Voltage", "Curr"},
         std::vector<Keys>(4, amplifierChannel),
         std::vector<Keys>(2, {"Peak", "RMS"}),
         std::vector<Keys>(2, {"name", "InPeak", "InRMS"}),
         std::vector<Keys>(4, {"PeakGr", "RMSGr"}),
         {"Status", "ExtStatus"},
         0},
        {3,
         join({"version", "GeneralStatus", "PSU"}, limits, {"channels", "inputs", "mixer", "modules", "outputs"}),
         {"Status", "Voltage", "Curr"},
         std::vector<Keys>(4, amplifierChannel),
         std::vector<Keys>(4, {"Peak", "RMS"}),
         std::vector<Keys>(4, {"name", "Clip", "InPeak", "InRMS"}),
         std::vector<Keys>(4, {"Peak", "RMS", "PeakGr", "RMSGr"}),
         {},
         4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("version " + std::to_string(c.version));
        const Record record = pattern(meterRecordSize(c.version));
        const nlohmann::ordered_json j = meterJson(*decodeMeterData(record.data(), record.size(), c.version));
        EXPECT_EQ(j.at("version"), c.version);
        EXPECT_EQ(keysOf(j), c.top);
        EXPECT_EQ(keysOf(j.at("PSU")), c.psu);
        EXPECT_EQ(keysOfEach(j, "channels"), c.channels);
        EXPECT_EQ(keysOfEach(j, "inputs"), c.inputs);
        EXPECT_EQ(keysOfEach(j, "modules"), c.modules);
        EXPECT_EQ(keysOfEach(j, "outputs"), c.outputs);
        EXPECT_EQ(j.contains("module") ? keysOf(j["module"]) : Keys{}, c.moduleStatus);
        EXPECT_EQ(j.contains("mixer") ? j["mixer"].size() : 0U, c.mixer);
    }
}

// Chosen values written out as literal text, as nlohmann-json
// prints them for bytes set in a version-3 record.
TEST(MeterData, JsonWritesNumbersAsShown)
{
    Record record = filled(104, 0x00);
    const auto set = [&](std::size_t offset, unsigned char value) { record[offset] = static_cast<char>(value); };
    set(0, 0x34);
    set(1, 0x12); // GeneralStatus 0x1234
    set(2, 187);  // Voltage 230
    set(3, 25);   // Curr 12.5 %
    set(4, 0xFF); // channel 1 Status 0x000000ff
    set(8, 1);    // channel 1 GainRed 0.1 dB
    set(10, 230); // channel 1 Volt -12.5 dB
    set(11, 255); // channel 1 Power full scale, 0 dB
    set(37, 5);   // UvlLimit 1.25 A
    set(40, 2);   // AvgPower 64 W
    set(44, 3);   // channel 1 Temp -0.3 dB
    set(64, 0xA); // mixer connection of module A
    struct Case {
        const char* pointer;
        const char* written;
    };
    const Case cases[] = {
        {"/GeneralStatus", "4660"},
        {"/PSU/Voltage", "230"},
        {"/PSU/Curr", "12.5"},
        {"/channels/0/Status", "255"},
        {"/channels/0/GainRed", "0.1"},
        {"/channels/0/Volt", "-12.5"},
        {"/channels/0/Power", "0.0"},
        {"/channels/0/Temp", "-0.3"},
        {"/channels/1/Temp", "0.0"},
        {"/UvlLimit", "1.25"},
        {"/AvgPower", "64"},
        {"/VcapLimit", "0.0"},
        {"/mixer/0", "10"},
        {"/modules/3/name", "\"D\""},
    };
    const nlohmann::ordered_json j = meterJson(*decodeMeterData(record.data(), record.size(), 3));
    for (const Case& c : cases)
        EXPECT_EQ(j.at(nlohmann::ordered_json::json_pointer(c.pointer)).dump(), c.written) << c.pointer;
}
