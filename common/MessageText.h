#pragma once

#include "common/TextEscape.h"

#include <algorithm>
#include <string>

// The protocol carries ASCII texts. A message typed with other characters is
// still sent, as UTF-8 from every platform, but a frame may not show it as
// typed: the programs say so in one line on standard error.
namespace MessageText {

inline bool isAscii(const std::string& text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The warning line for `text` (ending in a newline), or an empty string when
// the text is pure ASCII.
inline std::string nonAsciiWarning(const std::string& program, const std::string& text)
{
    if (isAscii(text))
        return {};
    return program + ": warning: the message \"" + escapeForConsole(text) +
           "\" holds characters other than ASCII; it is sent as UTF-8, and frames may not show them as typed\n";
}

} // namespace MessageText
