// The console writer against a pipe that nobody reads for a while, and
// against streams that cannot be written.
#include "apps/shared/Console.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string line(int writer, int n) { return "writer " + std::to_string(writer) + " line " + std::to_string(n) + "\n"; }

} // namespace

// Handing over never waits for the reader, even with the pipe full; once the
// reader comes, every text arrives whole, each writer's in its order, and
// flush() returns only when all of it has been written.
TEST(ConsoleWriter, NeverWaitsForTheReaderAndLosesNothing)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    fcntl(ends[1], F_SETPIPE_SZ, 4096);
    std::FILE* out = fdopen(ends[1], "w");
    ASSERT_NE(out, nullptr);
    constexpr int writers = 4;
    constexpr int linesEach = 5000; // about 100 KB each, far more than the pipe holds
    {
        Console::Writer console(out, stderr);
        auto handedOver = std::async(std::launch::async, [&] {
            std::vector<std::thread> threads;
            for (int w = 0; w < writers; ++w)
                threads.emplace_back([&console, w] {
                    for (int n = 0; n < linesEach; ++n)
                        console.out(line(w, n));
                });
            for (std::thread& t : threads)
                t.join();
        });
        ASSERT_EQ(handedOver.wait_for(std::chrono::seconds(20)), std::future_status::ready)
            << "handing over waited for the reader";

        auto flushed = std::async(std::launch::async, [&] { console.flush(); });
        EXPECT_EQ(flushed.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout)
            << "flush returned before the text was written";

        std::string received;
        char buffer[65536];
        const std::size_t expected = [] {
            std::size_t total = 0;
            for (int w = 0; w < writers; ++w)
                for (int n = 0; n < linesEach; ++n)
                    total += line(w, n).size();
            return total;
        }();
        while (received.size() < expected) {
            const ssize_t n = read(ends[0], buffer, sizeof buffer);
            ASSERT_GT(n, 0);
            received.append(buffer, static_cast<std::size_t>(n));
        }
        flushed.get();

        std::vector<int> next(writers, 0);
        std::size_t start = 0;
        while (start < received.size()) {
            const std::size_t end = received.find('\n', start);
            ASSERT_NE(end, std::string::npos);
            int w = -1;
            int n = -1;
            ASSERT_EQ(std::sscanf(received.c_str() + start, "writer %d line %d", &w, &n), 2)
                << received.substr(start, end - start);
            ASSERT_TRUE(w >= 0 && w < writers);
            EXPECT_EQ(n, next[w]++) << "writer " << w;
            start = end + 1;
        }
        for (int w = 0; w < writers; ++w)
            EXPECT_EQ(next[w], linesEach);
    }
    std::fclose(out);
    close(ends[0]);
}

// Text handed over just before destruction is written, not dropped.
TEST(ConsoleWriter, DestructionWritesEverythingHandedOver)
{
    std::FILE* file = std::tmpfile();
    {
        Console::Writer console(file, file);
        for (int n = 0; n < 1000; ++n)
            (n % 2 == 0 ? console.out(line(0, n)) : console.err(line(0, n)));
    }
    std::rewind(file);
    std::string text;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, n);
    std::fclose(file);
    std::string expected;
    for (int k = 0; k < 1000; ++k)
        expected += line(0, k);
    EXPECT_EQ(text, expected) << "both streams, in the order handed over";
}

// A stream that cannot be written (a full disk, a reader gone, a closed
// descriptor) keeps its first failure and is written no more; the other
// stream goes on, and nothing waits or hangs.
TEST(ConsoleWriter, KeepsTheFirstFailureOfEachStream)
{
    struct Case {
        const char* what;
        std::function<std::FILE*()> open; // the failing stream
        const char* failure;
    };
    const Case cases[] = {
        {"a full disk", [] { return std::fopen("/dev/full", "w"); }, "No space left on device"},
        {"a reader gone",
         [] {
             int ends[2];
             if (pipe(ends) != 0)
                 return static_cast<std::FILE*>(nullptr);
             close(ends[0]);
             return fdopen(ends[1], "w");
         },
         "Broken pipe"},
        {"a closed descriptor",
         [] {
             std::FILE* file = std::fopen("/dev/null", "w");
             if (file != nullptr)
                 close(fileno(file));
             return file;
         },
         "Bad file descriptor"},
    };
    std::signal(SIGPIPE, SIG_IGN);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // The good stream first: a descriptor closed later must not be reused by it.
        std::FILE* good = std::tmpfile();
        ASSERT_NE(good, nullptr);
        std::FILE* failing = c.open();
        ASSERT_NE(failing, nullptr);
        {
            Console::Writer console(failing, good);
            console.out("first line\n");
            console.err("to the other stream\n");
            console.flush();
            EXPECT_EQ(console.outFailure(), c.failure);
            EXPECT_EQ(console.errFailure(), "");
            for (int i = 0; i < 1000; ++i)
                console.out("more\n");
            console.err("still written\n");
            console.flush();
            EXPECT_EQ(console.outFailure(), c.failure);
        }
        std::rewind(good);
        char buffer[256] = {};
        const std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, good);
        EXPECT_EQ(std::string(buffer, n), "to the other stream\nstill written\n");
        std::fclose(good);
        std::fclose(failing);
    }
}
