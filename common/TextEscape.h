#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Text that came from the network, made safe for one console line. Valid
// UTF-8 is kept as it is, so a preset called "Bühne 1" prints as such. Every
// byte of a C0 or C1 control character, of DEL and of an invalid UTF-8
// sequence becomes \xHH, so a peer can neither break the line structure nor
// send terminal escape sequences; a backslash becomes \\, so a printed "\x41"
// is always the peer's own text and never an escape.
namespace TextEscape {

// Length of the valid UTF-8 sequence at the start of `text` (1 to 4), or 0
// when it does not start with one: overlong forms, surrogates, code points
// above U+10FFFF, stray continuation bytes and cut-off sequences are invalid.
inline std::size_t utf8SequenceLength(std::string_view text)
{
    const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char secondMin = 0x80;
    unsigned char secondMax = 0xBF;
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            secondMin = 0xA0; // overlong below U+0800
        else if (lead == 0xED)
            secondMax = 0x9F; // UTF-16 surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            secondMin = 0x90; // overlong below U+10000
        else if (lead == 0xF4)
            secondMax = 0x8F; // above U+10FFFF
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < secondMin || byte(1) > secondMax)
        return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF)
            return 0;
    return length;
}

} // namespace TextEscape

inline std::string escapeForConsole(std::string_view text)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    const auto escape = [&out](unsigned char b) {
        out += "\\x";
        out += hex[b >> 4];
        out += hex[b & 0x0F];
    };
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        const std::size_t length = TextEscape::utf8SequenceLength(text.substr(i));
        if (length == 0) {
            escape(b);
            i += 1;
        } else if (length == 1) {
            if (b < 0x20 || b == 0x7F)
                escape(b);
            else if (b == '\\')
                out += "\\\\";
            else
                out += static_cast<char>(b);
            i += 1;
        } else if (b == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            // U+0080 to U+009F: the C1 controls, CSI among them.
            escape(b);
            escape(static_cast<unsigned char>(text[i + 1]));
            i += 2;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    return out;
}
