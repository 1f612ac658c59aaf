#include "apps/shared/LeadingOptions.h"

#include <boost/format.hpp>

namespace Rig {

std::optional<std::string> misreadOption(const std::vector<std::string>& args, std::initializer_list<const char*> flags,
                                         std::initializer_list<const char*> valued)
{
    for (std::size_t i = 1; i < args.size() && args[i].rfind("--", 0) == 0; ++i) {
        for (const char* flag : flags)
            if (args[i].rfind(std::string(flag) + "=", 0) == 0)
                return (boost::format("%s takes no value") % flag).str();
        for (const char* option : valued)
            if (args[i] == std::string(option) + "=")
                return (boost::format("%s= needs a value after the =") % option).str();
    }
    return std::nullopt;
}

std::vector<std::string> parseLeadingOptions(CLI::App& app, const std::vector<std::string>& args)
{
    // CLI11 takes a vector of arguments last first; argv[0] is not one.
    std::vector<std::string> reversed(args.rbegin(), args.rend() - 1);
    app.parse(reversed);
    return app.remaining();
}

} // namespace Rig
