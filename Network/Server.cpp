#include "Network/Server.h"

#include "common/Broadcasts.h"
#include "common/Diagnostics.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <exception>
#include <system_error>
#include <thread>

namespace Network {

namespace {

using boost::asio::ip::udp;
using SocketPtr = std::shared_ptr<udp::socket>;

const char* const sourceFile = "Network/Server";
constexpr std::int32_t addressInUseLine = 34;
constexpr std::int32_t couldNotCreateListenerLine = 36;

constexpr std::size_t receiveBufferSize = 4096;
// Receives read into one byte more than the largest datagram delivered: a
// datagram that fills it did not fit and is dropped. The length alone must
// tell, since Asio on Windows reports a cut datagram (WSAEMSGSIZE) as a whole one.
constexpr std::size_t receiveCapacity = receiveBufferSize + 1;
constexpr unsigned minimumWorkers = 4;
// Hundreds of frames answer a discovery broadcast at once; the system caps
// this at its own limit.
constexpr int socketReceiveBufferBytes = 4 * 1024 * 1024;

// One outstanding receive: its buffer, reused for every datagram, and the sender.
struct Receive {
    std::vector<char> bytes = std::vector<char>(receiveCapacity, 0);
    udp::endpoint sender; // starts as IPv4, all zero
};

std::uint32_t ipv4Of(const udp::endpoint& endpoint)
{
    const auto address = endpoint.address();
    if (address.is_v4())
        return address.to_v4().to_uint();
    if (address.to_v6().is_v4_mapped())
        return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6()).to_uint();
    return 0;
}

} // namespace

// The sockets, the event loop and its workers.
//
// Besides the socket bound to the interface address there is, where the system
// needs them, one socket per broadcast address of the interface, bound to it on
// the same port: frames may answer by broadcast, to 255.255.255.255 or to the
// subnet. Of those broadcasts only the ones that arrived on the bound interface
// are delivered. (Windows delivers them to the socket bound to the interface
// address, and needs none.)
class ServerImpl {
public:
    explicit ServerImpl(Server& owner) : owner_(owner), work_(boost::asio::make_work_guard(io_)) {}
    ~ServerImpl();
    ServerImpl(const ServerImpl&) = delete;
    ServerImpl& operator=(const ServerImpl&) = delete;

    // Binds the sockets and starts the receives and the workers. Throws
    // boost::system::system_error or std::system_error.
    void open(const std::string& localAddress, std::uint16_t localPort);

    bool send(const char* bytes, std::uint32_t length, const udp::endpoint& destination);
    SocketPtr socket() const;

private:
    SocketPtr broadcastSocket(std::size_t i) const;
    void startReceive(std::shared_ptr<Receive> receive);
    void onReceive(std::shared_ptr<Receive> receive, const boost::system::error_code& error, std::size_t length);
    void startBroadcastReceive(std::size_t i, std::shared_ptr<Receive> receive);
    void readBroadcasts(udp::socket& socket, Receive& receive);
    void deliver(const char* bytes, std::size_t length, std::uint32_t source);

    Server& owner_;
    boost::asio::io_context io_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
    mutable std::mutex socketMutex_;
    SocketPtr socket_;
    std::vector<SocketPtr> broadcastSockets_; // one per broadcast address; emptied at teardown
    unsigned interfaceIndex_ = 0; // where delivered broadcasts must arrive
    std::atomic<bool> stopping_{false};
    std::vector<std::thread> workers_;
};

void ServerImpl::open(const std::string& localAddress, std::uint16_t localPort)
{
    // IPv6 notation first, then dotted IPv4; host names are not resolved.
    const udp::endpoint endpoint(boost::asio::ip::make_address(localAddress), localPort);

    auto socket = std::make_shared<udp::socket>(io_);
    socket->open(endpoint.protocol());
    socket->bind(endpoint);
    socket->set_option(udp::socket::broadcast(true));
    boost::system::error_code ignored;
    socket->set_option(udp::socket::receive_buffer_size(socketReceiveBufferBytes), ignored);
    // Set now, before any thread starts operations, so that no operation writes the socket's state.
    socket->non_blocking(true);
    // A frame that went away must not fail the receives (Windows reports it so).
    if (!Platform::ignoreUnreachablePeers(socket->native_handle()))
        throw boost::system::system_error(Platform::lastSocketError(), boost::system::system_category(),
                                          "set_option");

    const auto bound = socket->local_endpoint();
    std::vector<SocketPtr> broadcastSockets;
    const auto interface = bound.address().is_v4()
                               ? Platform::broadcastInterfaceOf(bound.address().to_v4().to_uint())
                               : std::nullopt;
    if (interface) {
        interfaceIndex_ = interface->index;
        for (const std::uint32_t address : interface->broadcastAddresses) {
            auto broadcastSocket = std::make_shared<udp::socket>(io_);
            broadcastSocket->open(udp::v4());
            if (!Platform::prepareBroadcastSocket(broadcastSocket->native_handle()))
                throw boost::system::system_error(Platform::lastSocketError(), boost::system::system_category(),
                                                  "set_option");
            broadcastSocket->set_option(udp::socket::receive_buffer_size(socketReceiveBufferBytes), ignored);
            broadcastSocket->non_blocking(true);
            // A subnet broadcast the system does not hold as local cannot be
            // bound, and then never arrives here either: go without it.
            boost::system::error_code notBound;
            broadcastSocket->bind(udp::endpoint(boost::asio::ip::address_v4(address), bound.port()), notBound);
            if (notBound && address == boost::asio::ip::address_v4::broadcast().to_uint())
                throw boost::system::system_error(notBound, "bind");
            if (!notBound)
                broadcastSockets.push_back(std::move(broadcastSocket));
        }
    }
    {
        std::lock_guard<std::mutex> lock(socketMutex_);
        socket_ = socket;
        broadcastSockets_ = broadcastSockets;
    }

    const unsigned workers = std::max(std::thread::hardware_concurrency(), minimumWorkers);
    for (std::size_t i = 0; i < broadcastSockets.size(); ++i)
        startBroadcastReceive(i, std::make_shared<Receive>());
    for (unsigned i = 0; i < workers; ++i) {
        startReceive(std::make_shared<Receive>());
        workers_.emplace_back([this] { io_.run(); });
    }
}

ServerImpl::~ServerImpl()
{
    // 1. Drop the socket references. A socket closes once no thread holds a
    //    copy; its outstanding receives then end with an error and, finding
    //    no socket, are not started again.
    stopping_ = true;
    SocketPtr socket;
    std::vector<SocketPtr> broadcastSockets;
    {
        std::lock_guard<std::mutex> lock(socketMutex_);
        socket.swap(socket_);
        broadcastSockets.swap(broadcastSockets_);
    }
    socket.reset();
    broadcastSockets.clear();
    // 2. Stop the loop; 3. join the workers. The work guard and the loop go
    //    with the members, discarding handlers that never ran.
    io_.stop();
    for (std::thread& worker : workers_)
        worker.join();
}

SocketPtr ServerImpl::socket() const
{
    std::lock_guard<std::mutex> lock(socketMutex_);
    return socket_;
}

SocketPtr ServerImpl::broadcastSocket(std::size_t i) const
{
    std::lock_guard<std::mutex> lock(socketMutex_);
    return i < broadcastSockets_.size() ? broadcastSockets_[i] : nullptr;
}

bool ServerImpl::send(const char* bytes, std::uint32_t length, const udp::endpoint& destination)
{
    const SocketPtr socket = this->socket();
    if (!socket)
        return false;
    // The pending send owns its copy, so the caller may reuse its storage at once.
    auto copy = std::make_shared<std::vector<char>>(bytes, bytes + length);
    socket->async_send_to(boost::asio::buffer(*copy), destination,
                          [copy](const boost::system::error_code&, std::size_t) {});
    return true;
}

void ServerImpl::startReceive(std::shared_ptr<Receive> receive)
{
    receive->sender = udp::endpoint();
    const SocketPtr socket = this->socket();
    if (!socket)
        return;
    socket->async_receive_from(boost::asio::buffer(receive->bytes), receive->sender,
                               [this, receive](const boost::system::error_code& error, std::size_t length) {
                                   onReceive(receive, error, length);
                               });
}

void ServerImpl::onReceive(std::shared_ptr<Receive> receive, const boost::system::error_code& error,
                           std::size_t length)
{
    if (!error && length != 0 && length <= receiveBufferSize)
        deliver(receive->bytes.data(), length, ipv4Of(receive->sender));
    startReceive(std::move(receive));
}

void ServerImpl::startBroadcastReceive(std::size_t i, std::shared_ptr<Receive> receive)
{
    const SocketPtr socket = broadcastSocket(i);
    if (!socket)
        return;
    socket->async_wait(udp::socket::wait_read, [this, i, receive](const boost::system::error_code& error) {
        if (!error) {
            if (const SocketPtr ready = broadcastSocket(i))
                readBroadcasts(*ready, *receive);
        }
        startBroadcastReceive(i, receive);
    });
}

// Reads every broadcast waiting on one broadcast socket and delivers those that
// arrived on the bound interface. Only one of these runs at a time per socket.
void ServerImpl::readBroadcasts(udp::socket& socket, Receive& receive)
{
    while (!stopping_) {
        const auto datagram =
            Platform::receiveBroadcast(socket.native_handle(), receive.bytes.data(), receive.bytes.size());
        if (!datagram)
            return; // empty, or an error that the next wait reports again
        if (datagram->size == 0 || datagram->size > receiveBufferSize || datagram->arrivedOn != interfaceIndex_)
            continue;
        deliver(receive.bytes.data(), datagram->size, datagram->sender);
    }
}

void ServerImpl::deliver(const char* bytes, std::size_t length, std::uint32_t source)
{
    owner_.forEachHandler([&](ServerEventHandler* handler) {
        // A handler that throws, whatever it throws, must not end the worker or the receive.
        try {
            handler->onDatagram(bytes, static_cast<std::uint32_t>(length), source);
        } catch (const Exception& e) {
            Diagnostics::report("datagram handler failed: " + e.message() + "\n");
        } catch (const std::exception& e) {
            Diagnostics::report(std::string("datagram handler failed: ") + e.what() + "\n");
        } catch (...) {
            Diagnostics::report("datagram handler failed with an unknown exception\n");
        }
    });
}

Server::Server(std::uint16_t remotePort, const std::string& localAddress, std::uint16_t localPort)
    : remotePort_(remotePort), impl_(std::make_unique<ServerImpl>(*this))
{
    // On failure impl_ goes with the exception: it closes what was opened and joins started workers.
    try {
        impl_->open(localAddress, localPort);
    } catch (const boost::system::system_error& e) {
        if (e.code() == boost::asio::error::address_in_use)
            throw AddressInUseException(sourceFile, addressInUseLine, e.what());
        throw CouldNotCreateListenerException(sourceFile, couldNotCreateListenerLine, e.what());
    } catch (const std::system_error& e) {
        throw CouldNotCreateListenerException(sourceFile, couldNotCreateListenerLine, e.what());
    }
}

Server::~Server() = default;

bool Server::broadcast(const char* bytes, std::uint32_t length)
{
    return impl_->send(bytes, length, udp::endpoint(boost::asio::ip::address_v4::broadcast(), remotePort_));
}

bool Server::sendTo(const char* bytes, std::uint32_t length, std::uint32_t address, std::uint16_t port)
{
    return impl_->send(bytes, length, udp::endpoint(boost::asio::ip::address_v4(address), port));
}

std::uint32_t Server::localAddress() const
{
    const SocketPtr socket = impl_->socket();
    if (!socket)
        return 0xFFFFFFFFU;
    boost::system::error_code error;
    const auto endpoint = socket->local_endpoint(error);
    if (error || !endpoint.address().is_v4())
        return 0xFFFFFFFFU;
    return endpoint.address().to_v4().to_uint();
}

std::uint16_t Server::localPort() const
{
    const SocketPtr socket = impl_->socket();
    if (!socket)
        return 0;
    boost::system::error_code error;
    const auto endpoint = socket->local_endpoint(error);
    return error ? 0 : endpoint.port();
}

} // namespace Network
