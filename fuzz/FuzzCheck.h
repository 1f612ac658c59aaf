#pragma once

// Invariant checks of the fuzz targets. A broken invariant is a crash: libFuzzer
// keeps the input that broke it, and the replay test of the ordinary suite fails.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#define FUZZ_CHECK(condition)                                                                          \
    do {                                                                                               \
        if (!(condition)) {                                                                            \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition);      \
            std::abort();                                                                              \
        }                                                                                              \
    } while (0)

namespace KivFuzz {

// Length of the valid UTF-8 sequence at the start of `text`, or 0 when it
// starts with an invalid one (overlong forms, surrogates and values above
// U+10FFFF included).
inline std::size_t utf8SequenceLength(std::string_view text)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    std::uint32_t value = 0;
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1FU;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0FU;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07U;
    } else {
        return 0;
    }
    if (text.size() < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0U) != 0x80U)
            return 0;
        value = (value << 6) | (byte(i) & 0x3FU);
    }
    const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < smallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    return length;
}

// True when a console line (without its newline) can neither break the line
// structure nor drive the terminal: valid UTF-8 with no C0 or C1 control and
// no DEL. Escapes such as \x1b are printable text and pass.
inline bool isSafeConsoleLine(std::string_view line)
{
    while (!line.empty()) {
        const std::size_t length = utf8SequenceLength(line);
        if (length == 0)
            return false;
        const auto lead = static_cast<unsigned char>(line[0]);
        if (length == 1 && (lead < 0x20 || lead == 0x7F))
            return false;
        // U+0080..U+009F, the C1 controls, are C2 80..C2 9F in UTF-8.
        if (length == 2 && lead == 0xC2 && static_cast<unsigned char>(line[1]) <= 0x9F)
            return false;
        line.remove_prefix(length);
    }
    return true;
}

// True when `text` is whole lines, each safe: every line ends in '\n'.
inline bool isSafeConsoleText(std::string_view text, std::size_t& lineCount)
{
    lineCount = 0;
    while (!text.empty()) {
        const auto end = text.find('\n');
        if (end == std::string_view::npos || !isSafeConsoleLine(text.substr(0, end)))
            return false;
        text.remove_prefix(end + 1);
        ++lineCount;
    }
    return true;
}

} // namespace KivFuzz
