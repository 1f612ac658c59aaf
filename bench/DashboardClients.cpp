// The dashboard benchmark's clients: N WebSocket clients of kivwatch's
// /events that read every message for S seconds, then print, per client and
// over all, the poll rounds and records received and how long after its own
// time stamp each round arrived. Run by bench/dashboard inside its namespace.
//   kiv_dashboard_clients PORT N SECONDS
#include <utility> // before Asio: Boost 1.74 uses std::exchange without it
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

// Milliseconds since 1970 of a record's "t" ("2026-12-10T21:04:05.123+01:00").
double stampMs(const std::string& t)
{
    std::tm tm{};
    tm.tm_year = std::stoi(t.substr(0, 4)) - 1900;
    tm.tm_mon = std::stoi(t.substr(5, 2)) - 1;
    tm.tm_mday = std::stoi(t.substr(8, 2));
    tm.tm_hour = std::stoi(t.substr(11, 2));
    tm.tm_min = std::stoi(t.substr(14, 2));
    tm.tm_sec = std::stoi(t.substr(17, 2));
    const double ms = std::stoi(t.substr(20, 3));
    const int sign = t[23] == '-' ? -1 : 1;
    const int offset = sign * (std::stoi(t.substr(24, 2)) * 60 + std::stoi(t.substr(27, 2)));
    return (static_cast<double>(timegm(&tm)) - offset * 60.0) * 1000.0 + ms;
}

double nowMs()
{
    return std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
}

struct Client : std::enable_shared_from_this<Client> {
    explicit Client(asio::io_context& ioc) : ws(ioc) {}
    websocket::stream<beast::tcp_stream> ws;
    beast::flat_buffer buffer;
    std::set<long> rounds;
    long records = 0;
    long messages = 0;
    double bytes = 0;
    double maxLagMs = 0;
    bool failed = false;
    std::string error;

    void read()
    {
        ws.async_read(buffer, [self = shared_from_this()](beast::error_code ec, std::size_t n) {
            if (ec) {
                if (ec != asio::error::operation_aborted) {
                    self->failed = true;
                    self->error = ec.message();
                }
                return;
            }
            const double received = nowMs();
            self->bytes += static_cast<double>(n);
            ++self->messages;
            const std::string text = beast::buffers_to_string(self->buffer.data());
            self->buffer.consume(n);
            const bool snapshot = self->messages == 1;
            std::size_t start = 0;
            while (start < text.size()) {
                const std::size_t end = text.find('\n', start);
                const std::string line = text.substr(start, end - start);
                start = end == std::string::npos ? text.size() : end + 1;
                ++self->records;
                if (snapshot || line.find("\"type\":\"poll\"") == std::string::npos)
                    continue;
                const auto j = nlohmann::json::parse(line);
                self->rounds.insert(j["round"].get<long>());
                self->maxLagMs = std::max(self->maxLagMs, received - stampMs(j["t"].get<std::string>()));
            }
            self->read();
        });
    }
};

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: kiv_dashboard_clients PORT N SECONDS\n");
        return 2;
    }
    const std::string port = argv[1];
    const int n = std::stoi(argv[2]);
    const double seconds = std::stod(argv[3]);
    asio::io_context ioc;
    std::vector<std::shared_ptr<Client>> clients;
    const tcp::endpoint endpoint(asio::ip::make_address_v4("127.0.0.1"), static_cast<unsigned short>(std::stoi(port)));
    for (int i = 0; i < n; ++i) {
        auto c = std::make_shared<Client>(ioc);
        beast::get_lowest_layer(c->ws).connect(endpoint);
        c->ws.set_option(websocket::stream_base::decorator([port](websocket::request_type& r) {
            r.set(beast::http::field::origin, "http://127.0.0.1:" + port);
        }));
        try {
            c->ws.handshake("127.0.0.1:" + port, "/events");
        } catch (const boost::system::system_error& e) {
            std::fprintf(stderr, "kiv_dashboard_clients: client %d: %s\n", i + 1, e.what());
            return 1;
        }
        c->read();
        clients.push_back(c);
    }
    ioc.run_for(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(seconds)));
    long minRounds = -1, maxRounds = 0, first = -1, last = -1;
    double maxLag = 0, bytes = 0;
    int failed = 0;
    for (const auto& c : clients) {
        const long count = static_cast<long>(c->rounds.size());
        minRounds = minRounds < 0 ? count : std::min(minRounds, count);
        maxRounds = std::max(maxRounds, count);
        if (!c->rounds.empty()) {
            first = first < 0 ? *c->rounds.begin() : std::max(first, *c->rounds.begin());
            last = last < 0 ? *c->rounds.rbegin() : std::min(last, *c->rounds.rbegin());
        }
        // Gaps: a round missing between a client's first and last.
        if (!c->rounds.empty() && *c->rounds.rbegin() - *c->rounds.begin() + 1 != count) {
            std::fprintf(stderr, "client missed rounds: %ld of %ld..%ld\n", count, *c->rounds.begin(),
                         *c->rounds.rbegin());
            ++failed;
        }
        maxLag = std::max(maxLag, c->maxLagMs);
        bytes += c->bytes;
        if (c->failed) {
            std::fprintf(stderr, "client dropped: %s\n", c->error.c_str());
            ++failed;
        }
    }
    std::printf("clients:                  %d (%d dropped or missing rounds)\n", n, failed);
    std::printf("rounds per client:        %ld to %ld, each without a gap\n", minRounds, maxRounds);
    std::printf("round to client, at most: %.0f ms after its time stamp\n", maxLag);
    std::printf("received by all clients:  %.1f MB\n", bytes / 1e6);
    return failed == 0 ? 0 : 1;
}
