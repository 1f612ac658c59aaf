#include "apps/shared/Console.h"

#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

namespace Console {

Writer::Writer(std::FILE* out, std::FILE* err) : out_(out), err_(err), thread_([this] { run(); }) {}

Writer::~Writer()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    handedOver_.notify_all();
    thread_.join();
}

void Writer::hand(Stream stream, std::string text)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(Text{stream, std::move(text)});
        ++handed_;
    }
    handedOver_.notify_one();
}

void Writer::flush()
{
    std::unique_lock<std::mutex> lock(mutex_);
    const std::uint64_t target = handed_;
    written_.wait(lock, [&] { return writtenCount_ >= target; });
}

std::uint64_t Writer::unwritten() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return handed_ - writtenCount_;
}

void Writer::run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        handedOver_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty())
            return; // stopping, and everything is written
        // Take the whole batch, so writing never holds the lock that hands over.
        std::deque<Text> batch;
        batch.swap(queue_);
        lock.unlock();
        // A stream is flushed before the other one is written, and at the end
        // of the batch, so both keep their order on one terminal.
        std::optional<Stream> last;
        for (const Text& t : batch) {
            if (last && *last != t.stream)
                flushStream(*last);
            write(t.stream, t.text);
            last = t.stream;
        }
        if (last)
            flushStream(*last);
        lock.lock();
        writtenCount_ += batch.size();
        written_.notify_all();
    }
}

void Writer::write(Stream stream, const std::string& text)
{
    bool& failed = stream == Stream::Out ? outFailed_ : errFailed_;
    if (failed || text.empty())
        return;
    std::FILE* file = stream == Stream::Out ? out_ : err_;
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), file) != text.size())
        fail(stream);
}

void Writer::flushStream(Stream stream)
{
    if (stream == Stream::Out ? outFailed_ : errFailed_)
        return;
    errno = 0;
    if (std::fflush(stream == Stream::Out ? out_ : err_) != 0)
        fail(stream);
}

void Writer::fail(Stream stream)
{
    const int error = errno;
    std::string reason = error != 0 ? std::strerror(error) : "write error";
    (stream == Stream::Out ? outFailed_ : errFailed_) = true;
    std::lock_guard<std::mutex> lock(mutex_);
    (stream == Stream::Out ? outFailure_ : errFailure_) = std::move(reason);
}

std::string Writer::outFailure() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return outFailure_;
}

std::string Writer::errFailure() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return errFailure_;
}

} // namespace Console
