#include "apps/shared/FrameIds.h"

#include <boost/format.hpp>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>

namespace Rig {

namespace {

std::optional<std::uint32_t> hexGroup(std::string_view text)
{
    if (text.empty() || text.size() > 8 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos)
        return std::nullopt;
    std::uint32_t value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value, 16);
    return value;
}

std::string_view trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

} // namespace

std::optional<std::uint64_t> parseFrameId(std::string_view text)
{
    const auto colon = text.find(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    const auto high = hexGroup(text.substr(0, colon));
    const auto low = hexGroup(text.substr(colon + 1));
    if (!high || !low)
        return std::nullopt;
    return (static_cast<std::uint64_t>(*high) << 32) | *low;
}

std::string frameIdText(std::uint64_t id)
{
    return (boost::format("%08x:%08x") % static_cast<std::uint32_t>(id >> 32) % static_cast<std::uint32_t>(id)).str();
}

std::string readTextFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw InputError((boost::format("cannot read %s: %s") % path % std::strerror(errno)).str());
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad())
        throw InputError((boost::format("cannot read %s") % path).str());
    return text.str();
}

std::vector<std::uint64_t> parseFrameIdList(const std::string& list)
{
    std::vector<std::uint64_t> ids;
    if (!list.empty() && list[0] == '@') {
        const std::string path = list.substr(1);
        std::istringstream lines(readTextFile(path));
        std::string line;
        for (int number = 1; std::getline(lines, line); ++number) {
            std::string_view item = line;
            item = trimmed(item.substr(0, item.find('#')));
            if (item.empty())
                continue;
            const auto id = parseFrameId(item);
            if (!id)
                throw InputError((boost::format("%s:%d: \"%s\" is not a frame ID (write 00a00000:00000001 or a00000:1)") %
                                  path % number % std::string(item))
                                     .str());
            ids.push_back(*id);
        }
        return ids;
    }
    std::string_view rest = list;
    for (;;) {
        const auto comma = rest.find(',');
        const std::string_view item = trimmed(rest.substr(0, comma));
        const auto id = parseFrameId(item);
        if (!id)
            throw InputError((boost::format("\"%s\" is not a frame ID (write 00a00000:00000001 or a00000:1)") %
                              std::string(item))
                                 .str());
        ids.push_back(*id);
        if (comma == std::string_view::npos)
            break;
        rest = rest.substr(comma + 1);
    }
    return ids;
}

} // namespace Rig
