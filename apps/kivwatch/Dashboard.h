#pragma once

// kivwatch --http: the dashboard's web server. It serves the embedded page,
// /api/frames (a snapshot as one JSON document) and /events (a WebSocket of
// the --json records, a snapshot first).
//
// Threads: the server runs on a thread and io_context of its own, which the
// constructor starts and the destructor stops and joins. publish() is called
// by the watch's loop: it updates the snapshot, hands the records to a
// bounded queue and wakes the server; it never waits for a client.

#include "apps/kivwatch/DashboardHttp.h"
#include "apps/kivwatch/WatchState.h"
#include "apps/shared/Inventory.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

struct DashboardConfig {
    std::string address = "127.0.0.1"; // dotted IPv4
    std::uint16_t port = 0;             // 0: one the system chooses
    std::string token;                  // empty: none asked for
    double everySeconds = 0;            // the poll period; 0: no polling (frames are then never late)
    std::chrono::milliseconds headerTimeout{10000}; // a request's head must arrive within it
    std::size_t headerLimit = 8192;     // bytes of a request's head
    std::size_t maxClients = 32;        // connections at once; the next one gets 503
    std::size_t clientQueueBytes = 8u << 20; // unsent bytes per WebSocket client before it is dropped
    std::size_t inboxBytes = 64u << 20;      // records not yet taken by the server thread
};

class Dashboard {
public:
    // Binds and starts serving; throws Exception when the address cannot be bound.
    explicit Dashboard(DashboardConfig config, const Rig::Inventory* inventory = nullptr);
    ~Dashboard();
    Dashboard(const Dashboard&) = delete;
    Dashboard& operator=(const Dashboard&) = delete;

    std::uint16_t port() const;

    // The watch's start record (one JSON line with its "\n"); sent first to every client.
    void publishStart(const std::string& line);
    // What happened since the last call, in order.
    void publish(const std::vector<WatchState::Event>& events);
    // Raw records, each one JSON line with its "\n": what publish() hands on. For tests and benchmarks.
    struct Record {
        WatchState::Event::Kind kind;
        std::uint64_t frameId = 0;
        std::string line;
    };
    void publishRecords(std::vector<Record> records);

    // Connections open now, and WebSocket clients dropped for not reading so far.
    std::size_t clients() const;
    std::size_t dropped() const;

private:
    class Server;
    std::unique_ptr<Server> server_;
    const Rig::Inventory* inventory_;
};
