#include "apps/kivwatch/ConsoleControl.h"

#include <atomic>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <csignal>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace ConsoleControl {
namespace {
// Lock-free, so a signal handler may set it.
std::atomic<bool> stopFlag{false};
static_assert(std::atomic<bool>::is_always_lock_free);

#ifdef _WIN32
BOOL WINAPI onConsoleEvent(DWORD event)
{
    stopFlag.store(true);
    // After a close, log-off or shut-down event returns, Windows ends the
    // process: the main thread gets a moment to stop the engine and restore the console.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        Sleep(2000);
    return TRUE;
}
#else
void onSignal(int) { stopFlag.store(true); }
#endif
} // namespace

void installStopHandlers()
{
#ifdef _WIN32
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
#else
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
#endif
}

bool stopRequested() { return stopFlag.load(); }

bool isTerminal(std::FILE* stream)
{
#ifdef _WIN32
    return _isatty(_fileno(stream)) != 0;
#else
    return isatty(fileno(stream)) != 0;
#endif
}

std::optional<Size> terminalSize()
{
#ifdef _WIN32
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info))
        return std::nullopt;
    return Size{info.srWindow.Right - info.srWindow.Left + 1, info.srWindow.Bottom - info.srWindow.Top + 1};
#else
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0)
        return std::nullopt;
    return Size{size.ws_col, size.ws_row};
#endif
}

VtMode::VtMode()
{
#ifdef _WIN32
    DWORD mode = 0;
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (GetConsoleMode(out, &mode)) {
        savedMode_ = mode;
        restore_ = SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING | ENABLE_PROCESSED_OUTPUT) != 0;
    }
#endif
}

VtMode::~VtMode()
{
#ifdef _WIN32
    if (restore_)
        SetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), static_cast<DWORD>(savedMode_));
#endif
}

} // namespace ConsoleControl
