#include "apps/kivcast/Application.h"
#include "apps/kivcast/Console.h"
#include "apps/kivcast/RunOptions.h"

#include "Morv/Message.h"
#include "common/Exception.h"
#include "common/Platform.h"

namespace {
constexpr int MAX_POLLS = 400;
constexpr unsigned POLL_MS = 100;

std::string tooLongMessage(std::size_t length)
{
    return (boost::format("The message is too long: %u characters, at most %u fit in one message") % length %
            (Morv::MAX_MESSAGE_SIZE - Morv::HEADER_SIZE - Morv::CHECKSUM_SIZE - 1))
        .str();
}
} // namespace

int runFlow(const RunOptions& options)
{
    Console::prepareFormatting();
    // A text that cannot fit one message is refused before anything is bound.
    if (Morv::kivMessageSize(options.message.size()) > Morv::MAX_MESSAGE_SIZE) {
        Console::err(tooLongMessage(options.message.size()) + "\n");
        return 1;
    }
    try {
        Application application(options.networkAddress, options.dynamicPorts, options.targetFrameId);
        Console::out(boost::format("    KIV msg is \"%s\"\n\n") % options.message);

        const int sent = application.sendMessage(options.message);
        for (int poll = 0; poll < MAX_POLLS && application.requestsCompleted != sent; ++poll)
            Platform::sleepMs(POLL_MS);
        const int succeeded = application.messagesSucceeded;

        Console::out(boost::format("\n%30s %i\n") % "# messages sent:" % sent);
        Console::out(boost::format("%30s %i\n") % "# responses received:" % application.responsesReceived.load());
        Console::out(boost::format("%30s %i\n") % "# messages succeeded:" % succeeded);
        if (succeeded < sent)
            Console::out(boost::format("%30s %i\n") % "!!! # messages failed:" % (sent - succeeded));
        return options.targetFrameId != 0 && sent == 0 ? 1 : 0;
    } catch (const Exception& e) {
        Console::err(e.message() + "\n");
        return 1;
    } catch (const Morv::KivMessageException&) {
        Console::err(tooLongMessage(options.message.size()) + "\n");
        return 1;
    }
}
