#include "apps/kivcast/CommandLine.h"

#include "Network/Enumerator.h"

#include <boost/format.hpp>

#include <charconv>
#include <cstring>
#include <iostream>
#include <string_view>

namespace {

// "%08x:%08x" with either case of digits: 17 characters, the first ':' at
// index 8, nothing outside "abcdefABCDEF0123456789:".
bool hasFrameIdForm(std::string_view text)
{
    return text.size() == 17 && text.find(':') == 8 &&
           text.find_first_not_of("abcdefABCDEF0123456789:") == std::string_view::npos;
}

// Hexadecimal digits from the start of text up to the first other character; 0 when none.
std::uint32_t leadingHex(std::string_view text)
{
    std::uint32_t value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value, 16);
    return value;
}

// High half: characters 0-7. Low half: from index 9, up to the first
// character that is not a hex digit (a further ':').
std::uint64_t parseFrameId(std::string_view text)
{
    const std::uint64_t high = leadingHex(text.substr(0, 8));
    const std::uint64_t low = leadingHex(text.substr(9));
    return (high << 32) | low;
}

} // namespace

std::optional<RunOptions> parseCommandLine(int argc, const char* const argv[])
{
    if (argc < 3)
        return std::nullopt;
    RunOptions options;
    options.networkAddress = argv[1];
    int messageIndex = 2;
    // With only two arguments the second is the message, even "-dynamic".
    if (argc >= 4 && std::strcmp(argv[2], "-dynamic") == 0) {
        options.dynamicPorts = true;
        messageIndex = 3;
    }
    options.message = argv[messageIndex];
    if (hasFrameIdForm(options.message) && argc > messageIndex + 1) {
        options.targetFrameId = parseFrameId(options.message);
        options.message = argv[messageIndex + 1];
    }
    return options;
}

int printUsage()
{
    std::cerr << "kivcast <network address> [options] <message>\n"
              << "\n"
              << "    Where [options] is one or more of the following:\n"
              << "        -dynamic Use dynamic port selection, usable while TQ is running\n"
              << "\n"
              << "\n";
    try {
        Network::Enumerator enumerator;
        enumerator.load();
        const int count = enumerator.count();
        if (count == 0) {
            std::cerr << "No network connections found.\n";
        } else {
            std::cerr << "Network connections available:\n";
            for (int i = 0; i < count; ++i) {
                const Network::NetworkAdapter adapter = enumerator.adapter(i);
                std::cerr << boost::format("%s:\n") % adapter.description
                          << boost::format("   %16s  %16s  %17s\n\n") % adapter.ipAddress % adapter.subnetMask %
                                 adapter.macAddress;
            }
        }
    } catch (const Exception& e) {
        std::cerr << boost::format("%s\n") % e.message();
    }
    std::cerr.flush();
    return 1;
}
