#pragma once

// The options that lead a command line ("prog [--OPTION...] <address> ..."),
// parsed with CLI11 as a prefix command: the steps every program of the rig
// takes the same way.

#include <CLI/CLI.hpp>

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace Rig {

// The first leading option in a form the parser would misread, as a message
// without the program's name: a flag given a value ("--json=false" would read
// as a request to switch it off), or an option of `valued` with nothing after
// its "=" (it would take the next argument, the address, as its value).
std::optional<std::string> misreadOption(const std::vector<std::string>& args, std::initializer_list<const char*> flags,
                                         std::initializer_list<const char*> valued);

// Parses the options that lead args[1..] into `app` (a prefix command) and
// returns the arguments after them, in order. Throws CLI::ParseError.
std::vector<std::string> parseLeadingOptions(CLI::App& app, const std::vector<std::string>& args);

} // namespace Rig
