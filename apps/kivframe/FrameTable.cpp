#include "apps/kivframe/FrameTable.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace KivFrame {

namespace {

// Usable frame addresses: 127.0.0.0/8 without its network and broadcast addresses.
constexpr std::uint32_t FIRST_LOOPBACK = 0x7F000001;
constexpr std::uint32_t LAST_LOOPBACK = 0x7FFFFFFE;

// Mixed into the seed of the --faulty draw.
constexpr std::uint64_t FAULTY_DRAW_SEED = 0x6661756C74790000ULL;

bool isLoopback(std::uint32_t address) { return address >= FIRST_LOOPBACK && address <= LAST_LOOPBACK; }

// Mixes the run's seed with the frame number, so neighbouring frames draw unrelated numbers.
std::uint64_t frameSeed(std::uint64_t seed, std::uint32_t index)
{
    std::uint64_t z = seed ^ (0x9E3779B97F4A7C15ULL * (static_cast<std::uint64_t>(index) + 1));
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

} // namespace

double FrameRandom::next()
{
    state_ += 0x9E3779B97F4A7C15ULL;
    std::uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * 0x1.0p-53;
}

unsigned TransmissionCounter::count(std::uint32_t sequence)
{
    for (auto& [seq, count] : recent_)
        if (seq == sequence)
            return ++count;
    if (recent_.size() < CAPACITY) {
        recent_.emplace_back(sequence, 1);
    } else {
        recent_[next_] = {sequence, 1};
        next_ = (next_ + 1) % CAPACITY;
    }
    return 1;
}

FrameTable::FrameTable(const Options& options)
{
    if (options.frames > 0) {
        if (!isLoopback(options.address))
            throw UsageError("--address " + dotted(options.address) +
                             ": frame addresses must lie in 127.0.0.0/8 (127.0.0.1 to 127.255.255.254)");
        const std::uint64_t lastAddress =
            options.address + static_cast<std::uint64_t>((options.frames - 1) / options.perAddress);
        if (lastAddress > LAST_LOOPBACK)
            throw UsageError("--frames " + std::to_string(options.frames) + " from --address " +
                             dotted(options.address) + " runs past 127.255.255.254");
        if (static_cast<std::uint64_t>(static_cast<std::uint32_t>(options.id)) + options.frames - 1 > 0xFFFFFFFFULL)
            throw UsageError("--frames " + std::to_string(options.frames) + " from --id " + idText(options.id) +
                             " runs past the low half ffffffff");
    }

    const std::vector<bool> faulty = drawFaulty(options);
    frames_.reserve(options.frames + options.extraFrames.size());
    for (unsigned i = 0; i < options.frames; ++i)
        add(options.id + i, options.address + i / options.perAddress,
            faulty[i] ? &options.defaults : clean_.get(), options.seed);

    for (std::size_t i = 0; i < options.extraFrames.size(); ++i) {
        const ExtraFrame& extra = options.extraFrames[i];
        const std::string which = "--frame #" + std::to_string(i + 1);
        std::uint64_t id = options.id;
        std::uint32_t address = options.address;
        if (!frames_.empty()) {
            if (static_cast<std::uint32_t>(frames_.back().id) == 0xFFFFFFFFU && !extra.id)
                throw UsageError(which + ": the ID after " + idText(frames_.back().id) +
                                 " runs past the low half ffffffff; give id=");
            id = frames_.back().id + 1;
            address = frames_.back().address + 1;
        }
        id = extra.id.value_or(id);
        address = extra.address.value_or(address);
        if (!isLoopback(address))
            throw UsageError(which + ": address " + dotted(address) +
                             " must lie in 127.0.0.0/8 (127.0.0.1 to 127.255.255.254)");
        add(id, address, &extra.settings, options.seed);
    }

    for (const auto& [id, indices] : byId_) {
        if (indices.size() < 2)
            continue;
        std::vector<std::uint32_t> addresses;
        for (const auto index : indices)
            addresses.push_back(frames_[index].address);
        std::sort(addresses.begin(), addresses.end());
        const auto twice = std::adjacent_find(addresses.begin(), addresses.end());
        if (twice != addresses.end())
            throw UsageError("frame ID " + idText(id) + " is used twice on " + dotted(*twice));
    }
}

std::vector<bool> FrameTable::drawFaulty(const Options& options)
{
    if (!options.faulty)
        return std::vector<bool>(options.frames, true);
    FrameSettings clean = options.defaults;
    clean.faults = Faults{};
    clean_ = std::make_unique<const FrameSettings>(std::move(clean));

    // A partial shuffle of the frame numbers; the first `count` are faulty.
    // Its generator is apart from the frames' own, so the draw does not
    // change what any frame's faults draw.
    const auto count = static_cast<std::size_t>(std::llround(*options.faulty * options.frames));
    std::vector<std::uint32_t> order(options.frames);
    for (std::uint32_t i = 0; i < options.frames; ++i)
        order[i] = i;
    FrameRandom random(frameSeed(options.seed ^ FAULTY_DRAW_SEED, 0));
    std::vector<bool> faulty(options.frames, false);
    for (std::size_t i = 0; i < count; ++i) {
        const auto j = i + static_cast<std::size_t>(random.next() * static_cast<double>(order.size() - i));
        std::swap(order[i], order[j]);
        faulty[order[i]] = true;
    }
    for (std::uint32_t i = 0; i < options.frames; ++i)
        if (faulty[i])
            faulty_.push_back(i);
    return faulty;
}

void FrameTable::add(std::uint64_t id, std::uint32_t address, const FrameSettings* settings, std::uint64_t seed)
{
    Frame frame;
    frame.index = static_cast<std::uint32_t>(frames_.size());
    frame.id = id;
    frame.address = address;
    frame.settings = settings;
    frame.random = FrameRandom(frameSeed(seed, frame.index));
    if (settings->faults.answerFrom > 1)
        frame.transmissions = std::make_unique<TransmissionCounter>();
    lowest_ = frames_.empty() ? address : std::min(lowest_, address);
    highest_ = frames_.empty() ? address : std::max(highest_, address);
    byAddress_[address].push_back(frame.index);
    byId_[id].push_back(frame.index);
    frames_.push_back(std::move(frame));
}

const std::vector<std::uint32_t>& FrameTable::atAddress(std::uint32_t address) const
{
    static const std::vector<std::uint32_t> none;
    const auto it = byAddress_.find(address);
    return it == byAddress_.end() ? none : it->second;
}

const std::vector<std::uint32_t>& FrameTable::withId(std::uint64_t id) const
{
    static const std::vector<std::uint32_t> none;
    const auto it = byId_.find(id);
    return it == byId_.end() ? none : it->second;
}

std::string dotted(std::uint32_t address)
{
    char text[INET_ADDRSTRLEN];
    const in_addr a{htonl(address)};
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

std::string idText(std::uint64_t id)
{
    char text[20];
    std::snprintf(text, sizeof text, "%08x:%08x", static_cast<unsigned>(id >> 32), static_cast<unsigned>(id));
    return text;
}

} // namespace KivFrame
