#include "apps/kivcast/Application.h"
#include "apps/kivcast/Console.h"
#include "apps/kivcast/RunOptions.h"

#include "Morv/Message.h"
#include "Network/Enumerator.h"
#include "common/Exception.h"
#include "common/Platform.h"

#include <boost/asio/ip/address_v4.hpp>

#include <exception>

namespace {
constexpr int MAX_POLLS = 400;
constexpr unsigned POLL_MS = 100;

std::string tooLongMessage(std::size_t length)
{
    return (boost::format("The message is too long: %u characters, at most %u fit in one message\n") % length %
            Morv::MAX_KIV_TEXT_LENGTH)
        .str();
}

// Whether the text is the dotted IPv4 address of one of this computer's adapters.
bool isAddressOfThisComputer(const std::string& text)
{
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address_v4(text, error);
    if (error)
        return false;
    try {
        Network::Enumerator enumerator;
        enumerator.load();
        for (int i = 0; i < enumerator.count(); ++i) {
            const auto held = boost::asio::ip::make_address_v4(enumerator.adapter(i).ipAddress, error);
            if (!error && held == address)
                return true;
        }
    } catch (const Exception&) {
    }
    return false;
}

// A failure to start: the message, and for an address this computer does not
// have, which one it was and where the right one is found.
void reportStartFailure(Console::Writer& console, const std::string& message, const std::string& address)
{
    console.err(message + "\n");
    if (!isAddressOfThisComputer(address))
        console.err(boost::format("\"%s\" is not an IPv4 address of this computer; kivcast without arguments "
                                  "lists this computer's network adapters\n") %
                    address);
}

// The run proper; every line of it goes through the console writer.
int runWith(Console::Writer& console, const RunOptions& options)
{
    try {
        Application application(options.networkAddress, options.dynamicPorts, options.targetFrameId, console);
        console.out(boost::format("    KIV msg is \"%s\"\n\n") % options.message);

        const int sent = application.sendMessage(options.message);
        for (int poll = 0; poll < MAX_POLLS && application.requestsCompleted != sent; ++poll)
            Platform::sleepMs(POLL_MS);
        const int succeeded = application.messagesSucceeded;

        console.out(boost::format("\n%30s %i\n") % "# messages sent:" % sent);
        console.out(boost::format("%30s %i\n") % "# responses received:" % application.responsesReceived.load());
        console.out(boost::format("%30s %i\n") % "# messages succeeded:" % succeeded);
        if (succeeded < sent)
            console.out(boost::format("%30s %i\n") % "!!! # messages failed:" % (sent - succeeded));
        return options.targetFrameId != 0 && sent == 0 ? 1 : 0;
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
        return runWith(console, options);
    } catch (const std::exception& e) {
        // Not even the console's thread could start.
        Console::errNow(std::string(e.what()) + "\n");
        return 1;
    }
}
