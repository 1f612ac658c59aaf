#pragma once

// tshark with the KIV dissector: the fields it prints for every packet of a
// capture file or of a live capture on loopback. Any thread.

#include "support/Process.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kivtest {

// One packet as tshark printed it: every value of every field, in the order of
// the dissection tree (so for a command-5 message the outer header comes
// first, then the inner message, then the outer checksum word).
struct Packet {
    std::map<std::string, std::vector<std::string>> fields;

    const std::vector<std::string>& all(const std::string& name) const;
    std::optional<std::string> first(const std::string& name) const;
    std::optional<std::string> last(const std::string& name) const;
};

// The command line that makes tshark load the dissector and print the fields
// that Packet holds, tab-separated, one line per packet.
std::vector<std::string> tsharkFieldArguments();

// Parses that output.
std::vector<Packet> parseTsharkFields(const std::string& out);

// Standard error of tshark without the lines it prints in every run: the
// warning when it runs as root, and a live capture's progress lines.
std::string unexpectedTsharkErrors(const std::string& err);

struct Dissection {
    std::vector<Packet> packets;
    ProcessResult run;
};

// Decodes a capture file. The IP and UDP checksums are verified too.
Dissection dissectCapture(const std::string& path);

// tshark decoding UDP on loopback as it arrives, its lines written out as each
// packet is decoded.
class LiveCapture {
public:
    LiveCapture();
    ~LiveCapture();
    LiveCapture(const LiveCapture&) = delete;
    LiveCapture& operator=(const LiveCapture&) = delete;

    // The packets decoded so far.
    std::vector<Packet> packets() const;
    // Ends the capture (SIGTERM) and returns tshark's exit and output.
    ProcessResult stop();

private:
    std::string outPath_;
    std::unique_ptr<Background> process_;
};

} // namespace kivtest
