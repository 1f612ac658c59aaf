#include "apps/kivprobe/Output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

namespace Probe {

namespace {

struct Stream {
    std::FILE* file;
    const char* name;
    std::optional<std::string> failure; // the system's reason for the first failure
};

Stream out{stdout, "standard output", std::nullopt};
Stream err{stderr, "standard error", std::nullopt};

void write(Stream& stream, const std::string& text)
{
    if (stream.failure)
        return;
    errno = 0;
    const bool written = std::fwrite(text.data(), 1, text.size(), stream.file) == text.size() &&
                         std::fflush(stream.file) == 0;
    if (!written)
        stream.failure = errno != 0 ? std::strerror(errno) : "write error";
}

void report(const Stream& failed, Stream& other)
{
    if (failed.failure)
        write(other, std::string("kivprobe: cannot write to ") + failed.name + ": " + *failed.failure + "\n");
}

} // namespace

void print(const std::string& text) { write(out, text); }

void printError(const std::string& text) { write(err, text); }

bool reportOutputFailures()
{
    const bool failed = out.failure || err.failure;
    report(out, err);
    report(err, out);
    return failed;
}

} // namespace Probe
