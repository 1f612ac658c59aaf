#pragma once

// The emulated frames and the lookups that route a request to them.

#include "apps/kivframe/Settings.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace KivFrame {

// A small generator per frame, so one frame's faults do not depend on the
// traffic of the others (SplitMix64).
class FrameRandom {
public:
    explicit FrameRandom(std::uint64_t seed) : state_(seed) {}
    // Uniform in [0, 1).
    double next();

private:
    std::uint64_t state_;
};

// How often a frame has heard each of its most recent request sequence numbers.
// Keeps the last few hundred numbers, so memory stays bounded however long it runs.
class TransmissionCounter {
public:
    // Counts one more transmission of `sequence` and returns the count (1 for the first).
    unsigned count(std::uint32_t sequence);

private:
    static constexpr std::size_t CAPACITY = 256;
    std::vector<std::pair<std::uint32_t, unsigned>> recent_; // ring, oldest at next_
    std::size_t next_ = 0;
};

struct Frame {
    std::uint32_t index = 0;   // 0-based, in command-line order
    std::uint64_t id = 0;
    std::uint32_t address = 0; // host byte order
    const FrameSettings* settings = nullptr;
    FrameRandom random{0};
    unsigned discoveriesHeard = 0;
    // Sequence numbers of the latest request the frame heard (discovery
    // included) and of the different one it heard before that.
    std::optional<std::uint32_t> lastSequenceHeard;
    std::optional<std::uint32_t> earlierSequenceHeard;
    std::unique_ptr<TransmissionCounter> transmissions; // only with answer-from > 1
};

class FrameTable {
public:
    // Builds the frames of the options; with --faulty, draws the faulty share
    // of the --frames frames. Throws UsageError for an address outside
    // 127.0.0.0/8, IDs or addresses that run out, or one ID twice on one address.
    explicit FrameTable(const Options& options);

    std::size_t size() const { return frames_.size(); }
    Frame& operator[](std::size_t index) { return frames_[index]; }
    const Frame& operator[](std::size_t index) const { return frames_[index]; }

    // Frame indices at an address, in frame order (empty when none).
    const std::vector<std::uint32_t>& atAddress(std::uint32_t address) const;
    // Frame indices with an ID, in frame order (empty when none).
    const std::vector<std::uint32_t>& withId(std::uint64_t id) const;

    std::uint32_t lowestAddress() const { return lowest_; }
    std::uint32_t highestAddress() const { return highest_; }

    // Indices of the frames --faulty gave the faults to, ascending (empty without --faulty).
    const std::vector<std::uint32_t>& faultyFrames() const { return faulty_; }

private:
    void add(std::uint64_t id, std::uint32_t address, const FrameSettings* settings, std::uint64_t seed);
    // Which of the --frames frames have the faults: all of them, or the drawn share.
    std::vector<bool> drawFaulty(const Options& options);

    // Settings of the --frames frames that --faulty leaves without faults.
    std::unique_ptr<const FrameSettings> clean_;
    std::vector<std::uint32_t> faulty_;

    std::vector<Frame> frames_;
    std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> byAddress_;
    std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> byId_;
    std::uint32_t lowest_ = 0;
    std::uint32_t highest_ = 0;
};

// Dotted form of a host-order IPv4 address.
std::string dotted(std::uint32_t address);
// A frame ID as "%08x:%08x", high half first.
std::string idText(std::uint64_t id);

} // namespace KivFrame
