#include "apps/kivcast/MeterData.h"
#include "apps/kivwatch/DashboardOptions.h"
#include "apps/kivwatch/WatchOptions.h"
#include "apps/shared/Adapters.h"
#include "apps/shared/FrameIds.h"
#include "apps/shared/LeadingOptions.h"
#include "common/Exception.h"

#include <CLI/CLI.hpp>
#include <boost/format.hpp>

#include <iostream>

namespace {

const char* const GRAMMAR = "kivwatch [--OPTION...] <network address> [-dynamic]\n";

WatchCommandLine error(const std::string& message)
{
    WatchCommandLine result;
    result.kind = WatchCommandLine::Kind::Error;
    result.text = "kivwatch: " + message + "\nkivwatch --help lists the options.\n";
    return result;
}

struct OptionValues {
    bool json = false;
    bool table = false;
    bool help = false;
    bool version = false;
    std::string meters;
    double every = 2.0;
    double duration = 0.0;
    std::string sort = "name";
    std::string color = "auto";
    std::string inventory;
    std::string interfaceName;
    std::string http;
    std::string httpToken;
    int httpClients = 32;
};

CLI::Validator secondsAtLeast(double least)
{
    return CLI::Validator(
        [least](const std::string& text) {
            try {
                std::size_t used = 0;
                const double value = std::stod(text, &used);
                if (used == text.size() && value >= least && value <= 86400.0 * 365)
                    return std::string();
            } catch (const std::exception&) {
            }
            return (boost::format("expected a number of seconds of at least %g, not \"%s\"") % least % text).str();
        },
        ""); // no description: the help shows the option's type name alone
}

void defineOptions(CLI::App& app, OptionValues& v)
{
    app.prefix_command();
    app.set_help_flag();
    app.add_flag("--json", v.json, "Standard output carries only JSON records, one object per line")
        ->disable_flag_override();
    app.add_flag("--table", v.table, "The live table even when standard output is not a terminal")
        ->disable_flag_override();
    app.add_option("--meters", v.meters, "Poll every present frame with this meter-data query (M?3, NM?, ...)")
        ->type_name("QUERY");
    app.add_option("--every", v.every, "Seconds from one poll round to the next, at least 0.2 (default 2)")
        ->type_name("SECONDS")
        ->check(secondsAtLeast(0.2));
    app.add_option("--duration", v.duration, "Stop after this many seconds (default: at Ctrl-C or SIGTERM)")
        ->type_name("SECONDS")
        ->check(secondsAtLeast(0.1));
    app.add_option("--sort", v.sort, "Table rows by inventory name (name, the default) or by frame ID (id)")
        ->type_name("ORDER")
        ->check(CLI::IsMember({"name", "id"}).description(""));
    app.add_option("--color", v.color, "Colour in the table: auto (default; off under NO_COLOR), always, never")
        ->type_name("WHEN")
        ->check(CLI::IsMember({"auto", "always", "never"}).description(""));
    app.add_option("--inventory", v.inventory, "The rig: a CSV file with the columns frame,name and optionally address")
        ->type_name("FILE");
    app.add_option("--interface", v.interfaceName,
                   "Bind to the adapter of this name (as the listing prints it) instead of an address")
        ->type_name("NAME");
    app.add_option("--http", v.http,
                   "Also serve the dashboard on this port; ADDRESS: is 127.0.0.1 unless given")
        ->type_name("ADDRESS:PORT");
    app.add_option("--http-token", v.httpToken,
                   "The dashboard's token, needed by every request; required beyond loopback")
        ->type_name("TOKEN");
    app.add_option("--http-clients", v.httpClients,
                   "Connections the dashboard serves at once, 1 to 1000 (default 32); the next one gets 503")
        ->type_name("N")
        ->check(CLI::Validator(
            [](const std::string& text) {
                const bool digits = !text.empty() && text.size() <= 4 &&
                                    text.find_first_not_of("0123456789") == std::string::npos;
                if (digits && std::stoi(text) >= 1 && std::stoi(text) <= 1000)
                    return std::string();
                return (boost::format("expected a number of connections from 1 to 1000, not \"%s\"") % text).str();
            },
            ""));
    app.add_flag("--help", v.help, "Print this help and exit")->disable_flag_override();
    app.add_flag("--version", v.version, "Print the version and exit")->disable_flag_override();
}

// One option of the help: its name and argument in a column of 22, the
// description beside it, wrapped to 80 columns.
std::string helpEntry(const std::string& name, const std::string& description)
{
    constexpr std::size_t WIDTH = 80;
    const std::string indent(25, ' ');
    std::string text;
    std::string line = (boost::format("  %-22s") % name).str();
    if (line.size() > indent.size() - 1) {
        text = line + "\n";
        line = indent.substr(1);
    }
    std::size_t start = 0;
    while (start < description.size()) {
        std::size_t end = description.find(' ', start);
        if (end == std::string::npos)
            end = description.size();
        const std::string word = description.substr(start, end - start);
        if (line.size() > indent.size() && line.size() + 1 + word.size() > WIDTH) {
            text += line + "\n";
            line = indent.substr(1);
        }
        line += " " + word;
        start = end + 1;
    }
    return text + line + "\n";
}

std::string helpText(const CLI::App& app)
{
    std::string text = std::string("Usage: ") + GRAMMAR +
                       "\nWatches the frames on the network of <network address>: frames found (+),\n"
                       "lost after 10 s of silence (-) and changed (~), and with --meters their meters,\n"
                       "polled every --every seconds. A live table on a terminal, time-stamped lines on\n"
                       "a pipe, JSON lines with --json. Runs until Ctrl-C or SIGTERM.\n\nOptions:\n";
    for (const CLI::Option* option : app.get_options()) {
        std::string name = option->get_name();
        if (option->get_type_size() != 0)
            name += " " + option->get_type_name();
        text += helpEntry(name, option->get_description());
    }
    // Not an option of the parser: it follows the address.
    text += helpEntry("-dynamic", "After the address: let the system choose the local port and address the "
                                  "frames on port 6016");
    return text;
}

} // namespace

WatchCommandLine readWatchCommandLine(const std::vector<std::string>& args)
{
    WatchCommandLine result;
    if (const auto misread = Rig::misreadOption(args, {"--json", "--table", "--help", "--version"}, {}))
        return error(*misread);

    CLI::App app("kivwatch", "kivwatch");
    OptionValues v;
    defineOptions(app, v);
    std::vector<std::string> rest;
    try {
        rest = Rig::parseLeadingOptions(app, args);
    } catch (const CLI::ParseError& e) {
        return error(e.what());
    }
    if (v.help) {
        result.kind = WatchCommandLine::Kind::Help;
        result.text = helpText(app);
        return result;
    }
    if (v.version) {
        result.kind = WatchCommandLine::Kind::Version;
        result.text = std::string("kivwatch ") + KIV_VERSION + "\n";
        return result;
    }
    if (!rest.empty() && rest.front().rfind("--", 0) == 0)
        return error((boost::format("unknown option '%s'") % rest.front().substr(0, rest.front().find('='))).str());

    WatchOptions& o = result.options;
    if (!v.interfaceName.empty()) {
        std::string problem;
        const auto address = Rig::interfaceAddress(v.interfaceName, problem);
        if (!address) {
            result.kind = WatchCommandLine::Kind::Error;
            result.text = "kivwatch: " + problem;
            return result;
        }
        rest.insert(rest.begin(), *address);
    }
    if (rest.empty())
        return result; // the usage branch
    o.networkAddress = rest[0];
    std::size_t next = 1;
    if (next < rest.size() && rest[next] == "-dynamic") {
        o.dynamicPorts = true;
        ++next;
    }
    if (next < rest.size())
        return error((boost::format("unexpected argument \"%s\" after the address; options go before it") %
                      rest[next])
                         .str());

    if (v.json && v.table)
        return error("--json and --table cannot be combined");
    o.output = v.json ? WatchOptions::Output::Json : v.table ? WatchOptions::Output::Table : WatchOptions::Output::Auto;
    if (app.count("--meters") != 0) {
        if (meterDataVersion(v.meters) == 0)
            return error((boost::format("--meters \"%s\" is not a meter-data query (M?, M?2, M?3, NM?, "
                                        "Dev.MD.FullBin?...)") %
                          v.meters)
                             .str());
        o.meters = v.meters;
    }
    if (app.count("--every") != 0 && o.meters.empty())
        return error("--every sets the period of --meters; give --meters too");
    o.everySeconds = v.every;
    if (app.count("--duration") != 0)
        o.durationSeconds = v.duration;
    o.sort = v.sort == "id" ? WatchOptions::Sort::Id : WatchOptions::Sort::Name;
    o.color = v.color == "always"   ? WatchOptions::Color::Always
              : v.color == "never" ? WatchOptions::Color::Never
                                   : WatchOptions::Color::Auto;
    if (app.count("--http") != 0) {
        if (const std::string problem = readHttpOptions(v.http, v.httpToken, o); !problem.empty())
            return error(problem);
        o.httpClients = v.httpClients;
    } else if (app.count("--http-token") != 0 || app.count("--http-clients") != 0) {
        return error("--http-token and --http-clients are settings of --http; give --http too");
    }
    try {
        if (app.count("--inventory") != 0)
            o.inventory = std::make_shared<const Rig::Inventory>(Rig::Inventory::load(v.inventory));
    } catch (const Rig::InputError& e) {
        result = WatchCommandLine{};
        result.kind = WatchCommandLine::Kind::Error;
        result.text = std::string("kivwatch: ") + e.what() + "\n";
        return result;
    }
    result.kind = WatchCommandLine::Kind::Run;
    return result;
}

int printWatchUsage()
{
    std::cerr << "Usage: " << GRAMMAR << "kivwatch --help lists the options.\n\n";
    try {
        std::cerr << Rig::adapterListing();
    } catch (const Exception& e) {
        std::cerr << e.message() << "\n";
    }
    std::cerr.flush();
    return 1;
}
