#pragma once

// The emulator's JSON-lines log: a start line, one line per datagram received
// or sent, a stop line. Lines are buffered and written out when the buffer
// fills, when the owner calls flush (at least every 100 ms) and at the end.

#include "apps/kivframe/OutputFile.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace KivFrame {

class JsonLog {
public:
    // One datagram as the log shows it.
    struct Datagram {
        bool sent = false;
        std::string_view frame;     // "%08x:%08x", "*" or "?"
        std::uint32_t peer = 0;     // host byte order
        std::uint16_t peerPort = 0;
        std::uint32_t local = 0;
        std::uint16_t localPort = 0;
        const char* bytes = nullptr;
        std::size_t size = 0;
    };

    // Creates or truncates the file. Throws std::runtime_error when it cannot.
    explicit JsonLog(const std::string& path);
    ~JsonLog();
    JsonLog(const JsonLog&) = delete;
    JsonLog& operator=(const JsonLog&) = delete;

    void start(std::int64_t tUs, std::size_t frames);
    // One of the frames that --faulty gave the faults to.
    void faulty(std::int64_t tUs, std::string_view frame, std::uint32_t address);
    void datagram(std::int64_t tUs, const Datagram& d);
    void stop(std::int64_t tUs);

    // True when lines wait in the buffer.
    bool pending() const { return !buffer_.empty(); }
    // Writes the buffer out. False (and error() set) when the file refused it.
    bool flush();
    const std::string& error() const { return file_.error(); }

private:
    void endLine();

    OutputFile file_;
    std::string buffer_;
};

} // namespace KivFrame
