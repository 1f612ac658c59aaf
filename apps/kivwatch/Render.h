#pragma once

// The views of a watch, rendered from WatchState's events and snapshots:
// JSON lines, plain lines and the live table. Plain functions; any thread.

#include "apps/kivwatch/WatchState.h"
#include "apps/shared/Inventory.h"

#include <chrono>
#include <string>

// Local time to the millisecond with its offset: "2026-12-10T21:04:05.123+01:00".
std::string localTimeStamp(std::chrono::system_clock::time_point t);

// One JSON record, with its "\n".
std::string jsonRecord(const WatchState::Event& event, const Rig::Inventory* inventory);

// One plain line, with its "\n"; empty for a meter record (plain output shows the round's summary).
std::string plainLine(const WatchState::Event& event, const Rig::Inventory* inventory);

struct TableLayout {
    int width = 80;
    int height = 24;
    bool color = false;
    bool byId = false;      // rows by frame ID instead of by name
    bool polling = false;   // the meter columns
};

// The whole screen, drawn from its top-left corner: each line cleared to its
// end, the rest of the screen cleared, no line wider than the layout, and
// rows that do not fit summarised in the last line.
std::string renderTable(const WatchState::Snapshot& snapshot, const TableLayout& layout,
                        std::chrono::steady_clock::time_point now);
