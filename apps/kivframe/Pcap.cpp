#include "apps/kivframe/Pcap.h"

#include <chrono>
#include <stdexcept>

namespace KivFrame {

namespace {

constexpr std::uint32_t PCAP_MAGIC = 0xA1B2C3D4; // microsecond time stamps
constexpr std::uint16_t PCAP_VERSION_MAJOR = 2;
constexpr std::uint16_t PCAP_VERSION_MINOR = 4;
constexpr std::uint32_t SNAPLEN = 65535;
constexpr std::uint32_t LINKTYPE_RAW = 101; // records begin with the IPv4 header

constexpr std::size_t IPV4_HEADER_SIZE = 20;
constexpr std::size_t UDP_HEADER_SIZE = 8;
constexpr std::uint8_t IP_TTL = 64;
constexpr std::uint8_t IPPROTO_UDP_NUMBER = 17;

// The file's own fields are little-endian (the magic number tells readers so).
void putLe16(std::vector<unsigned char>& out, std::uint16_t v)
{
    out.push_back(static_cast<unsigned char>(v));
    out.push_back(static_cast<unsigned char>(v >> 8));
}

void putLe32(std::vector<unsigned char>& out, std::uint32_t v)
{
    putLe16(out, static_cast<std::uint16_t>(v));
    putLe16(out, static_cast<std::uint16_t>(v >> 16));
}

// IP and UDP fields are in network byte order.
void putBe16(std::vector<unsigned char>& out, std::uint16_t v)
{
    out.push_back(static_cast<unsigned char>(v >> 8));
    out.push_back(static_cast<unsigned char>(v));
}

void putBe32(std::vector<unsigned char>& out, std::uint32_t v)
{
    putBe16(out, static_cast<std::uint16_t>(v >> 16));
    putBe16(out, static_cast<std::uint16_t>(v));
}

void setBe16(std::vector<unsigned char>& out, std::size_t offset, std::uint16_t v)
{
    out[offset] = static_cast<unsigned char>(v >> 8);
    out[offset + 1] = static_cast<unsigned char>(v);
}

// The Internet checksum's running sum of 16-bit big-endian words.
std::uint32_t sumWords(const unsigned char* bytes, std::size_t size, std::uint32_t sum = 0)
{
    for (std::size_t i = 0; i + 1 < size; i += 2)
        sum += static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
    if (size % 2 != 0)
        sum += static_cast<std::uint32_t>(bytes[size - 1] << 8);
    return sum;
}

std::uint16_t foldChecksum(std::uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

} // namespace

PcapWriter::PcapWriter(const std::string& path) : file_(path, "capture")
{
    std::vector<unsigned char> header;
    putLe32(header, PCAP_MAGIC);
    putLe16(header, PCAP_VERSION_MAJOR);
    putLe16(header, PCAP_VERSION_MINOR);
    putLe32(header, 0); // time zone: UTC
    putLe32(header, 0); // time stamp accuracy
    putLe32(header, SNAPLEN);
    putLe32(header, LINKTYPE_RAW);
    if (!file_.write(header.data(), header.size()))
        throw std::runtime_error(file_.error());
}

void PcapWriter::datagram(std::uint32_t source, std::uint16_t sourcePort, std::uint32_t destination,
                          std::uint16_t destinationPort, const char* bytes, std::size_t size)
{
    if (!ok())
        return;
    // An IPv4 datagram holds at most 65535 bytes; a longer one (never seen on
    // an IPv4 socket) is recorded cut, with its true length.
    const std::size_t wire = IPV4_HEADER_SIZE + UDP_HEADER_SIZE + size;
    const std::size_t kept = wire > SNAPLEN ? SNAPLEN : wire;
    const std::size_t payload = kept - IPV4_HEADER_SIZE - UDP_HEADER_SIZE;

    const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    record_.clear();
    putLe32(record_, static_cast<std::uint32_t>(now / 1000000));
    putLe32(record_, static_cast<std::uint32_t>(now % 1000000));
    putLe32(record_, static_cast<std::uint32_t>(kept));
    putLe32(record_, static_cast<std::uint32_t>(wire));

    const std::size_t ip = record_.size();
    record_.push_back(0x45); // version 4, 5-word header
    record_.push_back(0);    // type of service
    putBe16(record_, static_cast<std::uint16_t>(kept));
    putBe16(record_, ipId_++);
    putBe16(record_, 0); // no fragments
    record_.push_back(IP_TTL);
    record_.push_back(IPPROTO_UDP_NUMBER);
    putBe16(record_, 0); // header checksum, below
    putBe32(record_, source);
    putBe32(record_, destination);
    setBe16(record_, ip + 10, foldChecksum(sumWords(record_.data() + ip, IPV4_HEADER_SIZE)));

    const std::size_t udp = record_.size();
    const auto udpLength = static_cast<std::uint16_t>(UDP_HEADER_SIZE + payload);
    putBe16(record_, sourcePort);
    putBe16(record_, destinationPort);
    putBe16(record_, udpLength);
    putBe16(record_, 0); // checksum, below
    record_.insert(record_.end(), bytes, bytes + payload);

    // UDP checksum over the pseudo header (addresses, protocol, length) and the
    // UDP header and payload; 0 is sent as 0xffff.
    std::uint32_t sum = sumWords(record_.data() + ip + 12, 8);
    sum += IPPROTO_UDP_NUMBER;
    sum += udpLength;
    std::uint16_t checksum = foldChecksum(sumWords(record_.data() + udp, UDP_HEADER_SIZE + payload, sum));
    if (checksum == 0)
        checksum = 0xFFFF;
    setBe16(record_, udp + 6, checksum);

    file_.write(record_.data(), record_.size());
}

} // namespace KivFrame
