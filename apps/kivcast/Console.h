#pragma once

#include <boost/format.hpp>

#include <cstdio>
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

inline void out(const boost::format& text) { out(text.str()); }
inline void err(const boost::format& text) { err(text.str()); }

} // namespace Console
