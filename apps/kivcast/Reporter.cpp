#include "apps/kivcast/Reporter.h"

#include "Morv/Wire.h"
#include "apps/kivcast/MeterData.h"
#include "apps/shared/FrameIds.h"

#include <boost/format.hpp>
#include <nlohmann/json.hpp>

#include <cmath>
#include <utility>

namespace {

using Json = nlohmann::ordered_json;

// What the inventory says of a frame found at an address.
struct InventoryView {
    const Rig::InventoryEntry* entry = nullptr;
    bool unexpected = false;                  // an inventory is given and the frame is not in it
    std::optional<std::uint32_t> movedFrom;   // the inventory's address, when the frame is elsewhere
};

InventoryView view(const Rig::Inventory* inventory, std::uint64_t frameId, std::optional<std::uint32_t> address)
{
    InventoryView v;
    if (inventory == nullptr)
        return v;
    v.entry = inventory->find(frameId);
    v.unexpected = v.entry == nullptr;
    if (v.entry != nullptr && v.entry->address && address && *v.entry->address != *address)
        v.movedFrom = v.entry->address;
    return v;
}

class TextReporter : public Reporter {
public:
    TextReporter(Console::Writer& console, const Rig::Inventory* inventory) : console_(console), inventory_(inventory)
    {
    }

    void discovering(std::uint32_t localAddress, std::uint16_t localPort, const std::string&) override
    {
        console_.out(boost::format("Discovering frames on %s:%u...\n\n") % dottedAddress(localAddress) % localPort);
    }

    void found(const FoundFrame& frame) override
    {
        std::string line = (boost::format("    %3i. Found %08x:%08x @ %s") % frame.number % Morv::idHigh(frame.frameId) %
                            Morv::idLow(frame.frameId) % dottedAddress(frame.address))
                               .str();
        if (frame.duplicate)
            line += "  DUPLICATE IP FOUND!";
        if (inventory_ != nullptr) {
            const InventoryView v = view(inventory_, frame.frameId, frame.address);
            line += v.entry != nullptr ? "  " + v.entry->name : std::string("  (not in the inventory)");
            if (v.movedFrom)
                line += "  (expected at " + dottedAddress(*v.movedFrom) + ")";
        }
        console_.out(line + "\n");
    }

    void discoveryOver() override { console_.out("\n"); }

    void missing(const std::vector<std::uint64_t>& frameIds) override
    {
        if (frameIds.empty())
            return;
        std::string block;
        for (const std::uint64_t id : frameIds) {
            block += (boost::format("    Not found: %08x:%08x") % Morv::idHigh(id) % Morv::idLow(id)).str();
            if (const Rig::InventoryEntry* entry = inventory_ != nullptr ? inventory_->find(id) : nullptr)
                block += "  " + entry->name;
            block += "\n";
        }
        console_.out(block + "\n");
    }

    void echo(const std::string& message) override
    {
        console_.out(boost::format("    KIV msg is \"%s\"\n\n") % message);
    }

    void result(const ResultRecord& record) override
    {
        const ResponseReport& report = *record.report;
        const std::string address = record.address ? dottedAddress(*record.address) : std::string("unknown");
        std::string text = report.outcome == Outcome::Meter
                               ? (boost::format("replied with meter data v%d:") % report.meterVersion).str()
                               : report.text;
        if (inventory_ != nullptr)
            text = nameColumn(record.frameId) + " " + text;
        std::string block = resultLine(record.number, record.frameId, address, text);
        if (report.outcome == Outcome::Meter)
            block += report.text;
        console_.out(std::move(block));
    }

    void statistics(const RunStatistics& s) override
    {
        std::string block = (boost::format("\n%30s %i\n") % "# messages sent:" % s.sent).str();
        block += (boost::format("%30s %i\n") % "# responses received:" % s.received).str();
        block += (boost::format("%30s %i\n") % "# messages succeeded:" % s.succeeded).str();
        if (s.succeeded < s.sent)
            block += (boost::format("%30s %i\n") % "!!! # messages failed:" % (s.sent - s.succeeded)).str();
        console_.out(std::move(block));
    }

private:
    // The frame's inventory name, padded to the longest one ("-" for a frame not in it).
    std::string nameColumn(std::uint64_t frameId) const
    {
        const Rig::InventoryEntry* entry = inventory_->find(frameId);
        std::string name = entry != nullptr ? entry->name : "-";
        if (name.size() < inventory_->nameWidth())
            name.append(inventory_->nameWidth() - name.size(), ' ');
        return name;
    }

    Console::Writer& console_;
    const Rig::Inventory* inventory_;
};

class JsonReporter : public Reporter {
public:
    JsonReporter(Console::Writer& console, const Rig::Inventory* inventory, std::string version)
        : console_(console), inventory_(inventory), version_(std::move(version))
    {
    }

    void discovering(std::uint32_t localAddress, std::uint16_t localPort, const std::string& message) override
    {
        Json j;
        j["type"] = "start";
        j["version"] = version_;
        j["address"] = dottedAddress(localAddress);
        j["port"] = localPort;
        j["message"] = message;
        write(j);
    }

    void found(const FoundFrame& frame) override
    {
        Json j;
        j["type"] = "found";
        j["n"] = frame.number;
        j["frame"] = Rig::frameIdText(frame.frameId);
        j["address"] = dottedAddress(frame.address);
        j["duplicate"] = frame.duplicate;
        addInventory(j, frame.frameId, frame.address);
        write(j);
    }

    void discoveryOver() override {}

    void missing(const std::vector<std::uint64_t>& frameIds) override
    {
        for (const std::uint64_t id : frameIds) {
            Json j;
            j["type"] = "missing";
            j["frame"] = Rig::frameIdText(id);
            if (const Rig::InventoryEntry* entry = inventory_ != nullptr ? inventory_->find(id) : nullptr)
                j["name"] = entry->name;
            write(j);
        }
    }

    void echo(const std::string&) override {}

    void result(const ResultRecord& record) override
    {
        const ResponseReport& report = *record.report;
        Json j;
        j["type"] = "result";
        j["n"] = record.number;
        j["frame"] = Rig::frameIdText(record.frameId);
        j["address"] = record.address ? Json(dottedAddress(*record.address)) : Json(nullptr);
        j["outcome"] = outcomeName(report.outcome);
        j["transmissions"] = record.transmissions;
        j["ms"] = std::round(record.ms * 10.0) / 10.0;
        switch (report.outcome) {
        case Outcome::Failed:
        case Outcome::UnknownError:
            j["code"] = report.code;
            break;
        case Outcome::Replied:
            j["reply"] = report.reply;
            break;
        case Outcome::Meter:
            j["meter"] = meterObject(report);
            break;
        default:
            break;
        }
        if (record.answeredBy) {
            Json by;
            by["frame"] = Rig::frameIdText(*record.answeredBy);
            by["address"] =
                record.answeredByAddress ? Json(dottedAddress(*record.answeredByAddress)) : Json(nullptr);
            j["answered_by"] = std::move(by);
        }
        if (record.dropped)
            j["dropped"] = *record.dropped;
        addInventory(j, record.frameId, record.address);
        write(j);
    }

    void statistics(const RunStatistics& s) override
    {
        Json j;
        j["type"] = "statistics";
        j["sent"] = s.sent;
        j["responses"] = s.received;
        j["succeeded"] = s.succeeded;
        j["failed"] = s.sent - s.succeeded;
        j["missing"] = s.missing;
        write(j);
    }

private:
    void addInventory(Json& j, std::uint64_t frameId, std::optional<std::uint32_t> address) const
    {
        const InventoryView v = view(inventory_, frameId, address);
        if (v.entry != nullptr)
            j["name"] = v.entry->name;
        if (v.unexpected)
            j["unexpected"] = true;
        if (v.movedFrom)
            j["expected_address"] = dottedAddress(*v.movedFrom);
    }

    static Json meterObject(const ResponseReport& report)
    {
        return report.meter ? meterJson(*report.meter) : Json(nullptr);
    }

    // One whole line; bytes that are not UTF-8 (a frame's reply) become U+FFFD.
    void write(const Json& j) { console_.out(j.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n"); }

    Console::Writer& console_;
    const Rig::Inventory* inventory_;
    const std::string version_;
};

} // namespace

std::unique_ptr<Reporter> makeTextReporter(Console::Writer& console, const Rig::Inventory* inventory)
{
    return std::make_unique<TextReporter>(console, inventory);
}

std::unique_ptr<Reporter> makeJsonReporter(Console::Writer& console, const Rig::Inventory* inventory,
                                           std::string version)
{
    return std::make_unique<JsonReporter>(console, inventory, std::move(version));
}
