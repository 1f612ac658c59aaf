#pragma once

#include <boost/format.hpp>

#include <cstdio>
#include <locale>
#include <string>

// Console output of kivcast. Every write is flushed at once, so a caller
// reading a pipe sees each line as it is printed and in order.
namespace Console {

inline void out(const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

inline void err(const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

// Boost.Format narrows every character of a format string, and the standard
// library caches each result on first use: a write that would otherwise happen
// on whichever engine thread formats first. Filling the cache once on the main
// thread, before any other thread starts, leaves only reads.
inline void prepareFormatting()
{
    const auto& facet = std::use_facet<std::ctype<char>>(std::locale());
    for (int c = 0; c < 256; ++c)
        facet.narrow(static_cast<char>(c), '\0');
}

inline void out(const boost::format& text) { out(text.str()); }
inline void err(const boost::format& text) { err(text.str()); }

} // namespace Console
