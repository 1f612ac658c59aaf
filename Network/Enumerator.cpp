#include "Network/Enumerator.h"

#include <algorithm>
#include <cstdio>

#ifdef _WIN32
#include <winsock2.h>
#include <iphlpapi.h>
#else
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <memory>
#endif

namespace Network {

namespace {
const char* const sourceFile = "Network/Enumerator";
} // namespace

std::string formatMacAddress(const std::uint8_t* bytes, std::size_t length)
{
    char text[6 * 3];
    for (std::size_t i = 0; i < 6; ++i) {
        const unsigned value = i < length ? bytes[i] : 0U;
        std::snprintf(text + 3 * i, sizeof text - 3 * i, i < 5 ? "%02x:" : "%02x", value);
    }
    return std::string(text, 17);
}

namespace {

#ifdef _WIN32

// Tries of the list call: an adapter that appears between the size query and
// the call (a VPN connecting) makes it answer ERROR_BUFFER_OVERFLOW with the
// new size, and the call is made again with that.
constexpr int ADAPTER_LIST_TRIES = 4;

std::vector<NetworkAdapter> systemAdapters()
{
    ULONG size = 0;
    const ULONG sizeQuery = GetAdaptersInfo(nullptr, &size);
    // A host without adapters (loopback is not one) answers the size query so.
    if (sizeQuery == ERROR_NO_DATA)
        return {};
    if (sizeQuery != ERROR_BUFFER_OVERFLOW)
        throw FailedToEnumerateNetworkException(sourceFile, 80, "Failed to get network adapters size info");
    std::vector<unsigned char> buffer;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < ADAPTER_LIST_TRIES && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.assign(size, 0);
        result = GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data()), &size);
    }
    // The adapters went away in between.
    if (result == ERROR_NO_DATA)
        return {};
    if (result == ERROR_BUFFER_OVERFLOW)
        throw FailedToEnumerateNetworkException(sourceFile, 86,
                                                "GetAdaptersInfo - the network adapters kept changing; try again");
    if (result != NO_ERROR)
        throw FailedToEnumerateNetworkException(sourceFile, 86, "GetAdaptersInfo - Failed to get network adapters info");
    const auto* info = reinterpret_cast<const IP_ADAPTER_INFO*>(buffer.data());

    std::vector<NetworkAdapter> adapters;
    for (const IP_ADAPTER_INFO* a = info; a != nullptr; a = a->Next)
        for (const IP_ADDR_STRING* ip = &a->IpAddressList; ip != nullptr; ip = ip->Next)
            adapters.push_back({ip->IpAddress.String, formatMacAddress(a->Address, 6), ip->IpMask.String,
                                a->Description});
    return adapters;
}

#else

// One IPv4 address of an interface.
struct Address {
    std::uint32_t value = 0; // host byte order
    std::string text;
    std::string mask;
};

// One network interface as getifaddrs reports it, gathered across its entries.
struct Interface {
    std::string name;
    unsigned index = 0;
    std::string macAddress = formatMacAddress(nullptr, 0);
    std::vector<Address> addresses;
};

std::string dotted(const sockaddr* address)
{
    if (address == nullptr || address->sa_family != AF_INET)
        return "0.0.0.0";
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    return text;
}

// The interface an entry belongs to. IPv4 entries carry the address label,
// which for an alias reads "eth0:1"; it belongs to eth0.
Interface& interfaceOf(std::vector<Interface>& interfaces, const std::string& entryName)
{
    const auto named = [&interfaces](const std::string& name) {
        return std::find_if(interfaces.begin(), interfaces.end(),
                            [&name](const Interface& i) { return i.name == name; });
    };
    auto it = named(entryName);
    const auto colon = entryName.find(':');
    if (it == interfaces.end() && colon != std::string::npos)
        it = named(entryName.substr(0, colon));
    if (it != interfaces.end())
        return *it;
    const std::string name = colon != std::string::npos ? entryName.substr(0, colon) : entryName;
    interfaces.push_back({name, if_nametoindex(name.c_str()), formatMacAddress(nullptr, 0), {}});
    return interfaces.back();
}

// The interfaces in index order, each with its IPv4 addresses in system
// order. False when the system cannot list them.
bool systemInterfaces(std::vector<Interface>& interfaces)
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    const std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owner(list, freeifaddrs);

    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_name == nullptr)
            continue;
        Interface& interface = interfaceOf(interfaces, entry->ifa_name);
        if (entry->ifa_addr == nullptr)
            continue;
        if (entry->ifa_addr->sa_family == AF_PACKET) {
            const auto* link = reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr);
            interface.index = static_cast<unsigned>(link->sll_ifindex);
            interface.macAddress = formatMacAddress(link->sll_addr, link->sll_halen);
        } else if (entry->ifa_addr->sa_family == AF_INET) {
            const auto* ip = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
            interface.addresses.push_back(
                {ntohl(ip->sin_addr.s_addr), dotted(entry->ifa_addr), dotted(entry->ifa_netmask)});
        }
    }
    std::stable_sort(interfaces.begin(), interfaces.end(),
                     [](const Interface& a, const Interface& b) { return a.index < b.index; });
    return true;
}

std::vector<NetworkAdapter> systemAdapters()
{
    std::vector<Interface> interfaces;
    if (!systemInterfaces(interfaces))
        throw FailedToEnumerateNetworkException(sourceFile, 86, "GetAdaptersInfo - Failed to get network adapters info");

    std::vector<NetworkAdapter> adapters;
    for (const Interface& interface : interfaces) {
        // Listed once even without an address, as the Windows call reports such adapters.
        if (interface.addresses.empty())
            adapters.push_back({"0.0.0.0", interface.macAddress, "0.0.0.0", interface.name});
        for (const Address& address : interface.addresses)
            adapters.push_back({address.text, interface.macAddress, address.mask, interface.name});
    }
    return adapters;
}

#endif

} // namespace

void Enumerator::load()
{
    std::lock_guard<std::mutex> lock(mutex_);
    adapters_.clear();
    adapters_ = systemAdapters();
}

int Enumerator::count() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(adapters_.size());
}

NetworkAdapter Enumerator::adapter(int i) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return adapters_.at(static_cast<std::size_t>(i));
}

} // namespace Network
