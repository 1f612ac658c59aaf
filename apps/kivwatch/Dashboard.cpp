#include "apps/kivwatch/Dashboard.h"

#include "apps/kivwatch/DashboardPage.h"
#include "apps/kivwatch/Render.h"
#include "apps/shared/FrameIds.h"
#include "common/Exception.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include <atomic>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Kind = WatchState::Event::Kind;

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::ordered_json;

// A response's head and body are written within this, or the client is dropped.
constexpr std::chrono::seconds WRITE_TIMEOUT{10};
// A WebSocket client that neither sends nor answers pings for this long is dropped.
constexpr std::chrono::seconds IDLE_TIMEOUT{30};
constexpr std::size_t CLIENT_MESSAGE_MAX = 4096; // the page sends nothing; a client may send a little
constexpr std::size_t REQUEST_BODY_MAX = 1024;   // GET and HEAD carry none

const char* const PAGE_POLICY = "default-src 'self'; connect-src 'self'; img-src 'self' data:; "
                                "frame-ancestors 'none'; base-uri 'none'; form-action 'none'";

KIV_DECLARE_EXCEPTION(DashboardException);

} // namespace

// Everything on the server thread but the model, which publish() updates from
// the watch's loop under `mutex_`.
class Dashboard::Server {
public:
    explicit Server(DashboardConfig config);
    ~Server();

    std::uint16_t port() const { return port_; }
    void publishStart(const std::string& line);
    void publishRecords(std::vector<Record> records);
    std::size_t clients() const { return clients_.load(); }
    std::size_t dropped() const { return dropped_.load(); }

    // One client connection; the server keeps a weak reference to each, so
    // that its stop can close them.
    class Connection : public std::enable_shared_from_this<Connection> {
    public:
        explicit Connection(Server& server) : server_(server) {}
        virtual ~Connection() { server_.forget(this); }
        Connection(const Connection&) = delete;
        Connection& operator=(const Connection&) = delete;
        virtual void abort() = 0;

    protected:
        Server& server_;
    };
    class HttpSession;
    class WsSession;
    class Refusal;

private:
    struct FrameModel {
        Kind stateKind = Kind::Found;
        std::string stateLine;
        std::string meterLine;
        Clock::time_point since;     // of the state record
        Clock::time_point lastMeter; // of the meter record
    };
    struct Batch {
        std::uint64_t seq = 0;
        std::shared_ptr<const std::string> text;
    };

    void accept();
    // A WebSocket client accepted: its snapshot, then the batches after it.
    void join(const std::shared_ptr<WsSession>& feed);
    void leave(WsSession* feed);
    void drain();
    void stopAll();
    void remember(const std::shared_ptr<Connection>& connection, bool counted);
    void forget(Connection* connection);
    // Under mutex_: the snapshot as NDJSON lines, and the /api/frames document.
    std::string snapshotLines() const;
    std::string framesDocument() const;
    DashboardHttp::Policy policy() const;

    const DashboardConfig config_;
    std::uint16_t port_ = 0;

    mutable std::mutex mutex_; // the model and the inbox
    std::string startLine_;
    std::string pollLine_;
    std::map<std::uint64_t, FrameModel> frames_;
    std::deque<Batch> inbox_;
    std::size_t inboxBytes_ = 0;
    std::uint64_t seq_ = 0;
    bool overflowed_ = false;
    bool wakePending_ = false;

    std::atomic<std::size_t> clients_{0};
    std::atomic<std::size_t> dropped_{0};

    // Server thread only.
    std::map<Connection*, std::pair<std::weak_ptr<Connection>, bool>> connections_; // bool: counts as a client
    std::vector<std::shared_ptr<WsSession>> feeds_;
    bool stopping_ = false;

    asio::io_context ioc_{1};
    tcp::acceptor acceptor_{ioc_};
    asio::steady_timer retry_{ioc_};
    std::promise<void> ended_;
    std::thread thread_; // last: started once everything above exists
};

// A connection over the limit: a 503 and the close, nothing read.
class Dashboard::Server::Refusal : public Connection {
public:
    Refusal(Server& server, tcp::socket socket) : Connection(server), stream_(std::move(socket)) {}

    void start()
    {
        const std::string body = "kivwatch: too many dashboard clients at once\n";
        response_ = "HTTP/1.1 503 Service Unavailable\r\nServer: kivwatch\r\nContent-Type: text/plain\r\n"
                    "Content-Length: " +
                    std::to_string(body.size()) + "\r\nConnection: close\r\nRetry-After: 5\r\n\r\n" + body;
        stream_.expires_after(WRITE_TIMEOUT);
        auto self = shared_from_this();
        asio::async_write(stream_, asio::buffer(response_), [this, self](beast::error_code, std::size_t) {
            beast::error_code ec;
            stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
            stream_.close();
        });
    }
    void abort() override { stream_.close(); }

private:
    beast::tcp_stream stream_;
    std::string response_;
};

// One WebSocket client of /events: the snapshot, then every batch of records,
// through a queue of bounded size; a client that falls behind it is dropped.
class Dashboard::Server::WsSession : public Connection {
public:
    WsSession(Server& server, beast::tcp_stream stream) : Connection(server), ws_(std::move(stream)) {}

    void start(http::request<http::string_body> request)
    {
        beast::get_lowest_layer(ws_).expires_never(); // the WebSocket's own timeouts from here on
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = WRITE_TIMEOUT;
        timeouts.idle_timeout = IDLE_TIMEOUT;
        timeouts.keep_alive_pings = true;
        ws_.set_option(timeouts);
        ws_.set_option(websocket::stream_base::decorator(
            [](websocket::response_type& response) { response.set(http::field::server, "kivwatch"); }));
        ws_.read_message_max(CLIENT_MESSAGE_MAX);
        ws_.text(true);
        auto self = std::static_pointer_cast<WsSession>(shared_from_this());
        ws_.async_accept(request, [this, self](beast::error_code ec) {
            if (ec || server_.stopping_)
                return;
            server_.join(self);
            read();
        });
    }

    // Queues one message; drops the client when its queue would pass the limit.
    void send(std::shared_ptr<const std::string> text)
    {
        if (closed_)
            return;
        if (queuedBytes_ + text->size() > server_.config_.clientQueueBytes) {
            ++server_.dropped_;
            abort();
            return;
        }
        queuedBytes_ += text->size();
        queue_.push_back(std::move(text));
        if (!writing_)
            write();
    }

    void abort() override
    {
        if (closed_)
            return;
        closed_ = true;
        beast::get_lowest_layer(ws_).close();
        server_.leave(this);
    }

    std::uint64_t joinedAt = 0; // batches up to this one are in its snapshot

private:
    void read()
    {
        auto self = shared_from_this();
        ws_.async_read(in_, [this, self](beast::error_code ec, std::size_t) {
            if (ec) {
                abort();
                return;
            }
            in_.clear(); // the dashboard is read-only: what a client sends is read and dropped
            read();
        });
    }

    void write()
    {
        writing_ = true;
        auto self = shared_from_this();
        ws_.async_write(asio::buffer(*queue_.front()), [this, self](beast::error_code ec, std::size_t) {
            if (ec) {
                abort();
                return;
            }
            queuedBytes_ -= queue_.front()->size();
            queue_.pop_front();
            writing_ = false;
            if (!queue_.empty() && !closed_)
                write();
        });
    }

    websocket::stream<beast::tcp_stream> ws_;
    beast::flat_buffer in_;
    std::deque<std::shared_ptr<const std::string>> queue_;
    std::size_t queuedBytes_ = 0;
    bool writing_ = false;
    bool closed_ = false;
};

// One HTTP connection: requests read one at a time, each head within the
// header timeout, answered by the rules of DashboardHttp.
class Dashboard::Server::HttpSession : public Connection {
public:
    HttpSession(Server& server, tcp::socket socket) : Connection(server), stream_(std::move(socket)) {}

    void start() { read(); }
    void abort() override { stream_.close(); }

private:
    void read()
    {
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(server_.config_.headerLimit));
        parser_->body_limit(REQUEST_BODY_MAX);
        buffer_.max_size(server_.config_.headerLimit + REQUEST_BODY_MAX);
        stream_.expires_after(server_.config_.headerTimeout);
        auto self = shared_from_this();
        http::async_read(stream_, buffer_, *parser_, [this, self](beast::error_code ec, std::size_t) {
            if (ec == http::error::header_limit || ec == http::error::body_limit ||
                ec == http::error::buffer_overflow) {
                respond(431, "text/plain", "kivwatch: request too large\n", false, false, false);
                return;
            }
            if (ec)
                return; // closed, timed out, malformed: nothing more to say
            onRequest(parser_->release());
        });
    }

    void onRequest(http::request<http::string_body> request)
    {
        DashboardHttp::Request r;
        r.method = std::string_view(request.method_string().data(), request.method_string().size());
        r.target = std::string_view(request.target().data(), request.target().size());
        if (const auto it = request.find(http::field::host); it != request.end()) {
            r.host = std::string_view(it->value().data(), it->value().size());
            r.hasHost = true;
        }
        if (const auto it = request.find(http::field::origin); it != request.end()) {
            r.origin = std::string_view(it->value().data(), it->value().size());
            r.hasOrigin = true;
        }
        if (const auto it = request.find(http::field::authorization); it != request.end())
            r.authorization = std::string_view(it->value().data(), it->value().size());
        std::string cookies;
        for (auto [it, end] = request.equal_range(http::field::cookie); it != end; ++it)
            cookies += std::string(it->value()) + "; ";
        r.cookie = cookies;
        r.upgrade = websocket::is_upgrade(request);

        const DashboardHttp::Verdict verdict = DashboardHttp::check(r, server_.policy());
        const bool head = request.method() == http::verb::head;
        if (verdict.status != 200) {
            respond(verdict.status, "text/plain", std::string("kivwatch: ") + verdict.reason + "\n", false, head,
                    false);
            return;
        }
        using DashboardHttp::Route;
        switch (verdict.route) {
        case Route::Events: {
            auto feed = std::make_shared<WsSession>(server_, std::move(stream_));
            server_.remember(feed, true);
            feed->start(std::move(request));
            return;
        }
        case Route::Page:
            respond(200, "text/html; charset=utf-8", std::string(DashboardPage::page()), request.keep_alive(), head,
                    verdict.setCookie);
            return;
        case Route::Style:
            respond(200, "text/css; charset=utf-8", std::string(DashboardPage::style()), request.keep_alive(), head,
                    verdict.setCookie);
            return;
        case Route::Script:
            respond(200, "text/javascript; charset=utf-8", std::string(DashboardPage::script()), request.keep_alive(),
                    head, verdict.setCookie);
            return;
        case Route::Frames: {
            std::string document;
            {
                std::lock_guard<std::mutex> lock(server_.mutex_);
                document = server_.framesDocument();
            }
            respond(200, "application/json", std::move(document), request.keep_alive(), head, verdict.setCookie);
            return;
        }
        case Route::None:
            break;
        }
    }

    void respond(int status, const char* type, std::string body, bool keepAlive, bool head, bool setCookie)
    {
        auto response = std::make_shared<http::response<http::string_body>>(static_cast<http::status>(status), 11);
        response->set(http::field::server, "kivwatch");
        response->set(http::field::content_type, type);
        response->set(http::field::cache_control, "no-store");
        response->set("X-Content-Type-Options", "nosniff");
        response->set("X-Frame-Options", "DENY");
        response->set("Referrer-Policy", "no-referrer");
        response->set("Content-Security-Policy", PAGE_POLICY);
        if (status == 401)
            response->set(http::field::www_authenticate, "Bearer realm=\"kivwatch\"");
        if (setCookie)
            response->set(http::field::set_cookie, std::string(DashboardHttp::TOKEN_COOKIE) + "=" +
                                                       server_.config_.token + "; Path=/; HttpOnly; SameSite=Strict");
        response->keep_alive(keepAlive);
        response->content_length(body.size());
        if (!head)
            response->body() = std::move(body);
        stream_.expires_after(WRITE_TIMEOUT);
        auto self = shared_from_this();
        http::async_write(stream_, *response, [this, self, response](beast::error_code ec, std::size_t) {
            if (ec)
                return;
            if (!response->keep_alive()) {
                beast::error_code ignored;
                stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
                stream_.close();
                return;
            }
            read();
        });
    }

    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
};

Dashboard::Server::Server(DashboardConfig config) : config_(std::move(config))
{
    const std::string where = config_.address + ":" + std::to_string(config_.port);
    try {
        const tcp::endpoint endpoint(asio::ip::make_address_v4(config_.address), config_.port);
        acceptor_.open(endpoint.protocol());
        acceptor_.set_option(asio::socket_base::reuse_address(true));
        acceptor_.bind(endpoint);
        acceptor_.listen(asio::socket_base::max_listen_connections);
        port_ = acceptor_.local_endpoint().port();
    } catch (const boost::system::system_error& e) {
        throw DashboardException(__FILE__, __LINE__,
                                 "kivwatch: cannot serve the dashboard on " + where + ": " + e.code().message());
    }
    accept();
    thread_ = std::thread([this] {
        ioc_.run();
        ended_.set_value();
    });
}

Dashboard::Server::~Server()
{
    // The stop: the acceptor and every connection closed on the server
    // thread, whose io_context then runs out of work; should a handler still
    // hold it after a second, the io_context is stopped outright.
    std::future<void> ended = ended_.get_future();
    asio::post(ioc_, [this] { stopAll(); });
    if (ended.wait_for(std::chrono::seconds(1)) != std::future_status::ready)
        ioc_.stop();
    thread_.join();
    // Handlers that never ran are destroyed with the io_context, before the
    // tables their connections forget themselves from.
    feeds_.clear();
}

DashboardHttp::Policy Dashboard::Server::policy() const
{
    DashboardHttp::Policy p;
    p.address = config_.address;
    p.port = port_;
    p.token = config_.token;
    return p;
}

void Dashboard::Server::accept()
{
    acceptor_.async_accept([this](beast::error_code ec, tcp::socket socket) {
        if (stopping_ || ec == asio::error::operation_aborted)
            return;
        if (ec) {
            // Out of descriptors or the like: try again shortly rather than spin.
            retry_.expires_after(std::chrono::milliseconds(100));
            retry_.async_wait([this](beast::error_code waitError) {
                if (!waitError && !stopping_)
                    accept();
            });
            return;
        }
        if (clients_.load() >= config_.maxClients) {
            auto refusal = std::make_shared<Refusal>(*this, std::move(socket));
            remember(refusal, false);
            refusal->start();
        } else {
            auto session = std::make_shared<HttpSession>(*this, std::move(socket));
            remember(session, true);
            session->start();
        }
        accept();
    });
}

void Dashboard::Server::remember(const std::shared_ptr<Connection>& connection, bool counted)
{
    connections_[connection.get()] = {connection, counted};
    if (counted)
        ++clients_;
}

void Dashboard::Server::forget(Connection* connection)
{
    const auto it = connections_.find(connection);
    if (it == connections_.end())
        return;
    if (it->second.second)
        --clients_;
    connections_.erase(it);
}

void Dashboard::Server::stopAll()
{
    stopping_ = true;
    beast::error_code ignored;
    acceptor_.close(ignored);
    retry_.cancel();
    std::vector<std::shared_ptr<Connection>> open;
    for (auto& [pointer, entry] : connections_)
        if (auto connection = entry.first.lock())
            open.push_back(std::move(connection));
    for (const auto& connection : open)
        connection->abort();
    feeds_.clear();
}

void Dashboard::Server::join(const std::shared_ptr<WsSession>& feed)
{
    std::string lines;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lines = snapshotLines();
        feed->joinedAt = seq_;
    }
    feeds_.push_back(feed);
    feed->send(std::make_shared<const std::string>(std::move(lines)));
}

void Dashboard::Server::leave(WsSession* feed)
{
    for (auto it = feeds_.begin(); it != feeds_.end(); ++it)
        if (it->get() == feed) {
            // Kept alive until this handler returns: the caller is the feed itself.
            asio::post(ioc_, [keep = std::move(*it)] {});
            feeds_.erase(it);
            return;
        }
}

void Dashboard::Server::publishStart(const std::string& line)
{
    std::lock_guard<std::mutex> lock(mutex_);
    startLine_ = line;
}

void Dashboard::Server::publishRecords(std::vector<Record> records)
{
    if (records.empty())
        return;
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const Clock::time_point now = Clock::now();
        std::string text;
        for (Record& r : records) {
            text += r.line;
            if (r.kind == Kind::Poll) {
                pollLine_ = std::move(r.line);
                continue;
            }
            FrameModel& f = frames_[r.frameId];
            if (r.kind == Kind::Meter) {
                f.meterLine = std::move(r.line);
                f.lastMeter = now;
            } else {
                // A frame found again starts with no answer to be late for.
                if (r.kind == Kind::Found)
                    f.lastMeter = {};
                f.stateKind = r.kind;
                f.stateLine = std::move(r.line);
                f.since = now;
            }
        }
        ++seq_;
        if (inboxBytes_ + text.size() > config_.inboxBytes) {
            // The server thread is that far behind: rather than wait or grow,
            // every client is dropped and reconnects to a fresh snapshot.
            overflowed_ = true;
        } else {
            inboxBytes_ += text.size();
            inbox_.push_back({seq_, std::make_shared<const std::string>(std::move(text))});
        }
        wake = !wakePending_;
        wakePending_ = true;
    }
    if (wake)
        asio::post(ioc_, [this] { drain(); });
}

void Dashboard::Server::drain()
{
    std::deque<Batch> batches;
    bool overflowed = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        batches.swap(inbox_);
        inboxBytes_ = 0;
        overflowed = overflowed_;
        overflowed_ = false;
        wakePending_ = false;
    }
    if (stopping_)
        return;
    if (overflowed) {
        const auto feeds = feeds_;
        for (const auto& feed : feeds)
            feed->abort();
        return;
    }
    for (const Batch& batch : batches) {
        const auto feeds = feeds_; // a send may drop its client, and with it an entry
        for (const auto& feed : feeds)
            if (batch.seq > feed->joinedAt)
                feed->send(batch.text);
    }
}

std::string Dashboard::Server::snapshotLines() const
{
    std::string lines = startLine_;
    for (const auto& [id, f] : frames_) {
        lines += f.stateLine;
        lines += f.meterLine;
    }
    lines += pollLine_;
    return lines;
}

std::string Dashboard::Server::framesDocument() const
{
    auto parsed = [](const std::string& line) {
        return line.empty() ? Json(nullptr) : Json::parse(line, nullptr, false);
    };
    const Clock::time_point now = Clock::now();
    // Late: present, polled, and no answer for two periods and a second.
    const auto lateAfter = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(2 * config_.everySeconds + 1.0));
    Json doc;
    doc["start"] = parsed(startLine_);
    Json frames = Json::array();
    for (const auto& [id, f] : frames_) {
        if (f.stateLine.empty())
            continue; // meters of a frame whose record was not yet seen
        Json record = parsed(f.stateLine);
        Json o;
        o["frame"] = Rig::frameIdText(id);
        o["name"] = record.is_object() && record.contains("name") ? record["name"] : Json(nullptr);
        o["address"] = record.is_object() && record.contains("address") ? record["address"] : Json(nullptr);
        const char* state = "ok";
        if (f.stateKind == Kind::Lost)
            state = "lost";
        else if (f.stateKind == Kind::NeverSeen)
            state = "never_seen";
        else if (config_.everySeconds > 0 && now - std::max(f.since, f.lastMeter) > lateAfter)
            state = "late";
        o["state"] = state;
        o["record"] = std::move(record);
        o["meter"] = parsed(f.meterLine);
        frames.push_back(std::move(o));
    }
    doc["frames"] = std::move(frames);
    doc["poll"] = parsed(pollLine_);
    return doc.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

Dashboard::Dashboard(DashboardConfig config, const Rig::Inventory* inventory)
    : server_(std::make_unique<Server>(std::move(config))), inventory_(inventory)
{
}

Dashboard::~Dashboard() = default;

std::uint16_t Dashboard::port() const { return server_->port(); }
std::size_t Dashboard::clients() const { return server_->clients(); }
std::size_t Dashboard::dropped() const { return server_->dropped(); }
void Dashboard::publishStart(const std::string& line) { server_->publishStart(line); }
void Dashboard::publishRecords(std::vector<Record> records) { server_->publishRecords(std::move(records)); }

void Dashboard::publish(const std::vector<WatchState::Event>& events)
{
    std::vector<Record> records;
    records.reserve(events.size());
    for (const WatchState::Event& event : events)
        records.push_back({event.kind, event.frameId, jsonRecord(event, inventory_)});
    server_->publishRecords(std::move(records));
}
