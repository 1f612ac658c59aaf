#include "apps/shared/Inventory.h"

#include "apps/shared/FrameIds.h"

#include <boost/format.hpp>

#include <algorithm>
#include <cctype>

namespace Rig {

namespace {

struct Record {
    std::vector<std::string> fields;
    int line = 0;
};

// RFC 4180 records: fields separated by commas, records by CRLF or LF; a
// quoted field may hold commas, line breaks and doubled quotes. Blank lines
// are skipped.
std::vector<Record> readRecords(const std::string& text, const std::string& source)
{
    std::vector<Record> records;
    std::size_t i = 0;
    int line = 1;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        i = 3; // a byte-order mark, as spreadsheet programs write it
    while (i < text.size()) {
        Record record;
        record.line = line;
        std::string field;
        bool endOfRecord = false;
        while (!endOfRecord) {
            if (i < text.size() && text[i] == '"') {
                const int opened = line;
                ++i;
                for (;;) {
                    if (i >= text.size())
                        throw InputError((boost::format("%s:%d: a quoted field is not closed") % source % opened).str());
                    if (text[i] == '"') {
                        if (i + 1 < text.size() && text[i + 1] == '"') {
                            field += '"';
                            i += 2;
                            continue;
                        }
                        ++i;
                        break;
                    }
                    if (text[i] == '\n')
                        ++line;
                    field += text[i++];
                }
            }
            while (i < text.size() && text[i] != ',' && text[i] != '\n' && text[i] != '\r')
                field += text[i++];
            if (i < text.size() && text[i] == ',') {
                ++i;
            } else {
                if (i < text.size() && text[i] == '\r')
                    ++i;
                if (i < text.size() && text[i] == '\n')
                    ++i;
                ++line;
                endOfRecord = true;
            }
            record.fields.push_back(std::move(field));
            field.clear();
        }
        const bool blank = record.fields.size() == 1 && record.fields[0].find_first_not_of(" \t") == std::string::npos;
        if (!blank)
            records.push_back(std::move(record));
    }
    return records;
}

std::string trimmed(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string lowered(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

} // namespace

std::optional<std::uint32_t> parseIpv4(const std::string& text)
{
    std::uint32_t address = 0;
    std::size_t i = 0;
    for (int octet = 0; octet < 4; ++octet) {
        if (octet > 0) {
            if (i >= text.size() || text[i] != '.')
                return std::nullopt;
            ++i;
        }
        std::size_t digits = 0;
        unsigned value = 0;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) && digits < 3) {
            value = value * 10 + static_cast<unsigned>(text[i] - '0');
            ++i;
            ++digits;
        }
        if (digits == 0 || value > 255)
            return std::nullopt;
        address = (address << 8) | value;
    }
    if (i != text.size())
        return std::nullopt;
    return address;
}

Inventory Inventory::load(const std::string& path)
{
    return parse(readTextFile(path), path);
}

Inventory Inventory::parse(const std::string& text, const std::string& source)
{
    const std::vector<Record> records = readRecords(text, source);
    if (records.empty())
        throw InputError((boost::format("%s: no header row (it must name the columns frame and name)") % source).str());

    std::optional<std::size_t> frameColumn, nameColumn, addressColumn;
    const Record& header = records.front();
    for (std::size_t c = 0; c < header.fields.size(); ++c) {
        const std::string column = lowered(trimmed(header.fields[c]));
        std::optional<std::size_t>* slot = column == "frame"     ? &frameColumn
                                           : column == "name"    ? &nameColumn
                                           : column == "address" ? &addressColumn
                                                                 : nullptr;
        if (slot == nullptr)
            continue;
        if (*slot)
            throw InputError((boost::format("%s:%d: the column %s is named twice") % source % header.line % column).str());
        *slot = c;
    }
    if (!frameColumn || !nameColumn)
        throw InputError((boost::format("%s:%d: the header row must name the columns frame and name") % source %
                          header.line)
                             .str());
    const std::size_t needed = std::max({*frameColumn, *nameColumn, addressColumn.value_or(0)}) + 1;

    Inventory inventory;
    for (std::size_t r = 1; r < records.size(); ++r) {
        const Record& row = records[r];
        const auto where = (boost::format("%s:%d") % source % row.line).str();
        if (row.fields.size() < needed)
            throw InputError((boost::format("%s: %u columns, the header names %u") % where % row.fields.size() %
                              header.fields.size())
                                 .str());
        const std::string idText = trimmed(row.fields[*frameColumn]);
        const auto id = parseFrameId(idText);
        if (!id)
            throw InputError((boost::format("%s: \"%s\" is not a frame ID (write 00a00000:00000001 or a00000:1)") %
                              where % idText)
                                 .str());
        if (const InventoryEntry* first = inventory.find(*id))
            throw InputError((boost::format("%s: frame %s is listed already on line %d") % where % frameIdText(*id) %
                              first->line)
                                 .str());
        InventoryEntry entry;
        entry.frameId = *id;
        entry.name = trimmed(row.fields[*nameColumn]);
        entry.line = row.line;
        if (entry.name.empty())
            throw InputError((boost::format("%s: frame %s has no name") % where % frameIdText(*id)).str());
        if (addressColumn) {
            const std::string addressText = trimmed(row.fields[*addressColumn]);
            if (!addressText.empty()) {
                entry.address = parseIpv4(addressText);
                if (!entry.address)
                    throw InputError(
                        (boost::format("%s: \"%s\" is not an IPv4 address") % where % addressText).str());
            }
        }
        inventory.nameWidth_ = std::max(inventory.nameWidth_, entry.name.size());
        inventory.byId_.emplace(entry.frameId, inventory.entries_.size());
        inventory.entries_.push_back(std::move(entry));
    }
    return inventory;
}

const InventoryEntry* Inventory::find(std::uint64_t frameId) const
{
    const auto it = byId_.find(frameId);
    return it == byId_.end() ? nullptr : &entries_[it->second];
}

} // namespace Rig
