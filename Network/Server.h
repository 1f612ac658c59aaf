#pragma once

#include "common/Exception.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Network {

KIV_DECLARE_EXCEPTION(AddressInUseException);
KIV_DECLARE_EXCEPTION(CouldNotCreateListenerException);

// Receiver of datagrams. onDatagram runs on the server's worker threads,
// several at once, so implementations must be thread-safe. The bytes are valid
// only during the call; the handler may change them in place.
class ServerEventHandler {
public:
    virtual void onDatagram(const char* bytes, std::uint32_t length, std::uint32_t sourceAddress) = 0;
    virtual ~ServerEventHandler() = default;
};

// The sending half of the server, so that its users can be tested without sockets.
class DatagramSender {
public:
    virtual ~DatagramSender() = default;
    // One datagram to 255.255.255.255 on the remote port. False only when there is no socket.
    virtual bool broadcast(const char* bytes, std::uint32_t length) = 0;
    // One datagram to address (IPv4, host byte order) and port. False only when there is no socket.
    virtual bool sendTo(const char* bytes, std::uint32_t length, std::uint32_t address, std::uint16_t port) = 0;
};

// Registered handlers, in registration order. Handlers are not owned.
template <class Handler>
class EventSource {
public:
    void addHandler(Handler* handler)
    {
        std::lock_guard<std::mutex> lock(handlersMutex_);
        if (std::find(handlers_.begin(), handlers_.end(), handler) == handlers_.end())
            handlers_.push_back(handler);
    }

    void removeHandler(Handler* handler)
    {
        std::lock_guard<std::mutex> lock(handlersMutex_);
        const auto it = std::find(handlers_.begin(), handlers_.end(), handler);
        if (it != handlers_.end())
            handlers_.erase(it);
    }

protected:
    // Calls f(handler) for each handler without holding the mutex during the call.
    template <class F>
    void forEachHandler(F&& f)
    {
        std::size_t count;
        {
            std::lock_guard<std::mutex> lock(handlersMutex_);
            count = handlers_.size();
        }
        for (std::size_t i = 0; i < count; ++i) {
            Handler* handler = nullptr;
            {
                std::lock_guard<std::mutex> lock(handlersMutex_);
                if (i < handlers_.size())
                    handler = handlers_[i];
            }
            if (handler != nullptr)
                f(handler);
        }
    }

private:
    std::mutex handlersMutex_;
    std::vector<Handler*> handlers_;
};

class ServerImpl;

// The UDP endpoint of the frame library: one socket bound to the chosen
// interface address with SO_BROADCAST, max(processors, 4) worker threads each
// with one outstanding receive, and the registered handlers. broadcast, sendTo,
// localAddress and localPort may be called from any thread.
class Server : public EventSource<ServerEventHandler>, public DatagramSender {
public:
    // Binds to localAddress (numeric IPv6 or IPv4 text, no host names) and
    // localPort (0: the system chooses). Throws AddressInUseException (line 34)
    // or CouldNotCreateListenerException (line 36), file "Network/Server".
    Server(std::uint16_t remotePort, const std::string& localAddress, std::uint16_t localPort);
    // Closes the socket, stops the loop and joins the workers. Remove handlers first.
    ~Server() override;
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    bool broadcast(const char* bytes, std::uint32_t length) override;
    bool sendTo(const char* bytes, std::uint32_t length, std::uint32_t address, std::uint16_t port) override;

    // Bound IPv4 address in host byte order; 0xFFFFFFFF without socket, on error or for IPv6.
    std::uint32_t localAddress() const;
    // Bound port; 0 without socket or on error.
    std::uint16_t localPort() const;

    std::uint16_t remotePort() const { return remotePort_; }

private:
    friend class ServerImpl;
    std::uint16_t remotePort_;
    std::unique_ptr<ServerImpl> impl_;
};

} // namespace Network
