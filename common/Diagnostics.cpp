#include "common/Diagnostics.h"

#include <cstdio>
#include <mutex>
#include <shared_mutex>
#include <utility>

namespace Diagnostics {

namespace {
std::shared_mutex sinkMutex;
Sink currentSink; // guarded by sinkMutex; empty: standard error
} // namespace

void report(const std::string& line)
{
    std::shared_lock<std::shared_mutex> lock(sinkMutex);
    if (currentSink) {
        currentSink(line);
        return;
    }
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

Route::Route(Sink sink)
{
    std::unique_lock<std::shared_mutex> lock(sinkMutex);
    currentSink = std::move(sink);
}

Route::~Route()
{
    std::unique_lock<std::shared_mutex> lock(sinkMutex);
    currentSink = nullptr;
}

} // namespace Diagnostics
