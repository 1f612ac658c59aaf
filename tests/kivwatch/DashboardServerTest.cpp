// The dashboard's server over real sockets, in the test's private namespace:
// the security rules as one table of requests on the wire, the client limit,
// a client that never reads, a client that sends its head too slowly, and
// the feed: the snapshot first, then every record once, in order.
#include "apps/kivwatch/Dashboard.h"

// g++ 12 under -fsanitize=address sees Beast's response parser (the
// WebSocket client's handshake) read an empty boost::optional it never reads.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Kind = WatchState::Event::Kind;
using namespace std::chrono_literals;

const std::string TOKEN = "s3cret-token";

// A plain TCP client with a receive timeout, so that no case can hang.
class RawClient {
public:
    explicit RawClient(std::uint16_t port, int receiveBuffer = 0)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        timeval tv{5, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        if (receiveBuffer > 0)
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~RawClient() { ::close(fd_); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return connected_; }
    void send(const std::string& text) { ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL); }
    // Everything until the server closes (or 5 s pass); of an accepted upgrade, its head.
    std::string readAll()
    {
        std::string all;
        char buffer[65536];
        ssize_t n;
        while ((n = ::recv(fd_, buffer, sizeof buffer, 0)) > 0) {
            all.append(buffer, static_cast<std::size_t>(n));
            if (all.rfind("HTTP/1.1 101 ", 0) == 0 && all.find("\r\n\r\n") != std::string::npos)
                return all;
        }
        closedByServer_ = n == 0;
        return all;
    }
    bool closedByServer() const { return closedByServer_; }

private:
    int fd_ = -1;
    bool connected_ = false;
    bool closedByServer_ = false;
};

int statusOf(const std::string& response)
{
    return response.size() >= 12 && response.rfind("HTTP/1.1 ", 0) == 0 ? std::stoi(response.substr(9, 3)) : 0;
}

std::string bodyOf(const std::string& response)
{
    const std::size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : response.substr(end + 4);
}

std::string request(std::uint16_t port, const std::string& text)
{
    RawClient client(port);
    client.send(text);
    return client.readAll();
}

std::string upgradeHead(const std::string& target, const std::string& host, const std::string& extra)
{
    return "GET " + target + " HTTP/1.1\r\nHost: " + host +
           "\r\nConnection: Upgrade\r\nUpgrade: websocket\r\nSec-WebSocket-Version: 13\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n" +
           extra + "\r\n";
}

// A WebSocket client of /events that reads with a timeout.
class FeedClient {
public:
    FeedClient(std::uint16_t port, const std::string& cookie) : ws_(ioc_)
    {
        ws_.next_layer().connect(tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), port));
        timeval tv{10, 0};
        ::setsockopt(ws_.next_layer().native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ws_.set_option(websocket::stream_base::decorator([cookie, port](websocket::request_type& r) {
            r.set(beast::http::field::cookie, cookie);
            r.set(beast::http::field::origin, "http://127.0.0.1:" + std::to_string(port));
        }));
        ws_.handshake("127.0.0.1:" + std::to_string(port), "/events");
    }
    // One message's NDJSON lines, parsed.
    std::vector<nlohmann::json> next()
    {
        beast::flat_buffer buffer;
        ws_.read(buffer);
        std::vector<nlohmann::json> records;
        std::string text = beast::buffers_to_string(buffer.data());
        std::size_t start = 0;
        while (start < text.size()) {
            const std::size_t end = text.find('\n', start);
            records.push_back(nlohmann::json::parse(text.substr(start, end - start)));
            start = end + 1;
        }
        return records;
    }

private:
    asio::io_context ioc_;
    websocket::stream<tcp::socket> ws_;
};

Dashboard::Record record(Kind kind, std::uint64_t frame, const nlohmann::json& fields)
{
    return {kind, frame, fields.dump() + "\n"};
}

TEST(DashboardServer, RefusesWhatTheSecurityRulesRefuseOnTheWire)
{
    DashboardConfig config;
    config.token = TOKEN;
    config.headerTimeout = 500ms;
    Dashboard dashboard(config);
    const std::uint16_t port = dashboard.port();
    const std::string host = "127.0.0.1:" + std::to_string(port);
    const std::string cookie = "Cookie: kivwatch_token=" + TOKEN + "\r\n";
    auto get = [&host](const std::string& target, const std::string& extra = "") {
        return "GET " + target + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n" + extra + "\r\n";
    };
    struct Case {
        const char* what;
        std::string request;
        int status;
        const char* inResponse; // a part of the response that must be there
    };
    const Case cases[] = {
        {"no token", get("/"), 401, "needs its token"},
        {"a wrong token", get("/?token=s3cret-tokem"), 401, ""},
        {"a wrong token as a cookie", get("/", "Cookie: kivwatch_token=nope-nope-nope\r\n"), 401, ""},
        {"the token on the first visit sets the cookie", get("/?token=" + TOKEN), 200,
         "Set-Cookie: kivwatch_token=s3cret-token; Path=/; HttpOnly; SameSite=Strict"},
        {"the cookie", get("/dashboard.js", cookie), 200, "text/javascript"},
        {"a bearer token", get("/api/frames", "Authorization: Bearer " + TOKEN + "\r\n"), 200, "\"frames\":[]"},
        {"a foreign Host", "GET / HTTP/1.1\r\nHost: rebound.example:" + std::to_string(port) + "\r\n" + cookie + "\r\n", 403,
         "another server"},
        {"no Host", "GET / HTTP/1.1\r\n" + cookie + "\r\n", 400, ""},
        {"a WebSocket from a foreign Origin", upgradeHead("/events", host, cookie + "Origin: http://evil.example\r\n"), 403,
         "another site"},
        {"a WebSocket without the token", upgradeHead("/events", host, "Origin: http://" + host + "\r\n"), 401, ""},
        {"a WebSocket from its own page", upgradeHead("/events", host, cookie + "Origin: http://" + host + "\r\n"), 101,
         "Upgrade: websocket"},
        {"a path up and out", get("/../../../../etc/passwd", cookie), 404, "no such page"},
        {"an encoded path up and out", get("/%2e%2e/%2e%2e/%2e%2e/etc/passwd", cookie), 404, "no such page"},
        {"a file of the source tree", get("/page/dashboard.js", cookie), 404, ""},
        {"a method that writes", "DELETE / HTTP/1.1\r\nHost: " + host + "\r\n" + cookie + "\r\n", 405, ""},
        {"a head larger than the limit", get("/", cookie + "X-Padding: " + std::string(9000, 'x') + "\r\n"), 431, ""},
    };
    for (const Case& c : cases) {
        const std::string response = request(port, c.request);
        EXPECT_EQ(statusOf(response), c.status) << c.what << "\n" << response.substr(0, 300);
        EXPECT_NE(response.find(c.inResponse), std::string::npos) << c.what << "\n" << response.substr(0, 300);
        if (c.status != 200 && c.status != 101) {
            EXPECT_EQ(response.find("root:"), std::string::npos) << c.what;
        }
    }

    // A client that sends its head slowly is dropped at the header timeout, unanswered.
    RawClient slow(port);
    slow.send("GET / HTTP/1.1\r\nHost: " + host + "\r\n");
    std::this_thread::sleep_for(200ms);
    slow.send(cookie);
    EXPECT_EQ(slow.readAll(), "");
    EXPECT_TRUE(slow.closedByServer());
}

TEST(DashboardServer, The33rdClientIsTurnedAwayUntilASlotIsFree)
{
    DashboardConfig config;
    Dashboard dashboard(config);
    const std::uint16_t port = dashboard.port();
    const std::string get = "GET /api/frames HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                            "\r\nConnection: close\r\n\r\n";
    std::vector<std::unique_ptr<RawClient>> holders;
    for (int i = 0; i < 32; ++i) {
        holders.push_back(std::make_unique<RawClient>(port));
        ASSERT_TRUE(holders.back()->connected());
    }
    for (int i = 0; i < 100 && dashboard.clients() < 32; ++i)
        std::this_thread::sleep_for(20ms);
    ASSERT_EQ(dashboard.clients(), 32u);
    const std::string refused = request(port, get);
    EXPECT_EQ(statusOf(refused), 503) << refused;

    holders.pop_back();
    for (int i = 0; i < 100 && dashboard.clients() > 31; ++i)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(statusOf(request(port, get)), 200);
}

TEST(DashboardServer, SendsTheSnapshotFirstThenEveryRecordOnceAndServesTheSameSnapshotAsOneDocument)
{
    DashboardConfig config;
    Dashboard dashboard(config);
    const std::uint16_t port = dashboard.port();
    dashboard.publishStart(nlohmann::json{{"type", "start"}, {"every", 2}}.dump() + "\n");
    dashboard.publishRecords({
        record(Kind::Found, 1, {{"type", "found"}, {"frame", "1"}, {"name", "Left"}}),
        record(Kind::Meter, 1, {{"type", "meter"}, {"frame", "1"}, {"n", 1}}),
        record(Kind::Meter, 1, {{"type", "meter"}, {"frame", "1"}, {"n", 2}}),
        record(Kind::Found, 2, {{"type", "found"}, {"frame", "2"}}),
        record(Kind::Lost, 2, {{"type", "lost"}, {"frame", "2"}}),
        record(Kind::Poll, 0, {{"type", "poll"}, {"round", 1}}),
    });

    FeedClient feed(port, "");
    const auto snapshot = feed.next();
    std::vector<std::string> seen;
    for (const auto& r : snapshot)
        seen.push_back(r["type"].get<std::string>() + (r.contains("frame") ? " " + r["frame"].get<std::string>() : "") +
                       (r.contains("n") ? " " + std::to_string(r["n"].get<int>()) : ""));
    EXPECT_EQ(seen, (std::vector<std::string>{"start", "found 1", "meter 1 2", "lost 2", "poll"}));

    for (int n = 3; n < 103; ++n)
        dashboard.publishRecords({record(Kind::Meter, 1, {{"type", "meter"}, {"frame", "1"}, {"n", n}})});
    int expected = 3;
    while (expected < 103) {
        for (const auto& r : feed.next())
            EXPECT_EQ(r["n"].get<int>(), expected++);
    }

    const std::string response =
        request(port, "GET /api/frames HTTP/1.1\r\nHost: localhost:" + std::to_string(port) + "\r\nConnection: close\r\n\r\n");
    ASSERT_EQ(statusOf(response), 200);
    const auto doc = nlohmann::json::parse(bodyOf(response));
    EXPECT_EQ(doc["start"]["type"], "start");
    ASSERT_EQ(doc["frames"].size(), 2u);
    EXPECT_EQ(doc["frames"][0]["name"], "Left");
    EXPECT_EQ(doc["frames"][0]["state"], "ok");
    EXPECT_EQ(doc["frames"][0]["meter"]["n"], 102);
    EXPECT_EQ(doc["frames"][1]["state"], "lost");
    EXPECT_TRUE(doc["frames"][1]["meter"].is_null());
    EXPECT_EQ(doc["poll"]["round"], 1);
}

TEST(DashboardServer, DropsAClientThatNeverReadsWithoutHoldingUpThePublisherOrTheOtherClients)
{
    DashboardConfig config;
    config.clientQueueBytes = 256 * 1024;
    Dashboard dashboard(config);
    const std::uint16_t port = dashboard.port();
    const std::string host = "127.0.0.1:" + std::to_string(port);

    // The sleeper upgrades and then never reads a byte; its receive buffer is small.
    RawClient sleeper(port, 4096);
    sleeper.send(upgradeHead("/events", host, "Origin: http://" + host + "\r\n"));
    FeedClient reader(port, "");
    reader.next(); // the (empty) snapshot
    for (int i = 0; i < 100 && dashboard.clients() < 2; ++i)
        std::this_thread::sleep_for(20ms);
    ASSERT_EQ(dashboard.clients(), 2u);

    // 4 MB of records, far beyond what the sleeper's queue and socket hold.
    const std::string padding(4000, 'p');
    const int batches = 1000;
    std::thread publisher([&] {
        for (int n = 0; n < batches; ++n) {
            dashboard.publishRecords({record(Kind::Meter, 1, {{"type", "meter"}, {"n", n}, {"pad", padding}})});
            if (n % 50 == 0)
                std::this_thread::sleep_for(5ms); // a show's pace, in bursts: the reader keeps up
        }
    });
    int expected = 0;
    while (expected < batches) {
        for (const auto& r : reader.next())
            ASSERT_EQ(r["n"].get<int>(), expected++);
    }
    publisher.join();
    EXPECT_EQ(dashboard.dropped(), 1u);
    for (int i = 0; i < 100 && dashboard.clients() > 1; ++i)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(dashboard.clients(), 1u);
}

} // namespace
