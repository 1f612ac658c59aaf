#include "apps/kivcast/CommandLine.h"

#include "Network/Enumerator.h"
#include "apps/shared/Adapters.h"
#include "apps/shared/FrameIds.h"
#include "apps/shared/LeadingOptions.h"

#include <CLI/CLI.hpp>
#include <boost/format.hpp>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
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

const char* const GRAMMAR = "kivcast [--OPTION...] <network address> [-dynamic] [<frame id>] <message>\n";

// The options, their values and what they mean, as --help lists them.
struct OptionValues {
    bool json = false;
    bool strict = false;
    bool help = false;
    bool version = false;
    std::string frames;
    std::string exclude;
    std::string inventory;
    std::string failed;
    std::string interfaceName;
    double discover = 3.0;
};

void defineOptions(CLI::App& app, OptionValues& v)
{
    app.prefix_command();
    app.set_help_flag();
    app.add_flag("--json", v.json, "Standard output carries only JSON records, one object per line")
        ->disable_flag_override();
    app.add_option("--frames", v.frames,
                   "Send only to these frames: IDs joined by commas (00a00000:00000001 or a00000:1), or @FILE "
                   "with one ID per line")
        ->type_name("LIST");
    app.add_option("--exclude", v.exclude, "Never send to these frames (the same forms)")->type_name("LIST");
    app.add_option("--inventory", v.inventory,
                   "The rig: a CSV file with the columns frame,name and optionally address")
        ->type_name("FILE");
    app.add_option("--failed", v.failed,
                   "After the run, write the IDs of the frames that did not succeed to FILE, one per line")
        ->type_name("FILE");
    app.add_flag("--strict", v.strict,
                 "Exit 2 when a request did not succeed, 3 when a frame was missing or none was found")
        ->disable_flag_override();
    app.add_option("--discover", v.discover, "Length of the discovery in seconds, 0.2 to 60 (default 3)")
        ->type_name("SECONDS")
        ->check(CLI::Validator(
            [](const std::string& text) {
                char* end = nullptr;
                const double seconds = std::strtod(text.c_str(), &end);
                if (text.empty() || *end != '\0' || !(seconds >= 0.2 && seconds <= 60.0))
                    return "\"" + text + "\" is not a number of seconds from 0.2 to 60";
                return std::string();
            },
            ""));
    app.add_option("--interface", v.interfaceName,
                   "Bind to the adapter of this name (as the adapter listing prints it), in place of the address")
        ->type_name("NAME");
    app.add_flag("--help", v.help, "Print this help and exit")->disable_flag_override();
    app.add_flag("--version", v.version, "Print the version and exit")->disable_flag_override();
}

std::string helpText(const CLI::App& app)
{
    std::string text = std::string("Usage: ") + GRAMMAR +
                       "\n"
                       "Discovers the frames on the network of the local interface (3 s), sends the message to\n"
                       "every frame (or to the one whose ID is given) and prints one numbered result per frame,\n"
                       "then statistics. Run without arguments, it lists the network adapters.\n"
                       "\n"
                       "Options (before the address):\n";
    for (const CLI::Option* option : app.get_options()) {
        std::string name = option->get_name(false, true);
        if (option->get_type_size() != 0) {
            // Without the range a check appends to the type's name.
            const std::string type = option->get_type_name();
            name += " " + type.substr(0, type.find(':'));
        }
        text += (boost::format("  %-18s ") % name).str();
        // Descriptions wrapped to 78 columns, continued under their start.
        std::size_t column = 21;
        std::istringstream words(option->get_description());
        std::string word;
        bool first = true;
        while (words >> word) {
            if (!first && column + 1 + word.size() > 78) {
                text += "\n" + std::string(21, ' ');
                column = 21;
            } else if (!first) {
                text += ' ';
                ++column;
            }
            text += word;
            column += word.size();
            first = false;
        }
        text += "\n";
    }
    text += "\n"
            "After the address:\n"
            "  -dynamic           Let the system choose the local port and address the frames\n"
            "                     on port 6016 (only right after the address, with the message\n"
            "                     after it)\n"
            "\n"
            "Exit codes: 0; 1 for errors, a failed write of the report, and a named frame that nothing was\n"
            "sent to. With --strict: 2 when a request did not succeed, 3 when a selected or inventory frame\n"
            "was missing or no frame was found (3 wins over 2).\n";
    return text;
}

CommandLine error(std::string message)
{
    CommandLine result;
    result.kind = CommandLine::Kind::Error;
    result.text = "kivcast: " + message + "\nkivcast --help lists the options.\n";
    return result;
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

CommandLine readCommandLine(const std::vector<std::string>& args)
{
    CommandLine result;
    // The old grammar untouched when no option leads.
    if (args.size() < 2 || args[1].rfind("--", 0) != 0) {
        std::vector<const char*> argv;
        for (const auto& a : args)
            argv.push_back(a.c_str());
        const auto options = parseCommandLine(static_cast<int>(argv.size()), argv.data());
        if (options) {
            result.kind = CommandLine::Kind::Run;
            result.options = *options;
        }
        return result;
    }

    if (const auto misread = Rig::misreadOption(args, {"--json", "--strict", "--help", "--version"},
                                                {"--frames", "--exclude", "--inventory", "--failed", "--discover",
                                                 "--interface"}))
        return error(*misread);

    CLI::App app("kivcast", "kivcast");
    OptionValues v;
    defineOptions(app, v);
    std::vector<std::string> rest;
    try {
        rest = Rig::parseLeadingOptions(app, args);
    } catch (const CLI::ParseError& e) {
        return error(e.what());
    }
    if (v.help) {
        result.kind = CommandLine::Kind::Help;
        result.text = helpText(app);
        return result;
    }
    if (v.version) {
        result.kind = CommandLine::Kind::Version;
        result.text = std::string("kivcast ") + KIV_VERSION + "\n";
        return result;
    }
    // A prefix command passes an unknown option on; it is no address.
    if (!rest.empty() && rest.front().rfind("--", 0) == 0)
        return error((boost::format("unknown option %s") % rest.front()).str());

    // The lists are read before the arguments are counted, so that a list
    // left out ("--frames 10.0.0.5 Dev.Status?") is named, not met with the usage.
    std::vector<std::uint64_t> frames;
    std::vector<std::uint64_t> exclude;
    std::shared_ptr<const Rig::Inventory> inventory;
    try {
        if (app.count("--frames") != 0)
            frames = Rig::parseFrameIdList(v.frames);
        if (app.count("--exclude") != 0)
            exclude = Rig::parseFrameIdList(v.exclude);
        if (app.count("--inventory") != 0)
            inventory = std::make_shared<const Rig::Inventory>(Rig::Inventory::load(v.inventory));
    } catch (const Rig::InputError& e) {
        result.kind = CommandLine::Kind::Error;
        result.text = std::string("kivcast: ") + e.what() + "\n";
        return result;
    }

    std::vector<std::string> positional{args[0]};
    if (!v.interfaceName.empty()) {
        std::string problem;
        const auto address = Rig::interfaceAddress(v.interfaceName, problem);
        if (!address) {
            result.kind = CommandLine::Kind::Error;
            result.text = "kivcast: " + problem;
            return result;
        }
        positional.push_back(*address);
    }
    positional.insert(positional.end(), rest.begin(), rest.end());
    std::vector<const char*> argv;
    for (const auto& a : positional)
        argv.push_back(a.c_str());
    const auto options = parseCommandLine(static_cast<int>(argv.size()), argv.data());
    if (!options)
        return result; // the usage branch

    result.options = *options;
    RunOptions& o = result.options;
    o.json = v.json;
    o.strict = v.strict;
    o.discoverSeconds = v.discover;
    o.failedPath = v.failed;
    o.framesGiven = app.count("--frames") != 0;
    o.frames = std::move(frames);
    o.exclude = std::move(exclude);
    o.inventory = std::move(inventory);
    if (o.framesGiven && o.targetFrameId != 0)
        return error("a frame ID before the message and --frames cannot be combined; put the ID in --frames");
    if (app.count("--failed") != 0 && o.failedPath.empty())
        return error("--failed needs a file name");
    result.kind = CommandLine::Kind::Run;
    return result;
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
        std::cerr << Rig::adapterListing();
    } catch (const Exception& e) {
        std::cerr << boost::format("%s\n") % e.message();
    }
    std::cerr.flush();
    return 1;
}
