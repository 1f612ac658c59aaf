#pragma once

#include <string>
#include <string_view>

// Text that came from the network, made safe for one console line: control
// characters, DEL and bytes above 0x7F become \xHH, so a peer can neither
// break the line structure nor send terminal escape sequences. Printable
// ASCII is unchanged.
inline std::string escapeControlCharacters(std::string_view text)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b >= 0x7F) {
            out += "\\x";
            out += hex[b >> 4];
            out += hex[b & 0x0F];
        } else {
            out += c;
        }
    }
    return out;
}
