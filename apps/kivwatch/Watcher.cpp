#include "apps/kivwatch/ConsoleControl.h"
#include "apps/kivwatch/Dashboard.h"
#include "apps/kivwatch/Render.h"
#include "apps/kivwatch/WatchOptions.h"
#include "apps/kivwatch/WatchState.h"

#include "Morv/Message.h"
#include "Morv/MorvNetwork.h"
#include "Network/Server.h"
#include "apps/kivcast/Report.h"
#include "apps/shared/Adapters.h"
#include "apps/shared/Console.h"
#include "common/Diagnostics.h"
#include "common/Exception.h"

#include <boost/format.hpp>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint64_t SOURCE_ID = 1234567891;
// Inventory frames that have not answered by then are reported as never seen.
constexpr std::chrono::seconds NEVER_SEEN_AFTER{3};
// The loop's longest sleep: a stop request is seen within it.
constexpr std::chrono::milliseconds LOOP_TICK{50};
constexpr std::chrono::milliseconds REDRAW_EVERY{250};

enum class View { Json, Plain, Table };

View viewOf(const WatchOptions& options)
{
    if (options.output == WatchOptions::Output::Json)
        return View::Json;
    if (options.output == WatchOptions::Output::Table || ConsoleControl::isTerminal(stdout))
        return View::Table;
    return View::Plain;
}

bool colorOf(const WatchOptions& options)
{
    if (options.color == WatchOptions::Color::Always)
        return true;
    if (options.color == WatchOptions::Color::Never)
        return false;
    const char* noColor = std::getenv("NO_COLOR");
    return (noColor == nullptr || *noColor == '\0') && ConsoleControl::isTerminal(stdout);
}

// The table's screen: the alternate screen with the cursor hidden while it
// lives, the terminal's own screen and cursor back on destruction.
class Screen {
public:
    explicit Screen(Console::Writer& console) : console_(console) { console_.out("\x1b[?1049h\x1b[?25l\x1b[H\x1b[2J"); }
    ~Screen()
    {
        console_.out("\x1b[0m\x1b[?25h\x1b[?1049l");
        console_.flush();
    }
    Screen(const Screen&) = delete;
    Screen& operator=(const Screen&) = delete;

private:
    Console::Writer& console_;
};

// One watch: the engine, the state its events and answers update, and the
// loop that starts poll rounds and renders what happened.
class Watcher {
public:
    Watcher(const WatchOptions& options, Console::Writer& console)
        : options_(options),
          console_(console),
          view_(viewOf(options)),
          state_(options.inventory.get()),
          kivNetworkType_(options.dynamicPorts, &pyxNetworkType_)
    {
    }

    void run()
    {
        network_.emplace(kivNetworkType_, options_.networkAddress, nullptr, Morv::MorvNetwork::Discovery::StartLater);
        if (options_.httpPort)
            startDashboard();
        const Network::Server& server = network_->getServer();
        startRecord(server.localAddress(), server.localPort());
        // Subscribed before the first broadcast, so no frame is missed.
        const auto found = network_->onFrameFound().subscribe([this](std::uint64_t id) { onFound(id); });
        const auto lost = network_->onFrameLost().subscribe([this](std::uint64_t id) { state_.frameLost(id); });
        const auto changed = network_->onFrameChanged().subscribe([this](std::uint64_t id) { onChanged(id); });
        network_->startDiscovery();

        std::optional<Screen> screen;
        std::optional<ConsoleControl::VtMode> vtMode;
        if (view_ == View::Table) {
            vtMode.emplace();
            screen.emplace(console_);
        }
        loop();
        // The stop: the engine first (no handler runs after it), then what it
        // reported last, then the terminal's screen back.
        network_.reset();
        render(true);
    }

private:
    void onFound(std::uint64_t id)
    {
        anyFound_ = true;
        try {
            state_.frameFound(network_->frameInfo(id));
        } catch (const Morv::UnknownFrameIdException&) {
            // Aged out again before it could be looked up: its lost event follows.
        }
    }

    void onChanged(std::uint64_t id)
    {
        try {
            state_.frameChanged(network_->frameInfo(id));
        } catch (const Morv::UnknownFrameIdException&) {
        }
    }

    // The dashboard's server: on a thread of its own, fed by render() below.
    void startDashboard()
    {
        DashboardConfig config;
        config.address = options_.httpAddress;
        config.port = *options_.httpPort;
        config.token = options_.httpToken;
        config.maxClients = static_cast<std::size_t>(options_.httpClients);
        config.everySeconds = options_.meters.empty() ? 0 : options_.everySeconds;
        dashboard_.emplace(config, options_.inventory.get());
        console_.err((boost::format("kivwatch: dashboard on http://%s:%d/%s\n") % options_.httpAddress %
                      dashboard_->port() % (options_.httpToken.empty() ? "" : "?token=..."))
                         .str());
    }

    void startRecord(std::uint32_t address, std::uint16_t port)
    {
        if (view_ != View::Json && !dashboard_)
            return;
        nlohmann::ordered_json j;
        j["type"] = "start";
        j["t"] = localTimeStamp(std::chrono::system_clock::now());
        j["version"] = KIV_VERSION;
        j["address"] = dottedAddress(address);
        j["port"] = port;
        j["meters"] = options_.meters.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(options_.meters);
        j["every"] = options_.everySeconds;
        const std::string line = j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
        if (dashboard_)
            dashboard_->publishStart(line);
        if (view_ == View::Json)
            console_.out(line);
    }

    void loop()
    {
        const Clock::time_point start = Clock::now();
        const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options_.everySeconds));
        const std::optional<Clock::time_point> end =
            options_.durationSeconds
                ? std::optional<Clock::time_point>(start + std::chrono::duration_cast<Clock::duration>(
                                                               std::chrono::duration<double>(*options_.durationSeconds)))
                : std::nullopt;
        Clock::time_point nextRound = start + period;
        bool neverSeenDone = false;
        while (!ConsoleControl::stopRequested()) {
            const Clock::time_point now = Clock::now();
            if (end && now >= *end)
                break;
            if (!neverSeenDone && now >= start + NEVER_SEEN_AFTER) {
                state_.reportNeverSeen();
                neverSeenDone = true;
                // Nothing found in a discovery's time: say where to look, once.
                if (!anyFound_)
                    console_.err(Rig::noFrameHint(options_.networkAddress, "kivwatch.exe"));
            }
            if (!options_.meters.empty() && now >= nextRound) {
                pollRound();
                // Rounds keep their schedule; one that started too late does not make the next ones late.
                nextRound += period;
                if (nextRound <= Clock::now())
                    nextRound = Clock::now() + period;
            }
            render(false);
            Clock::time_point wake = now + LOOP_TICK;
            if (!options_.meters.empty())
                wake = std::min(wake, nextRound);
            std::this_thread::sleep_until(wake);
        }
    }

    void pollRound()
    {
        std::vector<std::uint64_t> ids;
        const std::uint64_t round = state_.startRound(ids);
        for (const std::uint64_t id : ids) {
            bool sent = false;
            try {
                const Morv::FrameInfo info = network_->frameInfo(id);
                Morv::KivMessage message(options_.meters, SOURCE_ID, kivNetworkType_.nodeType(), info.frameId,
                                         info.nodeType);
                sent = network_->send(info.frameId, message,
                                      [this, round](std::uint64_t frameId, const char* bytes, unsigned length,
                                                    Morv::ErrorCode code) {
                                          state_.pollEnded(round, frameId,
                                                           classifyResponse(bytes, length, code, options_.meters));
                                      });
            } catch (const Morv::UnknownFrameIdException&) {
            }
            if (!sent)
                state_.pollNotSent(round, id);
        }
        state_.sealRound(round);
    }

    // Hands what happened to the console; the table is redrawn when something
    // changed or its clock column is due, unless its previous drawing still waits.
    void render(bool last)
    {
        const std::vector<WatchState::Event> events = state_.takeEvents();
        if (dashboard_)
            dashboard_->publish(events);
        if (view_ != View::Table) {
            std::string block;
            for (const auto& event : events)
                block += view_ == View::Json ? jsonRecord(event, options_.inventory.get())
                                             : plainLine(event, options_.inventory.get());
            if (!block.empty())
                console_.out(std::move(block));
            return;
        }
        const Clock::time_point now = Clock::now();
        const auto size = ConsoleControl::terminalSize().value_or(ConsoleControl::Size{});
        const bool resized = size.width != lastSize_.width || size.height != lastSize_.height;
        if (!last && events.empty() && !resized && now - lastDraw_ < REDRAW_EVERY)
            return;
        if (!last && console_.unwritten() > 0)
            return;
        TableLayout layout;
        layout.width = size.width;
        layout.height = size.height;
        layout.color = colorOf(options_);
        layout.byId = options_.sort == WatchOptions::Sort::Id;
        layout.polling = !options_.meters.empty();
        console_.out(renderTable(state_.snapshot(), layout, now));
        lastDraw_ = now;
        lastSize_ = size;
    }

    const WatchOptions& options_;
    Console::Writer& console_;
    const View view_;
    WatchState state_;
    // Set by the engine's found event: whether any frame answered at all.
    std::atomic<bool> anyFound_{false};
    Morv::PyxNetworkType pyxNetworkType_;
    Morv::KivNetworkType kivNetworkType_;
    Clock::time_point lastDraw_{};
    ConsoleControl::Size lastSize_{0, 0};
    std::optional<Dashboard> dashboard_;
    std::optional<Morv::MorvNetwork> network_; // last: stopped first
};

int checkOutput(Console::Writer& console, int code)
{
    console.flush();
    const std::string out = console.outFailure();
    if (!out.empty())
        console.err("kivwatch: cannot write standard output: " + out + "\n");
    return out.empty() ? code : 1;
}

} // namespace

int runWatch(const WatchOptions& options)
{
    Console::prepareFormatting();
    ConsoleControl::installStopHandlers();
    try {
        Console::Writer console;
        const Diagnostics::Route diagnostics([&console](const std::string& line) { console.err(line); });
        int code = 0;
        try {
            Watcher watcher(options, console);
            watcher.run();
        } catch (const Network::AddressInUseException& e) {
            console.err(e.message() + "\nkivwatch: another program (kivcast, or a kivwatch already running) holds the port "
                                      "on that address; with -dynamic the system chooses a free one\n");
            code = 1;
        } catch (const Network::CouldNotCreateListenerException& e) {
            console.err(e.message() + "\n");
            if (!Rig::isAddressOfThisComputer(options.networkAddress))
                console.err((boost::format("\"%s\" is not an IPv4 address of this computer; kivwatch without arguments "
                                           "lists this computer's network adapters\n") %
                             options.networkAddress)
                                .str());
            code = 1;
        } catch (const Exception& e) {
            console.err(e.message() + "\n");
            code = 1;
        } catch (const std::exception& e) {
            console.err(std::string(e.what()) + "\n");
            code = 1;
        }
        return checkOutput(console, code);
    } catch (const std::exception& e) {
        Console::errNow(std::string(e.what()) + "\n");
        return 1;
    }
}
