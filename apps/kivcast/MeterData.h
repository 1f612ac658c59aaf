#pragma once

#include <cstddef>
#include <optional>
#include <string>

// The meter-data version a sent text asks for (1, 2 or 3), or 0 when the text
// is not a meter-data query. First matching prefix wins.
int meterDataVersion(const std::string& sentText);

// Bytes a record of the version must hold: 48, 84 or 104.
std::size_t meterRecordSize(int version);

// The report lines that follow the title line, exactly as printed, or nothing
// when the record is shorter than its version needs (never read past `size`).
std::optional<std::string> formatMeterData(const char* record, std::size_t size, int version);
