#include "apps/kivcast/Application.h"
#include "apps/kivcast/CommandLine.h"
#include "apps/shared/Console.h"
#include "apps/kivcast/RunOptions.h"
#include "apps/shared/Adapters.h"
#include "apps/shared/FrameIds.h"

#include "Morv/Message.h"
#include "common/Diagnostics.h"
#include "common/Exception.h"
#include "common/Platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <set>

namespace {
constexpr int MAX_POLLS = 400;
constexpr unsigned POLL_MS = 100;

std::string tooLongMessage(std::size_t length)
{
    return (boost::format("The message is too long: %u characters, at most %u fit in one message\n") % length %
            Morv::MAX_KIV_TEXT_LENGTH)
        .str();
}

// A failure to start: the message, and for an address this computer does not
// have, which one it was and where the right one is found.
void reportStartFailure(Console::Writer& console, const std::string& message, const std::string& address)
{
    console.err(message + "\n");
    if (!Rig::isAddressOfThisComputer(address))
        console.err(boost::format("\"%s\" is not an IPv4 address of this computer; kivcast without arguments "
                                  "lists this computer's network adapters\n") %
                    address);
}

bool succeededOutcome(Outcome outcome)
{
    return outcome == Outcome::Succeeded || outcome == Outcome::Replied || outcome == Outcome::Meter;
}

// The scope of a run: the frames it may send to, and those it waits for in discovery.
RunScope scopeOf(const RunOptions& options)
{
    RunScope scope;
    scope.only.insert(options.frames.begin(), options.frames.end());
    scope.excluded.insert(options.exclude.begin(), options.exclude.end());
    if (options.framesGiven)
        scope.expected = scope.only;
    else if (options.inventory)
        for (const auto& entry : options.inventory->entries())
            scope.expected.insert(entry.frameId);
    for (const std::uint64_t id : scope.excluded)
        scope.expected.erase(id);
    scope.discovery = std::chrono::milliseconds(static_cast<long>(options.discoverSeconds * 1000.0 + 0.5));
    scope.message = options.message;
    return scope;
}

// Replaces `path` with the lines at once: written to a file beside it, then
// renamed over it, so a reader never sees half a list. False with the reason.
bool writeAtomically(const std::string& path, const std::string& text, std::string& problem)
{
    const std::string temporary = path + ".tmp" + std::to_string(Platform::tickCount());
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) {
        problem = std::strerror(errno);
        return false;
    }
    bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    int error = errno;
    if (std::fflush(file) != 0 && written) {
        written = false;
        error = errno;
    }
    if (std::fclose(file) != 0 && written) {
        written = false;
        error = errno;
    }
    std::error_code renameError;
    if (written)
        std::filesystem::rename(temporary, path, renameError);
    if (!written || renameError) {
        problem = written ? renameError.message() : std::string(std::strerror(error));
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

// What the run left to a script: the exit code under --strict, and the frames for --failed.
struct Verdict {
    bool missing = false; // a selected or inventory frame did not answer, or none did
    bool failed = false;  // a request ended otherwise than succeeded, replied or meter
    std::vector<std::uint64_t> retry; // every selected frame that did not succeed, in ID order
};

Verdict verdictOf(Application& application, const RunOptions& options)
{
    Verdict verdict;
    std::set<std::uint64_t> retry;
    const auto outcomes = application.outcomes();
    for (const auto& [id, outcome] : outcomes)
        if (!succeededOutcome(outcome)) {
            verdict.failed = true;
            retry.insert(id);
        }
    for (const std::uint64_t id : application.missingFrames()) {
        verdict.missing = true;
        const auto it = outcomes.find(id);
        if (it == outcomes.end() || !succeededOutcome(it->second))
            retry.insert(id);
    }
    if (application.framesFound() == 0) {
        verdict.missing = true;
        if (options.targetFrameId != 0)
            retry.insert(options.targetFrameId);
    }
    verdict.retry.assign(retry.begin(), retry.end());
    return verdict;
}

// The run proper; every line of it goes through the console writer.
int runWith(Console::Writer& console, const RunOptions& options)
{
    try {
        const auto reporter = options.json ? makeJsonReporter(console, options.inventory.get(), KIV_VERSION)
                                           : makeTextReporter(console, options.inventory.get());
        Application application(options.networkAddress, options.dynamicPorts, options.targetFrameId, console, {},
                                scopeOf(options), reporter.get());
        const bool scripted = options.json || options.strict || options.inventory;
        if (scripted && application.framesFound() == 0)
            console.err(Rig::noFrameHint(options.networkAddress, "kivcast.exe"));
        reporter->echo(options.message);

        const int sent = application.sendMessage(options.message);
        for (int poll = 0; poll < MAX_POLLS && application.requestsCompleted != sent; ++poll)
            Platform::sleepMs(POLL_MS);
        // When the time is up, what is still unanswered is reported as timed
        // out: every request has its line, and all of them precede the statistics.
        if (application.requestsCompleted != sent)
            application.endUnfinishedRequests();
        const int succeeded = application.messagesSucceeded;
        const Verdict verdict = verdictOf(application, options);
        reporter->statistics({sent, application.responsesReceived.load(), succeeded,
                              static_cast<int>(application.missingFrames().size())});

        int code = options.targetFrameId != 0 && sent == 0 ? 1 : 0;
        if (options.strict)
            code = verdict.missing ? 3 : verdict.failed ? 2 : 0;
        if (!options.failedPath.empty()) {
            std::string lines;
            for (const std::uint64_t id : verdict.retry)
                lines += Rig::frameIdText(id) + "\n";
            std::string problem;
            if (!writeAtomically(options.failedPath, lines, problem)) {
                console.err(boost::format("kivcast: cannot write %s: %s\n") % options.failedPath % problem);
                code = 1;
            }
        }
        return code;
    } catch (const Network::AddressInUseException& e) {
        console.err(e.message() + "\n");
        return 1;
    } catch (const Network::CouldNotCreateListenerException& e) {
        reportStartFailure(console, e.message(), options.networkAddress);
        return 1;
    } catch (const Exception& e) {
        console.err(e.message() + "\n");
        return 1;
    } catch (const Morv::KivMessageException&) {
        console.err(tooLongMessage(options.message.size()));
        return 1;
    } catch (const std::exception& e) {
        // A thread that could not start, memory that ran out: reported like the library's own failures.
        console.err(std::string(e.what()) + "\n");
        return 1;
    } catch (...) {
        console.err("kivcast failed with an unknown error\n");
        return 1;
    }
}

// A report that could not be written whole is a failed run: said on the other stream.
int checkOutput(Console::Writer& console, int code)
{
    console.flush();
    const std::string out = console.outFailure();
    const std::string err = console.errFailure();
    if (!out.empty())
        console.err("kivcast: cannot write standard output: " + out + "\n");
    if (!err.empty())
        console.out("kivcast: cannot write standard error: " + err + "\n");
    return out.empty() && err.empty() ? code : 1;
}
} // namespace

int runFlow(const RunOptions& options)
{
    Console::prepareFormatting();
    // A text that cannot fit one message is refused before anything is bound.
    if (options.message.size() > Morv::MAX_KIV_TEXT_LENGTH) {
        Console::errNow(tooLongMessage(options.message.size()));
        return 1;
    }
    try {
        // Destroyed last, so everything handed to it is written.
        Console::Writer console;
        // Failures of the engine's own threads keep their place among the report's lines.
        const Diagnostics::Route diagnostics([&console](const std::string& line) { console.err(line); });
        return checkOutput(console, runWith(console, options));
    } catch (const std::exception& e) {
        // Not even the console's thread could start.
        Console::errNow(std::string(e.what()) + "\n");
        return 1;
    }
}
