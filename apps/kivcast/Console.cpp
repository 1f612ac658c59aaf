#include "apps/kivcast/Console.h"

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
        std::FILE* last = nullptr;
        for (const Text& t : batch) {
            std::FILE* stream = t.stream == Stream::Out ? out_ : err_;
            if (last != nullptr && last != stream)
                std::fflush(last);
            std::fwrite(t.text.data(), 1, t.text.size(), stream);
            last = stream;
        }
        if (last != nullptr)
            std::fflush(last);
        lock.lock();
        writtenCount_ += batch.size();
        written_.notify_all();
    }
}

} // namespace Console
