#include "common/Platform.h"

#include <ctime>

#ifdef _WIN32
#include <windows.h>
#else
#include <chrono>
#include <csignal>
#include <thread>
#endif

namespace Platform {

#ifdef _WIN32

std::uint32_t tickCount()
{
    return GetTickCount();
}

void sleepMs(unsigned milliseconds)
{
    Sleep(milliseconds);
}

void useUtf8Console()
{
    SetConsoleOutputCP(CP_UTF8);
}

std::uint64_t localTimeAsFileTime()
{
    SYSTEMTIME local;
    GetLocalTime(&local);
    FILETIME fileTime{};
    SystemTimeToFileTime(&local, &fileTime);
    return (static_cast<std::uint64_t>(fileTime.dwHighDateTime) << 32) | fileTime.dwLowDateTime;
}

void ignoreBrokenPipe() {}

#else

void useUtf8Console() {}

void ignoreBrokenPipe()
{
    std::signal(SIGPIPE, SIG_IGN);
}

std::uint32_t tickCount()
{
    const auto sinceStart = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(sinceStart).count());
}

void sleepMs(unsigned milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

std::uint64_t localTimeAsFileTime()
{
    // Seconds from 1601-01-01 to 1970-01-01.
    constexpr std::int64_t epochOffsetSeconds = 11644473600LL;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    const std::int64_t localSeconds = static_cast<std::int64_t>(now.tv_sec) + local.tm_gmtoff;
    return static_cast<std::uint64_t>(localSeconds + epochOffsetSeconds) * 10000000ULL +
           static_cast<std::uint64_t>(now.tv_nsec / 100);
}

#endif

std::int64_t calendarSeconds()
{
    return static_cast<std::int64_t>(std::time(nullptr));
}

} // namespace Platform
