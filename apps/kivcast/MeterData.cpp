#include "apps/kivcast/MeterData.h"

#include "Morv/Wire.h"

#include <boost/format.hpp>

#include <cmath>
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

// Reads of a record whose size the caller has checked, so every read is
// within it.
class Fields {
public:
    explicit Fields(const char* record) : record_(record) {}

    std::uint8_t u8(std::size_t offset) const { return static_cast<std::uint8_t>(record_[offset]); }
    std::uint16_t u16(std::size_t offset) const { return Morv::loadU16(record_, offset); }
    std::uint32_t u32(std::size_t offset) const { return Morv::loadU32(record_, offset); }
    float levelAt(std::size_t offset) const { return level(u8(offset)); }
    float gainReductionAt(std::size_t offset) const { return gainReduction(u8(offset)); }

private:
    const char* record_;
};

// Channel n's 8-byte power channel record (n = 1..4), at 4 + 8 * (n - 1);
// versions 2 and 3 add the Temp and ExtStatus bytes that lie elsewhere.
MeterRecord::Channel channel(const Fields& f, int n)
{
    const std::size_t c = 4 + 8 * static_cast<std::size_t>(n - 1);
    return {f.u32(c), std::nullopt, f.levelAt(c + 6), f.levelAt(c + 5), f.levelAt(c + 7), f.gainReductionAt(c + 4),
            std::nullopt};
}

void decodeVersion1(const Fields& f, MeterRecord& r)
{
    r.psu = {std::nullopt, mainsVoltage(f.u8(2)), halfPercent(f.u8(3))};
    for (int n = 1; n <= 4; ++n)
        r.channels[static_cast<std::size_t>(n - 1)] = channel(f, n);
    r.inputs = {{f.levelAt(44), f.levelAt(45)}, {f.levelAt(46), f.levelAt(47)}};
    r.modules = {{'A', std::nullopt, f.levelAt(36), f.levelAt(37)}, {'B', std::nullopt, f.levelAt(38), f.levelAt(39)}};
    r.moduleStatus = MeterRecord::ModuleStatus{f.u32(40), std::nullopt};
}

// Where versions 2 and 3 differ in the part they share (supply, limits,
// channels, inputs): the per-channel Temp and ExtStatus bytes and the inputs.
struct AmplifierLayout {
    std::size_t (*temp)(int channel);
    std::size_t (*extStatus)(int channel);
    int inputs;
    std::size_t (*inputPeak)(int input);
    std::size_t (*inputRms)(int input);
};

void decodeAmplifier(const Fields& f, const AmplifierLayout& layout, MeterRecord& r)
{
    r.psu = {f.u16(48), mainsVoltage(f.u8(2)), halfPercent(f.u8(3))};
    r.limits = MeterRecord::Limits{};
    MeterRecord::Limits& l = *r.limits;
    l.currLimActivity = percent(f.u8(36));
    l.uvlLimit = quarterAmpere(f.u8(37));
    l.belLimit = quarterAmpere(f.u8(38));
    l.modelLimit = quarterAmpere(f.u8(39));
    l.avgPower = power(f.u8(40));
    l.peakPower = power(f.u8(41));
    l.avgCurr = quarterAmpere(f.u8(42));
    l.peakCurr = quarterAmpere(f.u8(43));
    l.vcapLimit = negativeTenth(f.u8(50));
    l.tempLimit = negativeTenth(f.u8(51));
    r.ampExtStatus = f.u32(56);
    for (int n = 1; n <= 4; ++n) {
        MeterRecord::Channel& c = r.channels[static_cast<std::size_t>(n - 1)];
        c = channel(f, n);
        c.extStatus = f.u8(layout.extStatus(n));
        c.temp = negativeTenth(f.u8(layout.temp(n)));
    }
    for (int n = 1; n <= layout.inputs; ++n)
        r.inputs.push_back({f.levelAt(layout.inputPeak(n)), f.levelAt(layout.inputRms(n))});
}

void decodeVersion2(const Fields& f, MeterRecord& r)
{
    // Channel Temp and ExtStatus bytes run backwards: channel 1 at 47 and 55.
    const AmplifierLayout layout{
        [](int n) { return static_cast<std::size_t>(48 - n); },
        [](int n) { return static_cast<std::size_t>(56 - n); },
        2,
        [](int n) { return 68 + 2 * static_cast<std::size_t>(n - 1); },
        [](int n) { return 69 + 2 * static_cast<std::size_t>(n - 1); },
    };
    decodeAmplifier(f, layout, r);
    r.modules = {{'A', std::nullopt, f.levelAt(60), f.levelAt(61)}, {'B', std::nullopt, f.levelAt(62), f.levelAt(63)}};
    r.moduleStatus = MeterRecord::ModuleStatus{f.u32(64), f.u32(80)};
    for (std::size_t n = 1; n <= 4; ++n)
        r.outputs.push_back({std::nullopt, std::nullopt, f.gainReductionAt(71 + n), f.gainReductionAt(75 + n)});
}

void decodeVersion3(const Fields& f, MeterRecord& r)
{
    // Channel Temp and ExtStatus bytes run forwards: channel 1 at 44 and 52.
    const AmplifierLayout layout{
        [](int n) { return static_cast<std::size_t>(43 + n); },
        [](int n) { return static_cast<std::size_t>(51 + n); },
        4,
        [](int n) { return static_cast<std::size_t>(71 + n); },
        [](int n) { return static_cast<std::size_t>(75 + n); },
    };
    decodeAmplifier(f, layout, r);
    r.mixer = {f.u8(64), f.u8(65), f.u8(66), f.u8(67)};
    for (std::size_t m = 0; m < 4; ++m)
        r.modules.push_back({static_cast<char>('A' + m), f.u8(68 + m), f.levelAt(80 + m), f.levelAt(84 + m)});
    for (std::size_t n = 1; n <= 4; ++n)
        r.outputs.push_back({f.levelAt(87 + n), f.levelAt(91 + n), f.gainReductionAt(95 + n), f.gainReductionAt(99 + n)});
}

// Accumulates the report text. Every item with a placeholder goes through
// boost::format.
class Text {
public:
    template <typename... Args>
    void put(const char* format, const Args&... args)
    {
        boost::format f(format);
        if constexpr (sizeof...(args) > 0)
            (f % ... % args);
        text_ += f.str();
    }

    // A "% 7.1fdB" column of a table.
    void decibels(float value, bool endOfRow = false)
    {
        put(endOfRow ? "% 7.1fdB\n" : "% 7.1fdB", static_cast<double>(value));
    }

    std::string take() { return std::move(text_); }

private:
    std::string text_;
};

// Hex fields go to boost::format as unsigned (a uint8_t would print as a
// character).
unsigned hex(std::uint32_t value) { return value; }

void limitLines(Text& t, const MeterRecord::Limits& l)
{
    t.put("CurrLimActivity: %3d%%  ", l.currLimActivity);
    t.put("UvlLimit: %.2fA\n", static_cast<double>(l.uvlLimit));
    t.put("BelLimit: %.2fA  ", static_cast<double>(l.belLimit));
    t.put("ModelLimit: %.2fA\n", static_cast<double>(l.modelLimit));
    t.put("AvgPower: %dW  ", l.avgPower);
    t.put("PeakPower: %dW\n", l.peakPower);
    t.put("AvgCurr: %.2fA  ", static_cast<double>(l.avgCurr));
    t.put("PeakCurr: %.2fA\n", static_cast<double>(l.peakCurr));
    t.put("VcapLimit: %.1fdB  ", static_cast<double>(l.vcapLimit));
    t.put("TempLimit: %.1fdB\n", static_cast<double>(l.tempLimit));
}

// Table headers are built from column headings as wide as their columns, a
// column shown when the rows carry it (every row of a record carries the same
// fields).
void channelTable(Text& t, const std::array<MeterRecord::Channel, 4>& channels)
{
    const MeterRecord::Channel& first = channels.front();
    t.put("Ch      Status");
    if (first.extStatus)
        t.put(" ExtStatus ");
    t.put("     Volt     Curr    Power  GainRed");
    t.put(first.temp ? "     Temp\n" : "\n");
    int n = 1;
    for (const MeterRecord::Channel& c : channels) {
        t.put(" %d  0x%08x", n++, hex(c.status));
        if (c.extStatus)
            t.put("      0x%02x ", hex(*c.extStatus));
        t.decibels(c.volt);
        t.decibels(c.curr);
        t.decibels(c.power);
        t.decibels(c.gainRed, !c.temp);
        if (c.temp)
            t.decibels(*c.temp, true);
    }
}

void moduleSection(Text& t, const MeterRecord& r)
{
    t.put("---\nModule:\n");
    if (r.moduleStatus) {
        // With ExtStatus below it, Status is padded so the values align.
        const MeterRecord::ModuleStatus& s = *r.moduleStatus;
        t.put(s.extStatus ? "Status:    0x%08x\n" : "Status: 0x%08x\n", hex(s.status));
        if (s.extStatus)
            t.put("ExtStatus: 0x%08x\n", hex(*s.extStatus));
    }
    const bool clip = !r.modules.empty() && r.modules.front().clip;
    t.put(clip ? "Module Clip   InPeak    InRMS\n" : "Module   InPeak    InRMS\n");
    for (const MeterRecord::Module& m : r.modules) {
        t.put("     %c", m.name);
        if (m.clip)
            t.put(" 0x%02x", hex(*m.clip));
        t.decibels(m.inPeak);
        t.decibels(m.inRms, true);
    }
}

void outputSection(Text& t, const std::vector<MeterRecord::Output>& outputs)
{
    t.put("---\nModule output:\n");
    t.put(outputs.front().peak ? "Output     Peak      RMS   PeakGr    RMSGr\n" : "Output   PeakGr    RMSGr\n");
    int n = 1;
    for (const MeterRecord::Output& o : outputs) {
        t.put("     %d", n++);
        if (o.peak)
            t.decibels(*o.peak);
        if (o.rms)
            t.decibels(*o.rms);
        t.decibels(o.peakGr);
        t.decibels(o.rmsGr, true);
    }
}

// A value as the report prints it with `decimals` decimals (1 or 2), as the
// double nearest that decimal text, which nlohmann-json writes in its shortest
// form ("0.1", not "0.10000000149011612"). Decoded values lie far from a
// rounding midpoint (they are exact halves and quarters, or tenths off by a
// float's error), so rounding here gives the printed digits.
double shown(float value, int decimals)
{
    const double scale = decimals == 1 ? 10.0 : 100.0;
    return std::round(static_cast<double>(value) * scale) / scale;
}

double shownDecibels(float value) { return shown(value, 1); }

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

std::optional<MeterRecord> decodeMeterData(const char* record, std::size_t size, int version)
{
    const std::size_t needed = meterRecordSize(version);
    if (needed == 0 || record == nullptr || size < needed)
        return std::nullopt;
    const Fields f(record);
    MeterRecord r;
    r.version = version;
    r.generalStatus = f.u16(0);
    switch (version) {
    case 1:
        decodeVersion1(f, r);
        break;
    case 2:
        decodeVersion2(f, r);
        break;
    default:
        decodeVersion3(f, r);
        break;
    }
    return r;
}

std::string meterText(const MeterRecord& r)
{
    Text t;
    t.put("GeneralStatus: 0x%08x\n", hex(r.generalStatus));

    t.put("---\nPSU:\n");
    if (r.psu.status)
        t.put("Status: 0x%04x  ", hex(*r.psu.status));
    t.put("Voltage: %3dVrms  ", r.psu.voltage);
    t.put("Curr: %.1f%%\n", static_cast<double>(r.psu.current));
    if (r.limits)
        limitLines(t, *r.limits);

    t.put("---\nPower channels (Amp):\n");
    if (r.ampExtStatus)
        t.put("ExtStatus: 0x%08x\n", hex(*r.ampExtStatus));
    channelTable(t, r.channels);

    t.put("---\nPhysical inputs:\n");
    t.put("Input      Peak      RMS\n");
    int n = 1;
    for (const MeterRecord::Input& in : r.inputs) {
        t.put("    %d ", n++);
        t.decibels(in.peak);
        t.decibels(in.rms, true);
    }

    if (r.mixer) {
        t.put("---\nMixer connections:\n");
        char name = 'A';
        for (std::uint8_t connection : *r.mixer)
            t.put("    %c 0x%x\n", name++, hex(connection));
    }

    moduleSection(t, r);
    if (!r.outputs.empty())
        outputSection(t, r.outputs);
    return t.take();
}

nlohmann::ordered_json meterJson(const MeterRecord& r)
{
    // Each nested value is built whole and then moved in: a reference into an
    // ordered_json object does not survive the next insertion.
    using Json = nlohmann::ordered_json;
    Json j;
    j["version"] = r.version;
    j["GeneralStatus"] = r.generalStatus;

    Json psu;
    if (r.psu.status)
        psu["Status"] = *r.psu.status;
    psu["Voltage"] = r.psu.voltage;
    psu["Curr"] = shown(r.psu.current, 1);
    j["PSU"] = std::move(psu);
    if (r.limits) {
        const MeterRecord::Limits& l = *r.limits;
        j["CurrLimActivity"] = l.currLimActivity;
        j["UvlLimit"] = shown(l.uvlLimit, 2);
        j["BelLimit"] = shown(l.belLimit, 2);
        j["ModelLimit"] = shown(l.modelLimit, 2);
        j["AvgPower"] = l.avgPower;
        j["PeakPower"] = l.peakPower;
        j["AvgCurr"] = shown(l.avgCurr, 2);
        j["PeakCurr"] = shown(l.peakCurr, 2);
        j["VcapLimit"] = shownDecibels(l.vcapLimit);
        j["TempLimit"] = shownDecibels(l.tempLimit);
    }
    if (r.ampExtStatus)
        j["ExtStatus"] = *r.ampExtStatus;

    Json channels = Json::array();
    for (const MeterRecord::Channel& c : r.channels) {
        Json o;
        o["Status"] = c.status;
        if (c.extStatus)
            o["ExtStatus"] = *c.extStatus;
        o["Volt"] = shownDecibels(c.volt);
        o["Curr"] = shownDecibels(c.curr);
        o["Power"] = shownDecibels(c.power);
        o["GainRed"] = shownDecibels(c.gainRed);
        if (c.temp)
            o["Temp"] = shownDecibels(*c.temp);
        channels.push_back(std::move(o));
    }
    j["channels"] = std::move(channels);

    Json inputs = Json::array();
    for (const MeterRecord::Input& in : r.inputs)
        inputs.push_back(Json{{"Peak", shownDecibels(in.peak)}, {"RMS", shownDecibels(in.rms)}});
    j["inputs"] = std::move(inputs);

    if (r.mixer)
        j["mixer"] = *r.mixer;

    Json modules = Json::array();
    for (const MeterRecord::Module& m : r.modules) {
        Json o;
        o["name"] = std::string(1, m.name); // a char would be stored as a number
        if (m.clip)
            o["Clip"] = *m.clip;
        o["InPeak"] = shownDecibels(m.inPeak);
        o["InRMS"] = shownDecibels(m.inRms);
        modules.push_back(std::move(o));
    }
    j["modules"] = std::move(modules);

    if (r.moduleStatus) {
        Json module;
        module["Status"] = r.moduleStatus->status;
        if (r.moduleStatus->extStatus)
            module["ExtStatus"] = *r.moduleStatus->extStatus;
        j["module"] = std::move(module);
    }

    if (!r.outputs.empty()) {
        Json outputs = Json::array();
        for (const MeterRecord::Output& o : r.outputs) {
            Json out;
            if (o.peak)
                out["Peak"] = shownDecibels(*o.peak);
            if (o.rms)
                out["RMS"] = shownDecibels(*o.rms);
            out["PeakGr"] = shownDecibels(o.peakGr);
            out["RMSGr"] = shownDecibels(o.rmsGr);
            outputs.push_back(std::move(out));
        }
        j["outputs"] = std::move(outputs);
    }
    return j;
}

std::optional<std::string> formatMeterData(const char* record, std::size_t size, int version)
{
    if (auto decoded = decodeMeterData(record, size, version))
        return meterText(*decoded);
    return std::nullopt;
}
