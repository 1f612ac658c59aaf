#include "common/Executor.h"

#include "common/Diagnostics.h"
#include "common/Exception.h"

#include <boost/asio/post.hpp>

#include <cstdio>
#include <exception>

Executor::Executor() : work_(boost::asio::make_work_guard(io_)), thread_([this] { run(); }) {}

Executor::~Executor() { stop(); }

void Executor::stop()
{
    // Stop first so queued tasks are discarded, then wait for a running task to end.
    io_.stop();
    if (thread_.joinable())
        thread_.join();
}

void Executor::post(std::function<void()> task)
{
    boost::asio::post(io_, std::move(task));
}

void Executor::run()
{
    // A task that throws must not take the queue down with it: report and go on.
    for (;;) {
        try {
            io_.run();
            return;
        } catch (const Exception& e) {
            Diagnostics::report("task failed: " + e.message() + "\n");
        } catch (const std::exception& e) {
            Diagnostics::report(std::string("task failed: ") + e.what() + "\n");
        } catch (...) {
            Diagnostics::report("task failed with an unknown exception\n");
        }
    }
}
