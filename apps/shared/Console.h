#pragma once

#include <boost/format.hpp>

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <locale>
#include <mutex>
#include <string>
#include <thread>

// Console output of the programs that report on a rig (kivcast, kivwatch).
namespace Console {

// Owns standard output and standard error for one run. Texts are handed over
// from any thread and written by a thread of its own, in the order they were
// handed over, each batch flushed at once, so a reader of a pipe sees every
// line promptly and in order. Handing over never waits for the reader: a slow
// console (a paused terminal, a pager, a slow pipe) holds up nothing but this
// thread, and what it has not written yet waits in memory, bounded by the
// lines of one run. Destruction writes everything handed over, then stops.
//
// A stream whose write or flush fails (a reader that went away, a full disk,
// a closed descriptor) is written no more: the first failure is kept for the
// program to report, and the run goes on.
class Writer {
public:
    explicit Writer(std::FILE* out = stdout, std::FILE* err = stderr);
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void out(std::string text) { hand(Stream::Out, std::move(text)); }
    void err(std::string text) { hand(Stream::Err, std::move(text)); }
    void out(const boost::format& text) { out(text.str()); }
    void err(const boost::format& text) { err(text.str()); }

    // Waits until everything handed over so far has been written and flushed.
    void flush();
    // Texts handed over and not written yet (a view that redraws skips a
    // redraw while its previous one still waits).
    std::uint64_t unwritten() const;

    // The first failure of standard output or standard error ("Broken pipe",
    // "No space left on device"), or empty while there was none.
    std::string outFailure() const;
    std::string errFailure() const;

private:
    enum class Stream { Out, Err };
    struct Text {
        Stream stream;
        std::string text;
    };

    void hand(Stream stream, std::string text);
    void run();
    // Writes one text unless its stream has failed; keeps the first failure.
    void write(Stream stream, const std::string& text);
    void flushStream(Stream stream);
    void fail(Stream stream);

    std::FILE* const out_;
    std::FILE* const err_;
    mutable std::mutex mutex_;
    std::condition_variable handedOver_;
    std::condition_variable written_;
    std::deque<Text> queue_;        // guarded by mutex_
    std::uint64_t handed_ = 0;      // texts handed over so far; guarded by mutex_
    std::uint64_t writtenCount_ = 0; // texts written so far; guarded by mutex_
    bool stopping_ = false;         // guarded by mutex_
    std::string outFailure_;        // guarded by mutex_
    std::string errFailure_;        // guarded by mutex_
    bool outFailed_ = false;        // the writer thread's own copies
    bool errFailed_ = false;
    std::thread thread_;            // last: starts once the rest is in place
};

// Written at once on the calling thread, for the few lines printed outside a
// run (errors before and after it).
inline void errNow(const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

// Boost.Format narrows every character of a format string, and the standard
// library caches each result on first use: a write that would otherwise happen
// on whichever engine thread formats first. Filling the cache once on the main
// thread, before any other thread starts, leaves only reads.
inline void prepareFormatting()
{
    const auto& facet = std::use_facet<std::ctype<char>>(std::locale());
    for (int c = 0; c < 256; ++c)
        facet.narrow(static_cast<char>(c), '\0');
}

} // namespace Console
