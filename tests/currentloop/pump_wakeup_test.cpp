// When the current-loop pump thread runs: an idle pump sleeps while it is polled, and commands,
// operations and the poll time-out each bring its cycle, which rebuilds the reply the controller
// reads. "PumpSleepMs" is 100 ms: a pump cycling after every pause would cycle several times
// while the first test polls an idle one.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "cl_test_frames.h"
#include "platform/clock.h"

using namespace cltest;

namespace {

char StateLetter(const std::vector<uint8_t>& reply)
{
    return reply.size() == 32 ? static_cast<char>(reply[22]) : '?';
}

}  // namespace

TEST(ClPumpWakeup, PollsLeaveAnIdlePumpAsleepWhileCommandsAndOperationsWakeIt)
{
    Loop loop(1, 1);
    loop.settings.pump_sleep_ms = 100;
    ASSERT_EQ(0, loop.forecourt->CreatePump(0, loop.settings));
    CL_pump& pump = loop.Pump(0);
    ASSERT_EQ('E', StateLetter(loop.Ask(Poll(1))));
    ASSERT_TRUE(WaitFor([&] { return pump.GetState().online; })) << "the first poll wakes an offline pump";

    // (One cycle may still be due: the first poll can come before the thread's first cycle.)
    const uint64_t cycles = pump.CyclesRun();
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ('E', StateLetter(loop.Ask(Poll(1))));
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    EXPECT_LE(pump.CyclesRun() - cycles, 1u) << "a poll is answered from the reply record alone";

    // The reply to a command shows the state it found; the woken cycle brings the new one.
    EXPECT_EQ('E', StateLetter(loop.Ask(Poll(1, 'A'))));
    EXPECT_EQ('A', StateLetter(loop.AskUntil(Poll(1), [](const auto& r) { return r[22] == 'A'; })));

    pump.LiftNozzle(2);
    const std::vector<uint8_t> lifted = loop.AskUntil(Poll(1), [](const auto& r) { return r[22] == 'B'; });
    EXPECT_EQ('B', StateLetter(lifted));
    EXPECT_EQ('1', lifted[9]) << "nozzle 2";

    pump.HangUpNozzle();
    EXPECT_EQ('E', StateLetter(loop.AskUntil(Poll(1), [](const auto& r) { return r[22] == 'E'; })));
}

TEST(ClPumpWakeup, DeliveryCyclesAndAnUnpolledPumpDropsOutAtItsDeadline)
{
    Loop loop(1, 1, 1);
    loop.settings.pump_sleep_ms = 100;
    ASSERT_EQ(0, loop.forecourt->CreatePump(0, loop.settings));
    CL_pump& pump = loop.Pump(0);
    loop.line.Send(Prices('P', 150));  // no reply
    loop.Ask(Poll(1, 'A'));
    pump.LiftNozzle(1);
    loop.Ask(Preset(1, 99999, 0x20));  // authorises
    ASSERT_TRUE(WaitFor([&] { return pump.GetState().flow > 0; })) << "the authorisation woke the pump";
    AdvanceClockForTest(100);  // the next delivery step comes with the clock
    ASSERT_EQ('D', StateLetter(loop.AskUntil(Poll(1), [](const auto& r) { return r[22] == 'D'; })));

    // The controller falls silent: within two seconds the filling ends and the pump is offline.
    ASSERT_TRUE(WaitFor([&] { return pump.GetStatus() == 'E' && !pump.GetState().online; }));
    EXPECT_EQ(0.0, pump.GetState().flow);
    EXPECT_EQ('E', StateLetter(loop.Ask(Poll(1))));
}
