#pragma once

// A capture of the datagrams the emulator receives and sends, as a classic
// pcap file with the raw-IPv4 link type: each record holds an IPv4 and a UDP
// header made from the datagram's real addresses and ports, then the datagram,
// so Wireshark and tshark open it as the traffic seen on loopback. Each record
// is written out at once, so the file is complete up to the last datagram
// whenever it is read. Used by the emulator's thread only.

#include "apps/kivframe/OutputFile.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace KivFrame {

class PcapWriter {
public:
    // Creates or truncates the file and writes the file header. Throws
    // std::runtime_error when it cannot.
    explicit PcapWriter(const std::string& path);

    // Records one datagram, stamped with the current wall-clock time.
    // Addresses are in host byte order. After a failed write nothing more is
    // written and error() says why.
    void datagram(std::uint32_t source, std::uint16_t sourcePort, std::uint32_t destination,
                  std::uint16_t destinationPort, const char* bytes, std::size_t size);

    bool ok() const { return file_.ok(); }
    const std::string& error() const { return file_.error(); }

private:
    OutputFile file_;
    std::uint16_t ipId_ = 0;
    std::vector<unsigned char> record_;
};

} // namespace KivFrame
