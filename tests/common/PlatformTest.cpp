// The console session: what it changes for a run and gives back.

#include "common/Platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32

// The code page of the technician's console before a run; not UTF-8.
constexpr UINT BATCH_CODE_PAGE = 850;

std::atomic<bool> ctrlCSeen{false};

// Registered before the session, so called after the session's own handler:
// it takes the event, and the test goes on.
BOOL WINAPI takeCtrlC(DWORD event)
{
    if (event != CTRL_C_EVENT)
        return FALSE;
    ctrlCSeen = true;
    return TRUE;
}

class ConsoleSession : public testing::Test {
protected:
    void SetUp() override
    {
        // Under ctest the program has no console: it gets one of its own.
        if (!SetConsoleOutputCP(BATCH_CODE_PAGE)) {
            FreeConsole();
            ASSERT_TRUE(AllocConsole()) << GetLastError();
        }
        ASSERT_TRUE(SetConsoleOutputCP(BATCH_CODE_PAGE));
    }
};

TEST_F(ConsoleSession, SetsUtf8AndGivesBackTheCodePageItFound)
{
    {
        const Platform::ConsoleSession session;
        EXPECT_EQ(GetConsoleOutputCP(), static_cast<UINT>(CP_UTF8));
    }
    EXPECT_EQ(GetConsoleOutputCP(), BATCH_CODE_PAGE);
}

TEST_F(ConsoleSession, GivesBackTheCodePageOnCtrlC)
{
    SetConsoleCtrlHandler(nullptr, FALSE); // Ctrl-C reaches the handlers
    ASSERT_TRUE(SetConsoleCtrlHandler(takeCtrlC, TRUE));
    {
        const Platform::ConsoleSession session;
        ASSERT_EQ(GetConsoleOutputCP(), static_cast<UINT>(CP_UTF8));
        ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
        // The handlers run on a thread of their own.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!ctrlCSeen && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(ctrlCSeen);
        EXPECT_EQ(GetConsoleOutputCP(), BATCH_CODE_PAGE) << "while the program ends on Ctrl-C";
    }
    SetConsoleCtrlHandler(takeCtrlC, FALSE);
    EXPECT_EQ(GetConsoleOutputCP(), BATCH_CODE_PAGE);
}

#else

// A write to a pipe nobody reads fails with EPIPE, which the program can
// report, instead of ending it.
TEST(ConsoleSession, WritesToAClosedPipeFailInsteadOfEndingTheProgram)
{
    const Platform::ConsoleSession session;
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    errno = 0;
    EXPECT_EQ(write(ends[1], "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    close(ends[1]);
}

#endif

} // namespace
