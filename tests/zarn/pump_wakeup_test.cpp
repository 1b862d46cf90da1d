// When the pump thread runs: an idle pump sleeps (also while the controller polls it), and a
// block, an operation, the poll deadline and a running delivery each bring its cycle. The pause
// "PumpSleepMs" is 100 ms: a pump cycling after every pause would run several cycles while these
// tests watch an idle one.
#include "zarn/pump_fixture.h"

using namespace pump_test;

namespace {

constexpr int kPauseMs = 100;

}  // namespace

class PumpWakeupTest : public PumpTest {};

TEST_F(PumpWakeupTest, AnIdlePumpSleepsWhileItIsPolledAndABlockWakesIt)
{
    settings_.pump_sleep_ms = kPauseMs;
    StartPump();
    DrainReplies();  // the DC1 of creation
    ASSERT_TRUE(WaitFor([&] { return State().online; })) << "the first POLL wakes an offline pump";

    const uint64_t cycles = pump_->CyclesRun();
    for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(PollOnce().empty()) << "EOT";
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
    EXPECT_EQ(pump_->CyclesRun(), cycles) << "a POLL is answered by the line alone";

    // A command wakes the pump, which carries it out.
    SendCommands(Cd1(kCd1Reset));
    const std::vector<Reply> replies = PollUntilStatus(kStatusReset);
    EXPECT_TRUE(HasDc1(replies, kStatusReset));
    EXPECT_GT(pump_->CyclesRun(), cycles);
}

TEST_F(PumpWakeupTest, OperationsWakeThePumpAndADeliveryCyclesUntilItEnds)
{
    settings_.pump_sleep_ms = kPauseMs;
    StartPump();
    SendCommands(Join({Cd2({1}), Cd5({150}), Cd3(100), Cd1(kCd1Authorize)}));
    PollUntilStatus(kStatusAuthorized);

    // Selecting and lifting make delivery possible: the woken cycle starts it.
    ASSERT_TRUE(pump_->SelectNozzle(1));
    pump_->LiftNozzle();
    ASSERT_TRUE(WaitFor([&] { return State().stopped == 0; })) << "the operation woke the pump";

    AdvanceClockForTest(100);
    PollUntilStatus(kStatusFilling);
    AdvanceClockForTest(60000);  // far beyond the preset of 1.00 litre
    ASSERT_TRUE(WaitFor([&] { return pump_->GetStatus() == kStatusMaxReached; }));
    EXPECT_EQ(State().volume_text, "1.00");
    AdvanceClockForTest(100);  // the cycle after the maximum completes the filling
    PollUntilStatus(kStatusFillingCompleted);

    // Completed and idle again: it sleeps.
    DrainReplies();
    ASSERT_TRUE(WaitFor([&] { return State().stopped == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(250));  // the last busy beats pass
    const uint64_t cycles = pump_->CyclesRun();
    for (int i = 0; i < 10; ++i) {
        PollOnce();
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    EXPECT_EQ(pump_->CyclesRun(), cycles);
}

TEST_F(PumpWakeupTest, APumpNoLongerPolledSwitchesOffAtItsDeadlineWithoutCyclingMeanwhile)
{
    settings_.pump_sleep_ms = 100;
    settings_.poll_timeout = 2;
    StartPump();
    SendCommands(Cd1(kCd1Reset));
    PollUntilStatus(kStatusReset);
    DrainReplies();
    ASSERT_TRUE(State().online);
    const uint64_t cycles = pump_->CyclesRun();

    // The controller falls silent: two to three seconds later the pump is switched off, by a
    // cycle at the deadline (and the one after the Reset block) instead of one every 100 ms.
    ASSERT_TRUE(WaitFor([&] { return pump_->GetStatus() == kStatusSwitchedOff; }));
    EXPECT_FALSE(State().online);
    EXPECT_LE(pump_->CyclesRun() - cycles, 7u);
    const std::vector<Reply> replies = PollUntilStatus(kStatusSwitchedOff);
    EXPECT_TRUE(WaitFor([&] { return State().online; })) << "polled again, online again";
}
