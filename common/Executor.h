#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <functional>
#include <thread>

// A private task queue with exactly one thread. Tasks run one after another,
// in posting order, on that thread. post() may be called from any thread.
// Destruction stops the queue (tasks not yet started are discarded, never run)
// and joins the thread; it must not be called from a task of this executor.
class Executor {
public:
    Executor();
    ~Executor();
    Executor(const Executor&) = delete;
    Executor& operator=(const Executor&) = delete;

    void post(std::function<void()> task);

    // Stops and joins now, as destruction would: the task that is running
    // finishes, queued ones are discarded, later posts never run. Safe to
    // call more than once; never from a task of this executor.
    void stop();

private:
    void run();

    boost::asio::io_context io_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
    std::thread thread_;
};
