#pragma once

// Text helpers of the tests; no system calls, so every build may use them.

#include <string>
#include <vector>

namespace kivtest {

// Splits text into lines (without their newline characters).
inline std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::string::size_type start = 0;
    while (start < text.size()) {
        const auto end = text.find('\n', start);
        if (end == std::string::npos) {
            result.push_back(text.substr(start));
            break;
        }
        result.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

} // namespace kivtest
