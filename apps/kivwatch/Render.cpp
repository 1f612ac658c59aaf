#include "apps/kivwatch/Render.h"

#include "apps/kivcast/Report.h"
#include "apps/shared/FrameIds.h"

#include <boost/format.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <ctime>

namespace {

using Json = nlohmann::ordered_json;
using Event = WatchState::Event;

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

std::int64_t secondsOf(const std::tm& tm)
{
    return daysFromCivil(tm.tm_year + 1900, static_cast<unsigned>(tm.tm_mon + 1), static_cast<unsigned>(tm.tm_mday)) *
               86400 +
           tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
}

const char* eventType(Event::Kind kind)
{
    switch (kind) {
    case Event::Kind::Found:
        return "found";
    case Event::Kind::Lost:
        return "lost";
    case Event::Kind::Changed:
        return "changed";
    case Event::Kind::NeverSeen:
        return "never_seen";
    case Event::Kind::Meter:
        return "meter";
    case Event::Kind::Poll:
        break;
    }
    return "poll";
}

std::string nameOf(const Rig::Inventory* inventory, std::uint64_t frameId)
{
    const Rig::InventoryEntry* entry = inventory != nullptr ? inventory->find(frameId) : nullptr;
    return entry != nullptr ? entry->name : std::string();
}

double tenth(double value) { return std::round(value * 10.0) / 10.0; }

// Visible width of UTF-8 text (every character one column).
std::size_t columns(const std::string& text)
{
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// The text cut to `width` columns, never inside a character.
std::string cut(const std::string& text, std::size_t width)
{
    std::size_t shown = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (shown == width)
                return text.substr(0, i);
            ++shown;
        }
    }
    return text;
}

std::string pad(const std::string& text, std::size_t width)
{
    const std::string shown = cut(text, width);
    return shown + std::string(width - columns(shown), ' ');
}

// Four peaks from -48 dB to 0 dB as one block character each.
std::string peakBar(const std::array<float, 4>& peaks)
{
    static const char* const blocks[] = {" ", "\u2581", "\u2582", "\u2583", "\u2584", "\u2585", "\u2586", "\u2587",
                                         "\u2588"};
    std::string bar;
    for (const float peak : peaks) {
        const double share = std::clamp((static_cast<double>(peak) + 48.0) / 48.0, 0.0, 1.0);
        bar += blocks[static_cast<int>(std::lround(share * 8.0))];
    }
    return bar;
}

const char* stateName(WatchState::State state)
{
    switch (state) {
    case WatchState::State::Ok:
        return "ok";
    case WatchState::State::Late:
        return "late";
    case WatchState::State::Lost:
        return "lost";
    case WatchState::State::NeverSeen:
        break;
    }
    return "never seen";
}

const char* stateColor(WatchState::State state)
{
    switch (state) {
    case WatchState::State::Ok:
        return "\x1b[32m";
    case WatchState::State::Late:
        return "\x1b[33m";
    case WatchState::State::Lost:
        return "\x1b[1;31m";
    case WatchState::State::NeverSeen:
        break;
    }
    return "\x1b[2m";
}

} // namespace

std::string localTimeStamp(std::chrono::system_clock::time_point t)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000 - (ms % 1000 < 0 ? 1 : 0));
    const int milli = static_cast<int>((ms % 1000 + 1000) % 1000);
    std::tm local{};
    std::tm utc{};
#ifdef _WIN32
    localtime_s(&local, &seconds);
    gmtime_s(&utc, &seconds);
#else
    localtime_r(&seconds, &local);
    gmtime_r(&seconds, &utc);
#endif
    // The offset from the two calendars, the same on every platform (Windows' %z prints a name).
    const std::int64_t offsetMinutes = (secondsOf(local) - secondsOf(utc)) / 60;
    const std::int64_t magnitude = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    return (boost::format("%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d") % (local.tm_year + 1900) %
            (local.tm_mon + 1) % local.tm_mday % local.tm_hour % local.tm_min % local.tm_sec % milli %
            (offsetMinutes < 0 ? '-' : '+') % (magnitude / 60) % (magnitude % 60))
        .str();
}

std::string jsonRecord(const Event& event, const Rig::Inventory* inventory)
{
    Json j;
    j["type"] = eventType(event.kind);
    j["t"] = localTimeStamp(event.t);
    if (event.kind == Event::Kind::Poll) {
        const WatchState::RoundSummary& r = event.round;
        j["round"] = r.round;
        j["sent"] = r.sent;
        j["answered"] = r.answered;
        j["timed_out"] = r.timedOut;
        j["late"] = r.late;
        j["invalid"] = r.invalid;
        j["failed"] = r.failed;
        j["ms"] = tenth(r.ms);
    } else {
        j["frame"] = Rig::frameIdText(event.frameId);
        j["address"] = event.address != 0 ? Json(dottedAddress(event.address)) : Json(nullptr);
        if (event.kind == Event::Kind::Changed) {
            j["what"] = event.what;
            j["node_type"] = event.info.nodeType;
            j["device_type"] = event.info.deviceType;
            j["state"] = event.info.state;
        }
        if (event.kind == Event::Kind::Meter && event.meter)
            j["meter"] = meterJson(*event.meter);
        const std::string name = nameOf(inventory, event.frameId);
        if (!name.empty())
            j["name"] = name;
        else if (inventory != nullptr)
            j["unexpected"] = true;
    }
    return j.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string plainLine(const Event& event, const Rig::Inventory* inventory)
{
    const std::string t = localTimeStamp(event.t);
    if (event.kind == Event::Kind::Meter)
        return {};
    if (event.kind == Event::Kind::Poll) {
        const WatchState::RoundSummary& r = event.round;
        return (boost::format("%s round %d: sent %d, answered %d, timed out %d, late %d, invalid %d, failed %d, "
                              "%.1f ms\n") %
                t % r.round % r.sent % r.answered % r.timedOut % r.late % r.invalid % r.failed % r.ms)
            .str();
    }
    const char* mark = event.kind == Event::Kind::Found     ? "+"
                       : event.kind == Event::Kind::Lost    ? "-"
                       : event.kind == Event::Kind::Changed ? "~"
                                                            : "?";
    std::string line = (boost::format("%s %s %s %-15s") % t % mark % Rig::frameIdText(event.frameId) %
                        (event.address != 0 ? dottedAddress(event.address) : std::string("-")))
                           .str();
    const std::string name = nameOf(inventory, event.frameId);
    if (!name.empty())
        line += " " + name;
    if (event.kind == Event::Kind::NeverSeen)
        line += " never seen";
    if (event.kind == Event::Kind::Changed) {
        line += " changed:";
        for (const std::string& what : event.what)
            line += " " + what;
        line += (boost::format(" (node type %u, device type %u, state %d)") % event.info.nodeType %
                 event.info.deviceType % event.info.state)
                    .str();
    }
    // Trailing blanks of the padded address go when nothing follows.
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line + "\n";
}

std::string renderTable(const WatchState::Snapshot& snapshot, const TableLayout& layout,
                        std::chrono::steady_clock::time_point now)
{
    std::vector<WatchState::Row> rows = snapshot.rows;
    std::sort(rows.begin(), rows.end(), [&](const WatchState::Row& a, const WatchState::Row& b) {
        if (!layout.byId && a.name != b.name) {
            // Named frames first, by name; the others after them, by ID.
            if (a.name.empty() != b.name.empty())
                return b.name.empty();
            return a.name < b.name;
        }
        return a.frameId < b.frameId;
    });
    int counts[4] = {0, 0, 0, 0};
    for (const auto& row : rows)
        ++counts[static_cast<int>(row.state)];

    const std::size_t width = static_cast<std::size_t>(std::max(layout.width, 20));
    const int height = std::max(layout.height, 4);
    std::size_t nameWidth = 4;
    for (const auto& row : rows)
        nameWidth = std::min<std::size_t>(std::max(nameWidth, columns(row.name)), 24);

    std::vector<std::string> lines;
    std::string header = (boost::format("kivwatch  %d frames: %d ok, %d late, %d lost, %d never seen") % rows.size() %
                          counts[0] % counts[1] % counts[2] % counts[3])
                             .str();
    if (snapshot.lastRound) {
        const auto& r = *snapshot.lastRound;
        header += (boost::format("  round %d: %d/%d answered, %d late, %.0f ms") % r.round % r.answered % r.sent %
                   r.late % r.ms)
                      .str();
    }
    lines.push_back(header);
    std::string titles = pad("NAME", nameWidth) + " " + pad("ID", 17) + " " + pad("ADDRESS", 15) + " " +
                         pad("STATE", 10) + " " + pad("AGE", 6);
    if (layout.polling)
        titles += " " + pad("PSU", 5) + " " + pad("TEMP", 7) + " " + pad("GAINRED", 7) + " PEAKS";
    lines.push_back(titles);

    const std::size_t room = static_cast<std::size_t>(height - 2);
    const bool overflow = rows.size() > room;
    const std::size_t shown = overflow ? room - 1 : rows.size();
    std::vector<std::string> colors;
    for (std::size_t i = 0; i < shown; ++i) {
        const auto& row = rows[i];
        std::string age = "-";
        if (row.lastAnswer)
            age = (boost::format("%.1fs") %
                   std::chrono::duration<double>(now - *row.lastAnswer).count())
                      .str();
        std::string line = pad(row.name.empty() ? "-" : row.name, nameWidth) + " " +
                           pad(Rig::frameIdText(row.frameId), 17) + " " +
                           pad(row.address != 0 ? dottedAddress(row.address) : "-", 15) + " " +
                           pad(stateName(row.state), 10) + " " + pad(age, 6);
        if (layout.polling && row.last) {
            const WatchState::Sample& s = *row.last;
            line += " " + pad((boost::format("%dV") % s.psuVoltage).str(), 5) + " " +
                    pad((boost::format("%.1fdB") % s.hottestTemp).str(), 7) + " " +
                    pad((boost::format("%.1fdB") % s.largestGainRed).str(), 7) + " " + peakBar(s.peaks);
        }
        lines.push_back(line);
        colors.push_back(stateColor(row.state));
    }
    if (overflow) {
        int rest[4] = {0, 0, 0, 0};
        for (std::size_t i = shown; i < rows.size(); ++i)
            ++rest[static_cast<int>(rows[i].state)];
        lines.push_back((boost::format("... %d more frames: %d ok, %d late, %d lost, %d never seen") %
                         (rows.size() - shown) % rest[0] % rest[1] % rest[2] % rest[3])
                            .str());
    }

    std::string screen = "\x1b[H";
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string text = cut(lines[i], width);
        const bool row = i >= 2 && i - 2 < colors.size();
        if (layout.color && row)
            screen += colors[i - 2] + text + "\x1b[0m";
        else
            screen += text;
        screen += "\x1b[K";
        if (i + 1 < lines.size())
            screen += "\r\n";
    }
    return screen + "\x1b[J";
}
