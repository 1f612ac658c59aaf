#include "apps/kivframe/JsonLog.h"

#include "Morv/Wire.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

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

JsonLog::JsonLog(const std::string& path) : path_(path)
{
    fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0)
        throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    buffer_.reserve(FLUSH_THRESHOLD + 64 * 1024);
}

JsonLog::~JsonLog()
{
    flush();
    close(fd_);
}

void JsonLog::start(std::int64_t tUs, std::size_t frames)
{
    buffer_ += "{\"t_us\":" + std::to_string(tUs) + ",\"event\":\"start\",\"frames\":" + std::to_string(frames) + "}";
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
    if (!error_.empty()) {
        buffer_.clear();
        return false;
    }
    std::size_t written = 0;
    while (written < buffer_.size()) {
        const ssize_t n = write(fd_, buffer_.data() + written, buffer_.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error_ = "cannot write the log " + path_ + ": " + std::strerror(n < 0 ? errno : EIO);
            buffer_.clear();
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    buffer_.clear();
    return true;
}

} // namespace KivFrame
