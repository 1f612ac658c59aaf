#pragma once

#include <functional>
#include <list>
#include <memory>
#include <mutex>

// Publish/subscribe list of handlers of signature F. The event keeps only weak
// references: subscribe() returns a token, and dropping the token ends the
// subscription. Handlers run in subscription order with the event's mutex held
// for the whole firing, so a handler must not subscribe to the event calling it.
template <class F>
class Event {
public:
    using Function = std::function<F>;
    using Token = std::shared_ptr<Function>;

    Token subscribe(Function handler)
    {
        auto token = std::make_shared<Function>(std::move(handler));
        std::lock_guard<std::mutex> lock(mutex_);
        handlers_.push_back(token);
        return token;
    }

    // Cursor over the live handlers; holds the event's mutex while it exists.
    class Handlers {
    public:
        explicit Handlers(Event& event) : event_(event), lock_(event.mutex_), it_(event.handlers_.begin()) {}
        Handlers(const Handlers&) = delete;
        Handlers& operator=(const Handlers&) = delete;

        // The next handler whose token is alive, or null at the end. Dead entries are removed.
        Token next()
        {
            while (it_ != event_.handlers_.end()) {
                if (Token handler = it_->lock()) {
                    ++it_;
                    return handler;
                }
                it_ = event_.handlers_.erase(it_);
            }
            return nullptr;
        }

    private:
        Event& event_;
        std::lock_guard<std::mutex> lock_;
        typename std::list<std::weak_ptr<Function>>::iterator it_;
    };

    template <class... Args>
    void fire(const Args&... args)
    {
        Handlers handlers(*this);
        while (Token handler = handlers.next())
            (*handler)(args...);
    }

private:
    std::mutex mutex_;
    std::list<std::weak_ptr<Function>> handlers_;
};
