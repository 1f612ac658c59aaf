#pragma once

#include "common/Exception.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace Network {

KIV_DECLARE_EXCEPTION(FailedToEnumerateNetworkException);

// One IPv4 address of one network adapter, as text.
struct NetworkAdapter {
    std::string ipAddress;   // dotted, e.g. 192.168.1.20
    std::string macAddress;  // six lower-case hex bytes joined by ':', e.g. 00:1a:2b:3c:4d:5e
    std::string subnetMask;  // dotted, e.g. 255.255.255.0
    std::string description; // the adapter's description (on Linux its interface name)

    bool operator==(const NetworkAdapter&) const = default;
};

// The first six bytes of a hardware address as "xx:xx:xx:xx:xx:xx"; missing
// bytes (a shorter address) read as 00.
std::string formatMacAddress(const std::uint8_t* bytes, std::size_t length);

// The host's adapters, one entry per IPv4 address: adapters in system order,
// addresses in adapter order. An adapter without an IPv4 address is listed
// once with address and mask 0.0.0.0. Every operation takes the mutex for its
// whole run, so any thread may call them.
class Enumerator {
public:
    Enumerator() = default;
    Enumerator(const Enumerator&) = delete;
    Enumerator& operator=(const Enumerator&) = delete;

    // Replaces the list with the system's current adapters. Throws
    // FailedToEnumerateNetworkException (file "Network/Enumerator"); the list
    // is then empty.
    void load();
    int count() const;
    // A copy of entry i, 0 <= i < count().
    NetworkAdapter adapter(int i) const;

private:
    mutable std::mutex mutex_;
    std::vector<NetworkAdapter> adapters_;
};

} // namespace Network
