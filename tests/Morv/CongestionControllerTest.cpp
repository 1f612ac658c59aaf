#include "Morv/CongestionController.h"
#include "Morv/Types.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

using Morv::CongestionController;
using namespace std::chrono_literals;

namespace {

// Long enough for any thread switch on a loaded machine; only failures wait this long.
constexpr auto PATIENCE = 5s;

// A task that reports, once, the thread it ran on.
struct ProbeTask {
    std::shared_ptr<std::promise<std::thread::id>> ran = std::make_shared<std::promise<std::thread::id>>();
    std::future<std::thread::id> future = ran->get_future();

    std::function<void()> task()
    {
        return [ran = ran] { ran->set_value(std::this_thread::get_id()); };
    }
    bool hasRun() { return future.wait_for(0s) == std::future_status::ready; }
    bool runsWithin(std::chrono::milliseconds limit) { return future.wait_for(limit) == std::future_status::ready; }
};

const std::function<void()> noTimeoutExpected = [] { ADD_FAILURE() << "unexpected wait timeout"; };

} // namespace

TEST(CongestionController, FreshControllerAdmitsAtOnceAndAckOpensTheWindow)
{
    CongestionController cc;
    ProbeTask probe;
    ASSERT_TRUE(cc.submit(52, probe.task(), noTimeoutExpected));
    ASSERT_TRUE(probe.hasRun()) << "an admitted request runs before submit returns";
    EXPECT_EQ(probe.future.get(), std::this_thread::get_id());
    EXPECT_EQ(cc.bytesInFlight(), 52U);

    cc.onAck(52);
    EXPECT_EQ(cc.window(), 1100U);
    EXPECT_EQ(cc.bytesInFlight(), 0U);
    EXPECT_EQ(cc.threshold(), 65536U);
}

TEST(CongestionController, ElevenAcksInSlowStartAddAStepEach)
{
    CongestionController cc;
    for (int i = 0; i < 11; ++i)
        cc.onAck(0);
    EXPECT_EQ(cc.window(), 6600U);
    EXPECT_EQ(cc.threshold(), 65536U);
}

TEST(CongestionController, WindowArithmetic)
{
    enum Op { Ack, Loss };
    struct Case {
        const char* name;
        std::uint32_t inFlight, window, threshold;
        Op op;
        std::uint32_t size;
        std::uint32_t expectInFlight, expectWindow, expectThreshold;
    };
    const Case cases[] = {
        {"slow start below the threshold", 52, 550, 65536, Ack, 52, 0, 1100, 65536},
        {"additive at the threshold itself", 0, 65536, 65536, Ack, 0, 0, 65540, 65536},
        {"additive above the threshold", 0, 70000, 65536, Ack, 0, 0, 70004, 65536},
        {"additive step falls to zero past 302500", 0, 302501, 65536, Ack, 0, 0, 302501, 65536},
        {"ack larger than bytes in flight clamps to zero", 40, 550, 65536, Ack, 100, 0, 1100, 65536},
        {"loss halves to the floor and raises the threshold", 0, 1000, 65536, Loss, 0, 0, 550, 1100},
        {"loss halves and sets the threshold", 0, 4000, 65536, Loss, 0, 0, 2000, 2000},
        {"loss at the floor stays there", 0, 550, 1100, Loss, 0, 0, 550, 1100},
        {"loss larger than bytes in flight clamps to zero", 40, 4000, 65536, Loss, 100, 0, 2000, 2000},
        {"loss releases its bytes", 3000, 8000, 65536, Loss, 1000, 2000, 4000, 4000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CongestionController cc;
        cc.setStateForTest(c.inFlight, c.window, c.threshold);
        if (c.op == Ack)
            cc.onAck(c.size);
        else
            cc.onLoss(c.size);
        EXPECT_EQ(cc.bytesInFlight(), c.expectInFlight);
        EXPECT_EQ(cc.window(), c.expectWindow);
        EXPECT_EQ(cc.threshold(), c.expectThreshold);
    }
}

TEST(CongestionController, QueuedRequestRunsOnTheWaitThreadOnceBytesAreReleased)
{
    CongestionController cc;
    ProbeTask first;
    ASSERT_TRUE(cc.submit(520, first.task(), noTimeoutExpected));
    ASSERT_TRUE(first.hasRun());

    ProbeTask second;
    ASSERT_TRUE(cc.submit(40, second.task(), noTimeoutExpected)) << "a queued request is accepted";
    EXPECT_FALSE(second.hasRun()) << "520 + 40 exceeds the 550-byte window";
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(second.hasRun()) << "nothing released yet";

    cc.onAck(520);
    ASSERT_TRUE(second.runsWithin(PATIENCE));
    EXPECT_NE(second.future.get(), std::this_thread::get_id());
    EXPECT_EQ(cc.bytesInFlight(), 40U);
}

TEST(CongestionController, OversizedRequestGoesAloneButWaitsBehindOthers)
{
    {
        CongestionController cc;
        ProbeTask alone;
        ASSERT_TRUE(cc.submit(2000, alone.task(), noTimeoutExpected));
        EXPECT_TRUE(alone.hasRun()) << "nothing in flight: admitted whatever its size";
        EXPECT_EQ(cc.bytesInFlight(), 2000U);
    }
    {
        CongestionController cc;
        ProbeTask small;
        ASSERT_TRUE(cc.submit(52, small.task(), noTimeoutExpected));
        ProbeTask large;
        ASSERT_TRUE(cc.submit(2000, large.task(), noTimeoutExpected));
        std::this_thread::sleep_for(30ms);
        EXPECT_FALSE(large.hasRun()) << "held while 52 bytes are in flight";
        cc.onAck(52);
        ASSERT_TRUE(large.runsWithin(PATIENCE));
        EXPECT_EQ(cc.bytesInFlight(), 2000U);
    }
}

TEST(CongestionController, DisabledControllerRefusesAndDropsWaits)
{
    // submit refuses without running the task, and lets go of it.
    {
        CongestionController cc;
        cc.disable();
        auto owned = std::make_shared<int>(0);
        bool ran = false;
        EXPECT_FALSE(cc.submit(52, [owned, &ran] { ran = true; }, noTimeoutExpected));
        EXPECT_FALSE(ran);
        EXPECT_EQ(owned.use_count(), 1) << "the refused task is destroyed";
        EXPECT_EQ(cc.bytesInFlight(), 0U);
    }
    // A wait in progress returns false at its next poll; so does a queued send.
    {
        CongestionController cc;
        ASSERT_TRUE(cc.submit(550, [] {}, noTimeoutExpected));
        ProbeTask queued;
        ASSERT_TRUE(cc.submit(100, queued.task(), noTimeoutExpected));
        auto direct = std::async(std::launch::async, [&cc] { return cc.tryAcquire(100); });
        std::this_thread::sleep_for(20ms);
        cc.disable();
        ASSERT_EQ(direct.wait_for(PATIENCE), std::future_status::ready);
        EXPECT_FALSE(direct.get());
        std::this_thread::sleep_for(30ms);
        EXPECT_FALSE(queued.hasRun());
        EXPECT_EQ(cc.bytesInFlight(), 550U) << "dropped waits add nothing";
    }
}

TEST(CongestionController, WaitTimeoutIsReportedOnceAndTheWaitThreadCarriesOn)
{
    CongestionController cc(20);
    ASSERT_TRUE(cc.submit(520, [] {}, noTimeoutExpected));

    // tryAcquire itself throws, with the place and the message.
    try {
        cc.tryAcquire(100);
        ADD_FAILURE() << "tryAcquire should have timed out";
    } catch (const Morv::CongestionWaitTimeoutException& e) {
        EXPECT_EQ(e.file(), "Morv/CongestionController");
        EXPECT_EQ(e.line(), 141);
        EXPECT_EQ(e.message(), "A timeout occured when attempting to communicate on the network");
    }

    // A queued send that times out reports through onWaitTimeout instead of
    // running. The report releases the bytes here, so the send queued behind
    // it is admitted at its first poll: the wait thread must still serve it.
    std::atomic<int> timeouts{0};
    ProbeTask timedOut;
    ASSERT_TRUE(cc.submit(100, timedOut.task(), [&] {
        ++timeouts;
        cc.onAck(520);
    }));
    ProbeTask later;
    ASSERT_TRUE(cc.submit(100, later.task(), noTimeoutExpected));

    ASSERT_TRUE(later.runsWithin(PATIENCE));
    EXPECT_NE(later.future.get(), std::this_thread::get_id());
    EXPECT_EQ(timeouts.load(), 1);
    EXPECT_FALSE(timedOut.hasRun());
    EXPECT_EQ(cc.bytesInFlight(), 100U);
}

TEST(CongestionController, DestructionEndsAWaitInProgress)
{
    auto cc = std::make_unique<CongestionController>();
    ASSERT_TRUE(cc->submit(550, [] {}, noTimeoutExpected));
    ProbeTask queued;
    ASSERT_TRUE(cc->submit(100, queued.task(), noTimeoutExpected));
    std::this_thread::sleep_for(20ms);
    auto destroyed = std::async(std::launch::async, [&cc] { cc.reset(); });
    ASSERT_EQ(destroyed.wait_for(PATIENCE), std::future_status::ready) << "destruction waits for a 600 s poll limit";
    EXPECT_FALSE(queued.hasRun());
}
