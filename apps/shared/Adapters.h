#pragma once

// The host's network adapters as the programs list them, and the choice of
// one by the name that the listing prints.

#include <optional>
#include <string>

namespace Rig {

// "Network connections available:" and one entry per address ("%s:" with the
// adapter's description, then "   %16s  %16s  %17s" with the address, mask
// and MAC address, and an empty line), or "No network connections found.".
// Throws Network::FailedToEnumerateNetworkException.
std::string adapterListing();

// The IPv4 address of the adapter named `name`, or nothing with the reason
// in `problem`: no such adapter (the listing follows), or several addresses
// (listed, to be given as the address instead).
std::optional<std::string> interfaceAddress(const std::string& name, std::string& problem);

// Whether the text is the dotted IPv4 address of one of this computer's
// adapters (false too when the adapters cannot be listed): a program that
// could not bind to it says so.
bool isAddressOfThisComputer(const std::string& text);

// For a discovery on `address` that found no frame: where to look. The
// adapter listing and, on Windows, the firewall, which blocks the answers to
// a program it has not been allowed (`program`, such as "kivcast.exe").
std::string noFrameHint(const std::string& address, const std::string& program);

} // namespace Rig
