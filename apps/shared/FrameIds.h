#pragma once

// Frame IDs as technicians write them in lists: "00a00000:00000001" (long)
// or "a00000:1" (short), either case.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace Rig {

// A list, a file or an inventory that cannot be read; the message names the
// file and line where there is one.
class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One ID: two groups of 1 to 8 hexadecimal digits around a ':'. Nothing when
// the text is not of that form.
std::optional<std::uint64_t> parseFrameId(std::string_view text);

// "%08x:%08x".
std::string frameIdText(std::uint64_t id);

// A list as given to an option: IDs joined by commas, or "@FILE" for a file
// with one ID per line ('#' starts a comment; blank lines are skipped).
// Throws InputError naming the bad item (and the file and line).
std::vector<std::uint64_t> parseFrameIdList(const std::string& list);

// The lines of a file; throws InputError when it cannot be read.
std::string readTextFile(const std::string& path);

} // namespace Rig
