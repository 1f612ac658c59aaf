#pragma once

// Meter-data records: one decoder fills a MeterRecord from the record bytes,
// and two renderers print it, as report text and as a JSON object, so the two
// can never disagree. Plain functions over bytes and values: any thread may
// call them.

#include "Morv/Wire.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The version a sent text asks for and the bytes its record holds: the
// protocol's rules, shared with the emulator.
using Morv::meterDataVersion;
using Morv::meterRecordSize;

// One decoded meter-data record. Values are decoded to their units (dB, A, W,
// %, Vrms) as single-precision results; hex fields keep their raw bits. A part
// the version does not carry is an empty optional or an empty list.
struct MeterRecord {
    struct Psu {
        std::optional<std::uint16_t> status; // versions 2 and 3
        int voltage = 0;                     // Vrms
        float current = 0;                   // %
    };
    // The supply's limits and power, versions 2 and 3.
    struct Limits {
        int currLimActivity = 0; // %
        float uvlLimit = 0;      // A
        float belLimit = 0;      // A
        float modelLimit = 0;    // A
        int avgPower = 0;        // W
        int peakPower = 0;       // W
        float avgCurr = 0;       // A
        float peakCurr = 0;      // A
        float vcapLimit = 0;     // dB
        float tempLimit = 0;     // dB
    };
    struct Channel {
        std::uint32_t status = 0;
        std::optional<std::uint8_t> extStatus; // versions 2 and 3
        float volt = 0;                        // dB, like the four below
        float curr = 0;
        float power = 0;
        float gainRed = 0;
        std::optional<float> temp; // versions 2 and 3
    };
    struct Input {
        float peak = 0; // dB
        float rms = 0;  // dB
    };
    struct Module {
        char name = 'A';
        std::optional<std::uint8_t> clip; // version 3
        float inPeak = 0;                 // dB
        float inRms = 0;                  // dB
    };
    // The modules' common status words, versions 1 and 2.
    struct ModuleStatus {
        std::uint32_t status = 0;
        std::optional<std::uint32_t> extStatus; // version 2
    };
    struct Output {
        std::optional<float> peak; // dB, version 3
        std::optional<float> rms;  // dB, version 3
        float peakGr = 0;          // dB
        float rmsGr = 0;           // dB
    };

    int version = 0; // 1, 2 or 3
    std::uint16_t generalStatus = 0;
    Psu psu;
    std::optional<Limits> limits;
    std::optional<std::uint32_t> ampExtStatus; // versions 2 and 3
    std::array<Channel, 4> channels;
    std::vector<Input> inputs;                          // 2, 2 or 4
    std::optional<std::array<std::uint8_t, 4>> mixer;   // version 3: modules A to D
    std::vector<Module> modules;                        // A-B, A-B or A-D
    std::optional<ModuleStatus> moduleStatus;           // versions 1 and 2
    std::vector<Output> outputs;                        // none, 4 or 4
};

// The record decoded, or nothing when `size` is shorter than the version
// needs or the version is not 1-3 (never reads past `size`).
std::optional<MeterRecord> decodeMeterData(const char* record, std::size_t size, int version);

// The report lines that follow the title line, exactly as printed.
std::string meterText(const MeterRecord& record);

// The meter object: what the version carries, under the report's labels, in
// the report's order, each number the value the report displays (rounded to
// its decimals, so dump() prints 0.1, not 0.100000001), hex fields as
// integers. A label the report does not show for the version is absent.
nlohmann::ordered_json meterJson(const MeterRecord& record);

// Decodes and renders the report text in one call: nothing when the record is
// too short (see decodeMeterData).
std::optional<std::string> formatMeterData(const char* record, std::size_t size, int version);
