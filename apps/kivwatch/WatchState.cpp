#include "apps/kivwatch/WatchState.h"

#include <algorithm>

WatchState::Sample WatchState::sampleOf(const MeterRecord& record, WallClock::time_point t)
{
    Sample s;
    s.tMs = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    s.psuVoltage = static_cast<std::int16_t>(record.psu.voltage);
    bool anyTemp = false;
    for (std::size_t i = 0; i < record.channels.size(); ++i) {
        const MeterRecord::Channel& c = record.channels[i];
        if (c.temp) {
            // Temp is the distance below the limit: the hottest channel is the one nearest 0.
            s.hottestTemp = anyTemp ? std::max(s.hottestTemp, *c.temp) : *c.temp;
            anyTemp = true;
        }
        s.largestGainRed = std::max(s.largestGainRed, c.gainRed);
        // Output peaks where the record has them (version 3), else the channel's voltage level.
        s.peaks[i] = i < record.outputs.size() && record.outputs[i].peak ? *record.outputs[i].peak : c.volt;
    }
    return s;
}

WatchState::WatchState(const Rig::Inventory* inventory) : inventory_(inventory)
{
    if (inventory_ != nullptr)
        for (const auto& entry : inventory_->entries()) {
            Frame& f = frames_[entry.frameId];
            f.info.frameId = entry.frameId;
            f.info.address = entry.address.value_or(0);
        }
}

WatchState::Frame& WatchState::frame(std::uint64_t frameId)
{
    Frame& f = frames_[frameId];
    f.info.frameId = frameId;
    return f;
}

void WatchState::push(Event event)
{
    events_.push_back(std::move(event));
}

void WatchState::frameFound(const Morv::FrameInfo& info)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Frame& f = frame(info.frameId);
    if (f.present)
        return;
    f.present = true;
    f.seen = true;
    f.late = false;
    f.info = info;
    Event e;
    e.kind = Event::Kind::Found;
    e.t = WallClock::now();
    e.frameId = info.frameId;
    e.address = info.address;
    e.info = info;
    push(std::move(e));
}

void WatchState::frameLost(std::uint64_t frameId)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = frames_.find(frameId);
    if (it == frames_.end() || !it->second.present)
        return;
    it->second.present = false;
    Event e;
    e.kind = Event::Kind::Lost;
    e.t = WallClock::now();
    e.frameId = frameId;
    e.address = it->second.info.address;
    push(std::move(e));
}

void WatchState::frameChanged(const Morv::FrameInfo& info)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = frames_.find(info.frameId);
    if (it == frames_.end() || !it->second.present)
        return;
    Morv::FrameInfo& old = it->second.info;
    std::vector<std::string> what;
    if (old.address != info.address)
        what.emplace_back("address");
    if (old.nodeType != info.nodeType)
        what.emplace_back("node type");
    if (old.deviceType != info.deviceType)
        what.emplace_back("device type");
    if (old.state != info.state)
        what.emplace_back("state");
    old = info;
    // The frame list also reports new setting stamps, which the record does not hold.
    if (what.empty())
        what.emplace_back("stamp");
    Event e;
    e.kind = Event::Kind::Changed;
    e.t = WallClock::now();
    e.frameId = info.frameId;
    e.address = info.address;
    e.what = std::move(what);
    e.info = info;
    push(std::move(e));
}

void WatchState::reportNeverSeen()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (inventory_ == nullptr)
        return;
    for (const auto& entry : inventory_->entries()) {
        Frame& f = frame(entry.frameId);
        if (f.seen || f.neverSeenReported)
            continue;
        f.neverSeenReported = true;
        Event e;
        e.kind = Event::Kind::NeverSeen;
        e.t = WallClock::now();
        e.frameId = entry.frameId;
        e.address = entry.address.value_or(0);
        push(std::move(e));
    }
}

std::uint64_t WatchState::startRound(std::vector<std::uint64_t>& toPoll)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const std::uint64_t number = ++roundCount_;
    Round& round = rounds_[number];
    round.summary.round = number;
    round.start = Clock::now();
    toPoll.clear();
    for (auto& [id, f] : frames_) {
        if (!f.present)
            continue;
        if (f.pollOpen) {
            f.late = true;
            ++round.summary.late;
            continue;
        }
        f.pollOpen = true;
        toPoll.push_back(id);
    }
    round.summary.sent = static_cast<int>(toPoll.size());
    round.open = round.summary.sent;
    return number;
}

void WatchState::pollNotSent(std::uint64_t round, std::uint64_t frameId)
{
    std::lock_guard<std::mutex> lock(mutex_);
    frame(frameId).pollOpen = false;
    const auto it = rounds_.find(round);
    if (it == rounds_.end())
        return;
    --it->second.summary.sent;
    ++it->second.summary.failed;
    --it->second.open;
    endRoundIfDone(it);
}

void WatchState::sealRound(std::uint64_t round)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = rounds_.find(round);
    if (it == rounds_.end())
        return;
    it->second.sealed = true;
    endRoundIfDone(it);
}

void WatchState::pollEnded(std::uint64_t round, std::uint64_t frameId, const ResponseReport& report)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Frame& f = frame(frameId);
    f.pollOpen = false;
    const auto it = rounds_.find(round);
    RoundSummary* summary = it != rounds_.end() ? &it->second.summary : nullptr;
    if (report.outcome == Outcome::Meter && report.meter) {
        const WallClock::time_point now = WallClock::now();
        f.late = false;
        f.lastAnswer = Clock::now();
        const Sample sample = sampleOf(*report.meter, now);
        f.last = sample;
        // The ring: the newest sample overwrites the oldest once it is full.
        if (f.samples < HISTORY) {
            f.history[(f.oldest + f.samples) % HISTORY] = sample;
            ++f.samples;
        } else {
            f.history[f.oldest] = sample;
            f.oldest = (f.oldest + 1) % HISTORY;
        }
        if (summary != nullptr)
            ++summary->answered;
        Event e;
        e.kind = Event::Kind::Meter;
        e.t = now;
        e.frameId = frameId;
        e.address = f.info.address;
        e.meter = report.meter;
        push(std::move(e));
    } else if (report.outcome == Outcome::TimedOut) {
        f.late = true;
        if (summary != nullptr)
            ++summary->timedOut;
    } else if (summary != nullptr) {
        if (report.received)
            ++summary->invalid;
        else
            ++summary->failed;
    }
    if (it == rounds_.end())
        return;
    --it->second.open;
    endRoundIfDone(it);
}

void WatchState::endRoundIfDone(std::map<std::uint64_t, Round>::iterator round)
{
    if (!round->second.sealed || round->second.open > 0)
        return;
    RoundSummary summary = round->second.summary;
    summary.ms = std::chrono::duration<double, std::milli>(Clock::now() - round->second.start).count();
    rounds_.erase(round);
    lastRound_ = summary;
    Event e;
    e.kind = Event::Kind::Poll;
    e.t = WallClock::now();
    e.round = summary;
    push(std::move(e));
}

std::vector<WatchState::Event> WatchState::takeEvents()
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Event> taken;
    taken.swap(events_);
    return taken;
}

WatchState::Snapshot WatchState::snapshot() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    Snapshot s;
    s.lastRound = lastRound_;
    s.rounds = roundCount_;
    for (const auto& [id, f] : frames_) {
        Row row;
        row.frameId = id;
        if (inventory_ != nullptr)
            if (const Rig::InventoryEntry* entry = inventory_->find(id))
                row.name = entry->name;
        row.address = f.info.address;
        row.state = !f.seen ? State::NeverSeen : !f.present ? State::Lost : f.late ? State::Late : State::Ok;
        row.lastAnswer = f.lastAnswer;
        row.last = f.last;
        s.rows.push_back(std::move(row));
    }
    return s;
}

std::vector<WatchState::Sample> WatchState::history(std::uint64_t frameId) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Sample> result;
    const auto it = frames_.find(frameId);
    if (it == frames_.end())
        return result;
    for (std::size_t i = 0; i < it->second.samples; ++i)
        result.push_back(it->second.history[(it->second.oldest + i) % HISTORY]);
    return result;
}
