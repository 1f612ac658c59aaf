#include "apps/kivframe/JsonLog.h"

#include "Morv/Wire.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>

namespace KivFrame {

namespace {

// Written out early once this much is buffered, so memory stays bounded.
constexpr std::size_t FLUSH_THRESHOLD = 1 << 20;

void appendAddress(std::string& out, std::uint32_t address)
{
    char text[INET_ADDRSTRLEN];
    const in_addr a{htonl(address)};
    inet_ntop(AF_INET, &a, text, sizeof text);
    out += text;
}

void appendHex(std::string& out, const char* bytes, std::size_t size)
{
    static const char digits[] = "0123456789abcdef";
    const std::size_t start = out.size();
    out.resize(start + 2 * size);
    for (std::size_t i = 0; i < size; ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        out[start + 2 * i] = digits[b >> 4];
        out[start + 2 * i + 1] = digits[b & 0x0F];
    }
}

} // namespace

JsonLog::JsonLog(const std::string& path) : file_(path, "log")
{
    buffer_.reserve(FLUSH_THRESHOLD + 64 * 1024);
}

JsonLog::~JsonLog()
{
    flush();
}

void JsonLog::start(std::int64_t tUs, std::size_t frames)
{
    buffer_ += "{\"t_us\":" + std::to_string(tUs) + ",\"event\":\"start\",\"frames\":" + std::to_string(frames) + "}";
    endLine();
}

void JsonLog::faulty(std::int64_t tUs, std::string_view frame, std::uint32_t address)
{
    buffer_ += "{\"t_us\":" + std::to_string(tUs) + ",\"event\":\"faulty\",\"frame\":\"";
    buffer_ += frame;
    buffer_ += "\",\"address\":\"";
    appendAddress(buffer_, address);
    buffer_ += "\"}";
    endLine();
}

void JsonLog::stop(std::int64_t tUs)
{
    buffer_ += "{\"t_us\":" + std::to_string(tUs) + ",\"event\":\"stop\"}";
    endLine();
}

void JsonLog::datagram(std::int64_t tUs, const Datagram& d)
{
    long command = -1;
    long long sequence = -1;
    if (const auto header = Morv::parseHeader(d.bytes, d.size)) {
        command = header->command;
        sequence = header->sequence;
    }
    char fields[160];
    std::snprintf(fields, sizeof fields, "{\"t_us\":%lld,\"dir\":\"%s\",\"frame\":\"", static_cast<long long>(tUs),
                  d.sent ? "tx" : "rx");
    buffer_ += fields;
    buffer_ += d.frame;
    buffer_ += "\",\"address\":\"";
    appendAddress(buffer_, d.peer);
    std::snprintf(fields, sizeof fields, "\",\"port\":%u,\"local\":\"", static_cast<unsigned>(d.peerPort));
    buffer_ += fields;
    appendAddress(buffer_, d.local);
    std::snprintf(fields, sizeof fields,
                  "\",\"local_port\":%u,\"cmd\":%ld,\"seq\":%lld,\"len\":%zu,\"checksum_ok\":%s,\"hex\":\"",
                  static_cast<unsigned>(d.localPort), command, sequence, d.size,
                  Morv::checksumValid(d.bytes, d.size) ? "true" : "false");
    buffer_ += fields;
    appendHex(buffer_, d.bytes, d.size);
    buffer_ += "\"}";
    endLine();
}

void JsonLog::endLine()
{
    buffer_ += '\n';
    if (buffer_.size() >= FLUSH_THRESHOLD)
        flush();
}

bool JsonLog::flush()
{
    const bool written = file_.write(buffer_.data(), buffer_.size());
    buffer_.clear();
    return written;
}

} // namespace KivFrame
