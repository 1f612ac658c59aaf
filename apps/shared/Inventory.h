#pragma once

// The inventory of a rig: a CSV file with a header row naming the columns
// "frame" and "name" and, optionally, "address" (RFC 4180 quoting, so names
// may hold commas, quotes and line breaks; other columns are ignored).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace Rig {

struct InventoryEntry {
    std::uint64_t frameId = 0;
    std::string name;
    std::optional<std::uint32_t> address; // IPv4, host byte order; none when the row leaves it empty
    int line = 0;                         // where the row starts in the file
};

class Inventory {
public:
    // Reads and checks the whole file. Throws InputError naming the file and
    // line of the first bad row (bad or duplicate ID, missing column, bad address).
    static Inventory load(const std::string& path);
    // The same for a text already read; `source` names it in messages.
    static Inventory parse(const std::string& text, const std::string& source);

    const std::vector<InventoryEntry>& entries() const { return entries_; }
    const InventoryEntry* find(std::uint64_t frameId) const;
    // Width of the longest name, for aligned columns.
    std::size_t nameWidth() const { return nameWidth_; }

private:
    std::vector<InventoryEntry> entries_;
    std::unordered_map<std::uint64_t, std::size_t> byId_;
    std::size_t nameWidth_ = 0;
};

// Dotted IPv4 text to host byte order; nothing when it is not four decimal octets.
std::optional<std::uint32_t> parseIpv4(const std::string& text);

} // namespace Rig
