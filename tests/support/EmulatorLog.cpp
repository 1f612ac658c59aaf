#include "support/EmulatorLog.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string_view>
#include <thread>

namespace kivtest {

namespace {

// A value of a flat JSON object: a string, or the text of a number, true,
// false or null.
struct Value {
    bool isString = false;
    std::string text;
};

class FlatObjectReader {
public:
    explicit FlatObjectReader(std::string_view line) : s_(line) {}

    // Calls field(key, value) for every member, in order.
    template <class F>
    void read(F&& field)
    {
        skipSpace();
        expect('{');
        skipSpace();
        if (peek() == '}') {
            ++i_;
            return finish();
        }
        for (;;) {
            skipSpace();
            const std::string key = readString();
            skipSpace();
            expect(':');
            skipSpace();
            field(key, readValue());
            skipSpace();
            if (peek() == ',') {
                ++i_;
                continue;
            }
            expect('}');
            return finish();
        }
    }

private:
    char peek() const { return i_ < s_.size() ? s_[i_] : '\0'; }
    void skipSpace()
    {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\r'))
            ++i_;
    }
    [[noreturn]] void fail(const std::string& what) const
    {
        throw std::runtime_error(what + " at column " + std::to_string(i_ + 1));
    }
    void expect(char c)
    {
        if (peek() != c)
            fail(std::string("expected '") + c + "'");
        ++i_;
    }
    void finish()
    {
        skipSpace();
        if (i_ != s_.size())
            fail("text after the object");
    }
    std::string readString()
    {
        expect('"');
        std::string out;
        while (i_ < s_.size() && s_[i_] != '"') {
            char c = s_[i_++];
            if (c == '\\') {
                if (i_ >= s_.size())
                    fail("unfinished escape");
                const char e = s_[i_++];
                switch (e) {
                case 'n': c = '\n'; break;
                case 't': c = '\t'; break;
                case 'r': c = '\r'; break;
                case 'b': c = '\b'; break;
                case 'f': c = '\f'; break;
                case 'u': {
                    if (i_ + 4 > s_.size())
                        fail("short \\u escape");
                    const unsigned code = static_cast<unsigned>(std::stoul(std::string(s_.substr(i_, 4)), nullptr, 16));
                    i_ += 4;
                    if (code > 0x7F)
                        fail("non-ASCII \\u escape");
                    c = static_cast<char>(code);
                    break;
                }
                default: c = e; break; // \" \\ \/
                }
            }
            out += c;
        }
        expect('"');
        return out;
    }
    Value readValue()
    {
        if (peek() == '"')
            return Value{true, readString()};
        const std::size_t start = i_;
        while (i_ < s_.size() && s_[i_] != ',' && s_[i_] != '}' && s_[i_] != ' ')
            ++i_;
        if (i_ == start)
            fail("missing value");
        return Value{false, std::string(s_.substr(start, i_ - start))};
    }

    std::string_view s_;
    std::size_t i_ = 0;
};

long long integer(const std::string& key, const Value& v)
{
    std::size_t used = 0;
    const long long n = v.isString ? 0 : std::stoll(v.text, &used);
    if (v.isString || used != v.text.size())
        throw std::runtime_error("\"" + key + "\" is not an integer");
    return n;
}

LogEntry parseLine(const std::string& line)
{
    LogEntry e;
    FlatObjectReader(line).read([&e](const std::string& key, const Value& v) {
        if (key == "t_us") e.tUs = integer(key, v);
        else if (key == "dir") e.dir = v.text;
        else if (key == "frame") e.frame = v.text;
        else if (key == "address") e.address = v.text;
        else if (key == "local") e.local = v.text;
        else if (key == "hex") e.hex = v.text;
        else if (key == "event") e.event = v.text;
        else if (key == "port") e.port = static_cast<int>(integer(key, v));
        else if (key == "local_port") e.localPort = static_cast<int>(integer(key, v));
        else if (key == "cmd") e.cmd = static_cast<long>(integer(key, v));
        else if (key == "seq") e.seq = integer(key, v);
        else if (key == "len") e.len = static_cast<long>(integer(key, v));
        else if (key == "checksum_ok") e.checksumOk = v.text == "true";
    });
    return e;
}

} // namespace

std::vector<unsigned char> LogEntry::bytes() const
{
    std::vector<unsigned char> out;
    out.reserve(hex.size() / 2);
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::vector<LogEntry> readEmulatorLog(const std::string& path)
{
    const std::string text = readFile(path);
    std::vector<LogEntry> entries;
    std::size_t start = 0;
    std::size_t number = 1;
    for (;;) {
        const auto end = text.find('\n', start);
        if (end == std::string::npos)
            break;
        const std::string line = text.substr(start, end - start);
        try {
            entries.push_back(parseLine(line));
        } catch (const std::exception& error) {
            throw std::runtime_error(path + " line " + std::to_string(number) + ": " + error.what());
        }
        start = end + 1;
        ++number;
    }
    return entries;
}

Emulator::Emulator(std::vector<std::string> args)
    : logPath_(tempPath("kivframe-log")), readyPath_(tempPath("kivframe-ready"))
{
    args.insert(args.begin(), program("kivframe"));
    args.insert(args.end(), {"--log", logPath_, "--ready-file", readyPath_});
    process_ = std::make_unique<Background>(args);

    // The destructor does not run when the constructor throws: clean up here.
    const auto fail = [this](const std::string& message) {
        std::remove(logPath_.c_str());
        std::remove(readyPath_.c_str());
        throw std::runtime_error(message);
    };
    // kivframe writes its ready line into the (empty) ready file.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (readFile(readyPath_).empty()) {
        if (!process_->running()) {
            const ProcessResult result = process_->wait();
            fail("kivframe exited with " + std::to_string(result.exitCode) + " before it was ready: " + result.err);
        }
        if (std::chrono::steady_clock::now() >= deadline)
            fail("kivframe was not ready within 10 s: " + process_->stop().err);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

Emulator::~Emulator()
{
    process_.reset();
    std::remove(logPath_.c_str());
    std::remove(readyPath_.c_str());
}

ProcessResult Emulator::stop() { return process_->stop(); }

std::vector<LogEntry> Emulator::log() const { return readEmulatorLog(logPath_); }

} // namespace kivtest
