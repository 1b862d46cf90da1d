// When the pump thread runs: an idle pump sleeps (also while the controller polls it), and a
// block, an operation, the poll deadline and a running delivery each bring its cycle. The pause
// "PumpSleepMs" is set to a minute where only a wake-up can explain a prompt answer.
#include "zarn/pump_fixture.h"

using namespace pump_test;

namespace {

const std::map<std::string, std::string> kMinutePause{{"PumpSleepMs", "60000"}};

}  // namespace

class PumpWakeupTest : public PumpTest {};

TEST_F(PumpWakeupTest, AnIdlePumpSleepsWhileItIsPolledAndABlockWakesIt)
{
    StartPump(kMinutePause);
    DrainReplies();  // the DC1 of creation
    ASSERT_TRUE(WaitFor([&] { return State().online; })) << "the first POLL wakes an offline pump";

    const uint64_t cycles = pump_->CyclesRun();
    for (int i = 0; i < 20; ++i)
        EXPECT_TRUE(PollOnce().empty()) << "EOT";
    EXPECT_EQ(pump_->CyclesRun(), cycles) << "a POLL is answered by the line alone";

    // A command is carried out at once, not a minute later.
    SendCommands(Cd1(kCd1Reset));
    const std::vector<Reply> replies = PollUntilStatus(kStatusReset);
    EXPECT_TRUE(HasDc1(replies, kStatusReset));
    EXPECT_GT(pump_->CyclesRun(), cycles);
}

TEST_F(PumpWakeupTest, OperationsWakeThePumpAndADeliveryCyclesUntilItEnds)
{
    StartPump(kMinutePause);
    SendCommands(Join({Cd2({1}), Cd5({150}), Cd3(100), Cd1(kCd1Authorize)}));
    PollUntilStatus(kStatusAuthorized);

    // Selecting and lifting make delivery possible: the woken cycle starts it.
    ASSERT_TRUE(pump_->SelectNozzle(1));
    pump_->LiftNozzle();
    ASSERT_TRUE(WaitFor([&] { return State().stopped == 0; })) << "the operation woke the pump";

    // From here the cycle would come every minute; the clock jump brings the next one.
    AdvanceClockForTest(100);
    PollUntilStatus(kStatusFilling);
    AdvanceClockForTest(60000);  // far beyond the preset of 1.00 litre
    ASSERT_TRUE(WaitFor([&] { return pump_->GetStatus() == kStatusMaxReached; }));
    EXPECT_EQ(State().filled_volume, "1.00");
    AdvanceClockForTest(100);  // the cycle after the maximum completes the filling
    PollUntilStatus(kStatusFillingCompleted);

    // Completed and idle again: it sleeps.
    DrainReplies();
    const uint64_t cycles = pump_->CyclesRun();
    for (int i = 0; i < 10; ++i)
        PollOnce();
    EXPECT_EQ(pump_->CyclesRun(), cycles);
}

TEST_F(PumpWakeupTest, APumpNoLongerPolledSwitchesOffAtItsDeadlineWithoutCyclingMeanwhile)
{
    StartPump({{"PumpSleepMs", "60000"}, {"PollTimeout", "1"}});
    SendCommands(Cd1(kCd1Reset));
    PollUntilStatus(kStatusReset);
    DrainReplies();
    ASSERT_TRUE(State().online);

    // The controller falls silent: one to two seconds later the pump is switched off.
    ASSERT_TRUE(WaitFor([&] { return pump_->GetStatus() == kStatusSwitchedOff; }));
    EXPECT_FALSE(State().online);
    const std::vector<Reply> replies = PollUntilStatus(kStatusSwitchedOff);
    EXPECT_TRUE(WaitFor([&] { return State().online; })) << "polled again, online again";
}
