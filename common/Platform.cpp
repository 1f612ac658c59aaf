#include "common/Platform.h"

#include <ctime>

#ifdef _WIN32
#include <windows.h>
#include <mmsystem.h>
#include <shellapi.h>

#include <atomic>
#include <cstdlib>
#else
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <thread>
#include <unistd.h>
#endif

namespace Platform {

namespace {

#ifdef KIV_COARSE_TICKS
// Windows' scheduler tick at its default timer resolution (64 per second).
constexpr std::chrono::nanoseconds COARSE_TICK{15'625'000};
#endif

} // namespace

std::chrono::nanoseconds timedWait(std::chrono::nanoseconds wanted)
{
#ifdef KIV_COARSE_TICKS
    if (wanted <= std::chrono::nanoseconds::zero())
        return wanted;
    return (wanted + COARSE_TICK - std::chrono::nanoseconds(1)) / COARSE_TICK * COARSE_TICK;
#else
    return wanted;
#endif
}

std::vector<const char*> argumentPointers(const std::vector<std::string>& arguments)
{
    std::vector<const char*> pointers;
    pointers.reserve(arguments.size() + 1);
    for (const auto& argument : arguments)
        pointers.push_back(argument.c_str());
    // argv[argc] is a null pointer, as in main's own.
    pointers.push_back(nullptr);
    return pointers;
}

#ifdef _WIN32

namespace {

// What the console session changed. Restored at most once, by whichever comes
// first: the destructor, exit(), or the console control handler, which runs
// on a thread of its own.
std::atomic<bool> sessionOpen{false};
UINT savedOutputCodePage = 0; // 0: no console, or its code page could not be set
bool timerResolutionRaised = false;

void restoreConsole()
{
    if (!sessionOpen.exchange(false))
        return;
    if (savedOutputCodePage != 0)
        SetConsoleOutputCP(savedOutputCodePage);
    if (timerResolutionRaised)
        timeEndPeriod(1);
}

// Ctrl-C, Ctrl-Break, a closed console window, logoff and shutdown end the
// process when no handler registered later handles them: restore first.
BOOL WINAPI onConsoleControl(DWORD)
{
    restoreConsole();
    return FALSE;
}

std::string utf8Of(const wchar_t* text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return {};
    std::string converted(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, converted.data(), size, nullptr, nullptr);
    converted.resize(static_cast<std::size_t>(size - 1));
    return converted;
}

} // namespace

ConsoleSession::ConsoleSession()
{
    timerResolutionRaised = timeBeginPeriod(1) == TIMERR_NOERROR;
    const UINT current = GetConsoleOutputCP();
    savedOutputCodePage = current != 0 && SetConsoleOutputCP(CP_UTF8) ? current : 0;
    sessionOpen = true;
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
    std::atexit(restoreConsole);
}

ConsoleSession::~ConsoleSession()
{
    restoreConsole();
    SetConsoleCtrlHandler(onConsoleControl, FALSE);
}

std::vector<std::string> utf8Arguments(int argc, char* argv[])
{
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr)
        return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> arguments;
    arguments.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        arguments.push_back(utf8Of(wide[i]));
    LocalFree(wide);
    return arguments;
}

std::uint32_t tickCount()
{
    return GetTickCount();
}

void sleepMs(unsigned milliseconds)
{
    Sleep(milliseconds);
}

std::uint64_t localTimeAsFileTime()
{
    SYSTEMTIME local;
    GetLocalTime(&local);
    FILETIME fileTime{};
    SystemTimeToFileTime(&local, &fileTime);
    return (static_cast<std::uint64_t>(fileTime.dwHighDateTime) << 32) | fileTime.dwLowDateTime;
}

#else

ConsoleSession::ConsoleSession()
{
    std::signal(SIGPIPE, SIG_IGN);
    // A standard stream started closed (`>&-`) would be taken by the next
    // descriptor opened, a socket, and console text would go there. Held by
    // /dev/null opened the other way round, it fails every write with EBADF,
    // which the program reports.
    for (int descriptor = 0; descriptor <= 2; ++descriptor) {
        if (fcntl(descriptor, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int placeholder = open("/dev/null", descriptor == 0 ? O_WRONLY : O_RDONLY);
        if (placeholder > descriptor) {
            dup2(placeholder, descriptor);
            close(placeholder);
        }
    }
}

ConsoleSession::~ConsoleSession() = default;

std::vector<std::string> utf8Arguments(int argc, char* argv[])
{
    return std::vector<std::string>(argv, argv + argc);
}

std::uint32_t tickCount()
{
    const auto sinceStart = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(sinceStart).count());
}

void sleepMs(unsigned milliseconds)
{
    std::this_thread::sleep_for(timedWait(std::chrono::milliseconds(milliseconds)));
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
