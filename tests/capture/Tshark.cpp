#include "Tshark.h"

#include <cstdio>

#ifndef KIV_DISSECTOR
#error "KIV_DISSECTOR must name the dissector's source file"
#endif

namespace kivtest {

namespace {

// Joins the occurrences of one field; no value the tests use contains it.
constexpr char AGGREGATOR = '|';

const std::vector<std::string>& fieldNames()
{
    static const std::vector<std::string> names = {
        "frame.number", "ip.src", "udp.srcport", "ip.dst", "udp.dstport", "udp.payload",
        "ip.checksum.status", "udp.checksum.status", "_ws.col.Info", "_ws.lua.error", "_ws.expert.message",
        "kiv.src", "kiv.dst", "kiv.src_node", "kiv.src_node.type", "kiv.src_node.flag", "kiv.dst_node",
        "kiv.length", "kiv.cmd", "kiv.seq", "kiv.checksum", "kiv.checksum.status", "kiv.trailing",
        "kiv.truncated", "kiv.checksum.bad", "kiv.ack.status", "kiv.ack.success", "kiv.bid.reply",
        "kiv.bid.change_stamp", "kiv.bid.flags", "kiv.bid.state", "kiv.bid.device_type", "kiv.bid.word80",
        "kiv.ext.count", "kiv.text", "kiv.meter.version", "kiv.meter.record_length",
        "kiv.meter.general_status",
    };
    return names;
}

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    for (;;) {
        const auto end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

} // namespace

const std::vector<std::string>& Packet::all(const std::string& name) const
{
    static const std::vector<std::string> none;
    const auto it = fields.find(name);
    return it == fields.end() ? none : it->second;
}

std::optional<std::string> Packet::first(const std::string& name) const
{
    const auto& values = all(name);
    return values.empty() ? std::nullopt : std::optional<std::string>(values.front());
}

std::optional<std::string> Packet::last(const std::string& name) const
{
    const auto& values = all(name);
    return values.empty() ? std::nullopt : std::optional<std::string>(values.back());
}

std::vector<std::string> tsharkFieldArguments()
{
    std::vector<std::string> args = {"-X", std::string("lua_script:") + KIV_DISSECTOR, "-T", "fields",
                                     "-E", "separator=/t", "-E", std::string("aggregator=") + AGGREGATOR};
    for (const auto& name : fieldNames()) {
        args.push_back("-e");
        args.push_back(name);
    }
    return args;
}

std::vector<Packet> parseTsharkFields(const std::string& out)
{
    std::vector<Packet> packets;
    for (const auto& line : lines(out)) {
        const auto values = split(line, '\t');
        if (values.size() != fieldNames().size())
            continue; // a line still being written
        Packet packet;
        for (std::size_t i = 0; i < values.size(); ++i)
            if (!values[i].empty())
                packet.fields[fieldNames()[i]] = split(values[i], AGGREGATOR);
        packets.push_back(std::move(packet));
    }
    return packets;
}

std::string unexpectedTsharkErrors(const std::string& err)
{
    std::string rest;
    for (const auto& line : lines(err)) {
        const bool progress = line.rfind("Capturing on ", 0) == 0 || line == "tshark: " ||
                              line.find("[Main MESSAGE] -- Capture started.") != std::string::npos ||
                              line.find("[Main MESSAGE] -- File: ") != std::string::npos ||
                              line.find(" packets captured") != std::string::npos ||
                              line.find(" packet captured") != std::string::npos;
        if (progress || line.rfind("Running as user \"root\"", 0) == 0)
            continue;
        rest += line + "\n";
    }
    return rest;
}

Dissection dissectCapture(const std::string& path)
{
    std::vector<std::string> argv = {"/usr/bin/env", "tshark", "-n", "-r", path, "-o", "ip.check_checksum:TRUE",
                                     "-o", "udp.check_checksum:TRUE"};
    const auto fields = tsharkFieldArguments();
    argv.insert(argv.end(), fields.begin(), fields.end());
    Dissection d;
    d.run = run(argv, std::chrono::seconds(120));
    d.packets = parseTsharkFields(d.run.out);
    return d;
}

LiveCapture::LiveCapture() : outPath_(tempPath("tshark-live"))
{
    // Through sh, so the output goes to a file the test can read while tshark runs.
    std::vector<std::string> argv = {"/bin/sh", "-c", "out=$1; shift; exec \"$@\" >\"$out\"", "sh", outPath_,
                                     "/usr/bin/env", "tshark", "-n", "-l", "-i", "lo", "-f", "udp"};
    const auto fields = tsharkFieldArguments();
    argv.insert(argv.end(), fields.begin(), fields.end());
    process_ = std::make_unique<Background>(argv);
}

LiveCapture::~LiveCapture()
{
    process_.reset();
    std::remove(outPath_.c_str());
}

std::vector<Packet> LiveCapture::packets() const
{
    return parseTsharkFields(readFile(outPath_));
}

ProcessResult LiveCapture::stop()
{
    ProcessResult result = process_->stop(std::chrono::seconds(10));
    result.out = readFile(outPath_);
    return result;
}

} // namespace kivtest
