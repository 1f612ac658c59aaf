#include "apps/shared/Adapters.h"

#include "Network/Enumerator.h"
#include "common/Exception.h"

#include <boost/asio/ip/address_v4.hpp>
#include <boost/format.hpp>

#include <vector>

namespace Rig {

std::string adapterListing()
{
    Network::Enumerator enumerator;
    enumerator.load();
    const int count = enumerator.count();
    if (count == 0)
        return "No network connections found.\n";
    std::string text = "Network connections available:\n";
    for (int i = 0; i < count; ++i) {
        const Network::NetworkAdapter adapter = enumerator.adapter(i);
        text += (boost::format("%s:\n") % adapter.description).str();
        text += (boost::format("   %16s  %16s  %17s\n\n") % adapter.ipAddress % adapter.subnetMask % adapter.macAddress)
                    .str();
    }
    return text;
}

std::optional<std::string> interfaceAddress(const std::string& name, std::string& problem)
{
    Network::Enumerator enumerator;
    try {
        enumerator.load();
    } catch (const Exception& e) {
        problem = e.message() + "\n";
        return std::nullopt;
    }
    std::vector<Network::NetworkAdapter> matches;
    for (int i = 0; i < enumerator.count(); ++i) {
        const Network::NetworkAdapter adapter = enumerator.adapter(i);
        if (adapter.description == name && adapter.ipAddress != "0.0.0.0")
            matches.push_back(adapter);
    }
    if (matches.size() == 1)
        return matches.front().ipAddress;
    if (matches.empty()) {
        problem = (boost::format("no network adapter with an IPv4 address is named \"%s\"\n") % name).str();
        try {
            problem += adapterListing();
        } catch (const Exception& e) {
            problem += e.message() + "\n";
        }
        return std::nullopt;
    }
    problem = (boost::format("the adapter \"%s\" has %u IPv4 addresses; give the one to use as the address:\n") %
               name % matches.size())
                  .str();
    for (const auto& adapter : matches)
        problem += "   " + adapter.ipAddress + "\n";
    return std::nullopt;
}

bool isAddressOfThisComputer(const std::string& text)
{
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address_v4(text, error);
    if (error)
        return false;
    try {
        Network::Enumerator enumerator;
        enumerator.load();
        for (int i = 0; i < enumerator.count(); ++i) {
            const auto held = boost::asio::ip::make_address_v4(enumerator.adapter(i).ipAddress, error);
            if (!error && held == address)
                return true;
        }
    } catch (const Exception&) {
    }
    return false;
}

std::string noFrameHint(const std::string& address, const std::string& program)
{
    std::string hint = (boost::format("No frame answered the discovery on %s. Is it the address of the adapter on "
                                      "the frames' network?\n") %
                        address)
                           .str();
    try {
        hint += adapterListing();
    } catch (const Exception& e) {
        hint += e.message() + "\n";
    }
#ifdef _WIN32
    hint += (boost::format("Windows Defender Firewall may block the frames' answers (UDP port 6004) to a program it "
                           "has not been allowed: allow %s on the network of the frames.\n") %
             program)
                .str();
#else
    (void)program;
#endif
    return hint;
}

} // namespace Rig
