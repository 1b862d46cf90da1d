// End-to-end tests of delivery: the test plays the controller on a pseudo-terminal and stands in
// for the operator through the pump's operations. Time moves with AdvanceClockForTest.
#include "zarn/pump_fixture.h"

using namespace pump_test;

namespace {

uint64_t Dc2Volume(const Reply& dc2) { return Unpacked(dc2.data, 0, 4); }
uint64_t Dc2Amount(const Reply& dc2) { return Unpacked(dc2.data, 4, 4); }

}  // namespace

class PumpFillingTest : public PumpTest {
protected:
    // Authorised nozzle 1 at 1.50, lifted, and reported filling (status 4).
    std::vector<Reply> StartFilling(const Bytes& extra = {})
    {
        AuthorizeNozzleOne(extra);
        AdvanceClockForTest(100);  // a first bit of fuel, whatever the machine's speed
        return PollUntilStatus(kStatusFilling);
    }

    // Advances by `ms` and waits until the volume has grown by at least `min_units`; returns the
    // growth.
    uint64_t StepVolume(int64_t ms, uint64_t min_units)
    {
        const uint64_t before = VolumeUnits();
        AdvanceAndSettle(ms, [&] { return VolumeUnits() >= before + min_units; });
        return VolumeUnits() - before;
    }
};

TEST_F(PumpFillingTest, AuthorizedNozzleStartsFillingAndReportsGrowingVolume)
{
    StartPump();
    std::vector<Reply> first = PollUntilStatus(kStatusNotProgrammed);  // DC1 queued at creation
    SendCommands(Join({Cd2({1}), Cd5({150}), Cd1(kCd1Authorize)}));
    PollUntilStatus(kStatusAuthorized);
    EXPECT_EQ(pump_->GetStatus(), kStatusAuthorized);

    ASSERT_TRUE(pump_->SelectNozzle(1));
    pump_->LiftNozzle();
    AdvanceClockForTest(100);
    std::vector<Reply> replies = PollUntilStatus(kStatusFilling);
    std::optional<Reply> dc3 = Last(replies, 3);
    ASSERT_TRUE(dc3);
    EXPECT_EQ(dc3->data, (Bytes{0x00, 0x01, 0x50, 0x11}));  // price 1.50, nozzle 1 out

    uint64_t previous = 0;
    for (int i = 0; i < 3; ++i) {
        AdvanceClockForTest(1500);  // 1 litre at 40 l/min
        std::vector<Reply> reports = PollUntil([&](const std::vector<Reply>& got) {
            std::optional<Reply> dc2 = Last(got, 2);
            return dc2 && Dc2Volume(*dc2) >= previous + 90;
        });
        std::optional<Reply> dc2 = Last(reports, 2);
        ASSERT_TRUE(dc2);
        EXPECT_EQ(Dc2Amount(*dc2), Dc2Volume(*dc2) * 150 / 100);  // amount truncated, never rounded
        previous = Dc2Volume(*dc2);
    }
    EXPECT_EQ(State().status_text, "Filling");
    EXPECT_EQ(State().flow, 40.0);
}

TEST_F(PumpFillingTest, PresetVolumeThrottlesAndEndsExactlyWithTotals)
{
    settings_.throttle_flow = 5.0;
    settings_.throttle_volume = 5.0;
    StartPump();
    StartFilling(Cd3(1000));  // preset 10.00 l

    // Full flow while more than 5.00 l remain: 1.5 s is 1 l.
    while (VolumeUnits() < 500) {
        const uint64_t grown = StepVolume(1500, 90);
        EXPECT_LE(grown, 120u) << "more than the full flow";
    }
    // From 5.00 l remaining on, 1.5 s at 5 l/min is 0.125 l.
    const uint64_t throttled = StepVolume(1500, 10);
    EXPECT_LE(throttled, 30u) << "the flow was not throttled";

    // Far past the preset: cut back to 10.00 exactly. Status 6 lasts one cycle and is never sent
    // (the setting is off): the controller sees DC2 with the final figures, then DC1 with 5.
    AdvanceClockForTest(180000);
    std::vector<Reply> replies = PollUntilStatus(kStatusFillingCompleted);
    EXPECT_FALSE(HasDc1(replies, kStatusMaxReached));
    std::optional<Reply> final_dc2;
    for (const Reply& reply : replies) {
        if (reply.code == 2)
            final_dc2 = reply;
        if (reply.code == 1 && reply.data == Bytes{kStatusFillingCompleted})
            break;
    }
    ASSERT_TRUE(final_dc2) << "no DC2 before the DC1 with status 5";
    EXPECT_EQ(Dc2Volume(*final_dc2), 1000u);
    EXPECT_EQ(Dc2Amount(*final_dc2), 1500u);
    Zarn_pump_state state = State();
    EXPECT_EQ(state.volume_text, "10.00");
    EXPECT_EQ(state.amount_text, "15.00");
    EXPECT_EQ(state.flow, 0.0);
    EXPECT_EQ(state.stopped, 1);
    EXPECT_EQ(state.nozzles[0].volume_total_text, "10.00");
    EXPECT_EQ(state.nozzles[0].amount_total_text, "15.00");
    EXPECT_EQ(state.nozzles[0].fillings_text, "1");

    SendCommands(Join({Cd101(1), Cd101(17)}));
    std::vector<Reply> counters = PollUntil([](const std::vector<Reply>& got) {
        int count = 0;
        for (const Reply& reply : got)
            count += reply.code == 101;
        return count == 2;
    });
    std::vector<Reply> dc101;
    for (const Reply& reply : counters)
        if (reply.code == 101)
            dc101.push_back(reply);
    ASSERT_EQ(dc101.size(), 2u);
    EXPECT_EQ(dc101[0].data, Join({{1}, Packed(1000, 5), Packed(1000, 5), Packed(0, 5)}));
    EXPECT_EQ(dc101[1].data, Join({{17}, Packed(1500, 5), Packed(1, 5), Packed(0, 5)}));

    // A completed filling blocks a new delivery until Reset.
    SendCommands(Cd1(kCd1Authorize));
    PollUntilStatus(kStatusAuthorized);
    AdvanceClockForTest(60000);
    SyncWithPumpCycle();
    EXPECT_EQ(pump_->GetStatus(), kStatusAuthorized);
    EXPECT_EQ(State().nozzles[0].volume_total_text, "10.00");
}

TEST_F(PumpFillingTest, PresetAmountEndsAtTheAmountWithVolumeRecalculated)
{
    StartPump();
    StartFilling(Cd4(1000));  // preset 10.00 in money: 6.66 l at 1.50
    AdvanceClockForTest(120000);
    PollUntilStatus(kStatusFillingCompleted);
    Zarn_pump_state state = State();
    EXPECT_EQ(state.amount_text, "10.00");
    EXPECT_EQ(state.volume_text, "6.66");
}

TEST_F(PumpFillingTest, UnpricedOrDisallowedNozzleNeverDelivers)
{
    StartPump();
    SendCommands(Join({Cd2({1}), Cd5({0, 150}), Cd1(kCd1Authorize)}));  // nozzle 1 free, 2 not allowed
    PollUntilStatus(kStatusAuthorized);

    EXPECT_TRUE(pump_->SelectNozzle(1));
    pump_->LiftNozzle();
    AdvanceClockForTest(60000);
    SyncWithPumpCycle();
    EXPECT_EQ(State().volume_text, "0.00");
    EXPECT_EQ(State().stopped, 1);

    pump_->HangUpNozzle();
    EXPECT_FALSE(pump_->SelectNozzle(2));
    pump_->LiftNozzle();
    AdvanceClockForTest(60000);
    SyncWithPumpCycle();
    Zarn_pump_state state = State();
    EXPECT_EQ(state.volume_text, "0.00");
    EXPECT_EQ(state.status, kStatusAuthorized);
    EXPECT_EQ(state.selected_nozzle, 2);

    EXPECT_FALSE(pump_->SelectNozzle(0));
    EXPECT_FALSE(pump_->SelectNozzle(16));
    EXPECT_EQ(State().selected_nozzle, 2);
}

TEST_F(PumpFillingTest, PriceUpdateDuringFillingChangesNothing)
{
    StartPump();
    StartFilling();
    SendCommands(Join({Cd5({999}), {5, 3, 0xFF, 0xFF, 0xFF}}));
    SyncWithPumpCycle();
    EXPECT_EQ(State().nozzles[0].price_text, "1.50");
    EXPECT_EQ(pump_->RxErrorCount(), 0);
    EXPECT_FALSE(pump_->SelectNozzle(2)) << "the nozzle changed under a running filling";
}

TEST_F(PumpFillingTest, SuspendFreezesAndResumeRestoresWithoutDeliveringThePause)
{
    StartPump();
    StartFilling();

    SendCommands(Cd1(kCd1Suspend));
    PollUntilStatus(kStatusSuspended);
    EXPECT_EQ(State().status_text, "Filling");  // status 8 keeps the text on show
    uint64_t frozen = VolumeUnits();
    AdvanceClockForTest(60000);
    SyncWithPumpCycle();
    EXPECT_EQ(VolumeUnits(), frozen);

    SendCommands(Cd1(kCd1Resume));
    PollUntilStatus(kStatusFilling);
    SyncWithPumpCycle();
    EXPECT_LT(VolumeUnits(), frozen + 50) << "the suspended minute was delivered";

    // CD14 pauses the volume and keeps the status; CD15 resumes; both answered.
    SendCommands({14, 1, 0});
    std::vector<Reply> replies = PollUntil([](const std::vector<Reply>& got) { return Last(got, 14).has_value(); });
    EXPECT_EQ(Last(replies, 14)->data, Bytes{0});
    frozen = VolumeUnits();
    AdvanceClockForTest(60000);
    SyncWithPumpCycle();
    EXPECT_EQ(VolumeUnits(), frozen);
    EXPECT_EQ(pump_->GetStatus(), kStatusFilling);
    EXPECT_EQ(State().suspended, 1);

    SendCommands({15, 1, 0});
    replies = PollUntil([](const std::vector<Reply>& got) { return Last(got, 15).has_value(); });
    EXPECT_EQ(Last(replies, 15)->data, Bytes{0});
    SyncWithPumpCycle();
    EXPECT_LT(VolumeUnits(), frozen + 50) << "the paused minute was delivered";
    EXPECT_GT(StepVolume(1500, 90), 0u);
}

TEST_F(PumpFillingTest, SuspendAndResumeKeepTheFirstSavedStatus)
{
    StartPump();
    SendCommands(Cd1(kCd1Resume));  // no Suspend before it: nothing changes
    PollUntilStatus(kStatusNotProgrammed);
    EXPECT_EQ(pump_->GetStatus(), kStatusNotProgrammed);
    EXPECT_EQ(State().status_text, "Not programmed");

    SendCommands(Cd1(kCd1Reset));
    PollUntilStatus(kStatusReset);
    SendCommands(Join({Cd1(kCd1Suspend), Cd1(kCd1Suspend)}));  // the second keeps status 1 saved
    PollUntilStatus(kStatusSuspended);
    SendCommands(Cd1(kCd1Resume));
    PollUntilStatus(kStatusReset);
    EXPECT_EQ(pump_->GetStatus(), kStatusReset);
}

TEST_F(PumpFillingTest, PollTimeoutSwitchesOffAndKeepsTheDeliveredFuel)
{
    settings_.poll_timeout = 1;
    StartPump();
    StartFilling();
    EXPECT_TRUE(State().online);

    // The controller falls silent; 3 s pass. (The answer to a last POLL shows that the I/O
    // thread has handled every earlier block, so no late one restarts the deadline.)
    pty_.Send({kAddress, 0x20, kZarnSF});
    ASSERT_FALSE(ReadBlock().empty());
    AdvanceClockForTest(3000);
    ASSERT_TRUE(WaitFor([&] { return pump_->GetStatus() == kStatusSwitchedOff; }));
    Zarn_pump_state state = State();
    EXPECT_FALSE(state.online);
    EXPECT_EQ(state.flow, 0.0);
    EXPECT_EQ(state.stopped, 1);
    EXPECT_NE(state.volume_text, "0.00");
    EXPECT_EQ(state.nozzles[0].volume_total_text, state.volume_text);
    EXPECT_EQ(state.nozzles[0].fillings_text, "1");

    PollUntilStatus(kStatusSwitchedOff);
    EXPECT_TRUE(WaitFor([&] { return State().online; }));
}

TEST_F(PumpFillingTest, AlarmStopsDeliveryAndIsReportedUntilReset)
{
    StartPump();
    StartFilling();
    pump_->InjectError(9, 0);  // emergency stop
    std::vector<Reply> replies = PollUntil([](const std::vector<Reply>& got) { return Last(got, 5).has_value(); });
    EXPECT_EQ(Last(replies, 5)->data, Bytes{9});
    // The alarm ends the delivery (status 5) but queues no DC1 of its own: the controller learns
    // of it by the DC5 and reads the status with its next Return status.
    ASSERT_TRUE(WaitFor([&] { return pump_->GetStatus() == kStatusFillingCompleted; }));
    replies = PollUntilEot();
    EXPECT_FALSE(Last(replies, 1).has_value()) << "a DC1 the alarm queued";
    SendCommands(Cd1(kCd1ReturnStatus));
    replies = PollUntil([](const std::vector<Reply>& got) { return Last(got, 5).has_value(); });
    EXPECT_TRUE(HasDc1(replies, kStatusFillingCompleted));
    EXPECT_TRUE(Last(replies, 3).has_value());
    const uint64_t stopped_at = VolumeUnits();
    AdvanceClockForTest(60000);
    SyncWithPumpCycle();
    EXPECT_EQ(VolumeUnits(), stopped_at);
    EXPECT_EQ(State().nozzles[0].volume_total_text, State().volume_text);

    SendCommands(Cd1(kCd1ReturnStatus));
    replies = PollUntil([](const std::vector<Reply>& got) { return Last(got, 5).has_value(); });
    EXPECT_EQ(Last(replies, 5)->data, Bytes{9});

    SendCommands(Join({Cd1(kCd1Reset), Cd1(kCd1ReturnStatus)}));
    replies = PollUntil([](const std::vector<Reply>& got) { return Last(got, 3).has_value() && HasDc1(got, kStatusReset); });
    EXPECT_FALSE(Last(replies, 5).has_value()) << "DC5 after Reset";
    EXPECT_EQ(State().volume_text, "0.00");
    EXPECT_EQ(State().preset_volume, "999999.99");
}

TEST_F(PumpFillingTest, ResetDuringFillingClosesItIntoTheTotals)
{
    StartPump();
    StartFilling();
    StepVolume(3000, 190);
    SendCommands(Cd1(kCd1Reset));
    PollUntilStatus(kStatusReset);
    Zarn_pump_state state = State();
    EXPECT_EQ(state.volume_text, "0.00");
    EXPECT_EQ(state.nozzles[0].fillings_text, "1");
    EXPECT_GE(std::stod(state.nozzles[0].volume_total_text), 2.0);

    // After Reset the nozzle, still out, delivers again from 0 without the idle minute.
    AdvanceClockForTest(60000);
    SyncWithPumpCycle();
    SendCommands(Cd1(kCd1Authorize));
    AdvanceClockForTest(100);
    PollUntilStatus(kStatusFilling);
    EXPECT_LT(VolumeUnits(), 50u);
}

TEST_F(PumpFillingTest, HangingUpEndsTheFilling)
{
    StartPump();
    StartFilling();
    StepVolume(1500, 90);
    pump_->HangUpNozzle();
    PollUntil([](const std::vector<Reply>& got) {
        std::optional<Reply> dc3 = Last(got, 3);
        return HasDc1(got, kStatusFillingCompleted) && dc3 && dc3->data.size() == 4 && dc3->data[3] == 0x00;
    });  // completed; nozzle in, none selected
    Zarn_pump_state state = State();
    EXPECT_EQ(state.nozzles[0].volume_total_text, state.volume_text);
    EXPECT_EQ(state.flow, 0.0);
    pump_->SetFlow(12.0);  // ignored while stopped
    EXPECT_EQ(State().flow, 0.0);
}

TEST_F(PumpFillingTest, StopWaitsForTheNozzleWhenSoConfigured)
{
    settings_.filling_complete_only_after_nozzle_returned = true;
    StartPump();
    StartFilling();
    SendCommands(Cd1(kCd1Stop));
    SyncWithPumpCycle();
    EXPECT_EQ(pump_->GetStatus(), kStatusFilling);
    const uint64_t stopped_at = VolumeUnits();
    AdvanceClockForTest(60000);
    SyncWithPumpCycle();
    EXPECT_EQ(VolumeUnits(), stopped_at);
    pump_->HangUpNozzle();
    PollUntilStatus(kStatusFillingCompleted);
    EXPECT_EQ(State().nozzles[0].fillings_text, "1");
}

TEST_F(PumpFillingTest, PresetReportsStatusSixUntilTheNozzleReturnsWhenSoConfigured)
{
    settings_.filling_complete_only_after_nozzle_returned = true;
    StartPump();
    StartFilling(Cd3(100));  // preset 1.00 l
    AdvanceClockForTest(60000);
    // A DC1 with status 6 every cycle while the nozzle stays out: several, and never 5.
    std::vector<Reply> replies = PollUntil([](const std::vector<Reply>& got) {
        int sixes = 0;
        for (const Reply& reply : got)
            sixes += reply.code == 1 && reply.data == Bytes{kStatusMaxReached};
        return sixes >= 3;
    });
    EXPECT_FALSE(HasDc1(replies, kStatusFillingCompleted));
    EXPECT_EQ(pump_->GetStatus(), kStatusMaxReached);
    pump_->HangUpNozzle();
    PollUntilStatus(kStatusFillingCompleted);
    EXPECT_EQ(pump_->GetStatus(), kStatusFillingCompleted);
    EXPECT_EQ(State().nozzles[0].volume_total_text, "1.00");
}

TEST_F(PumpFillingTest, ManualFlowWithoutAutoFlow)
{
    settings_.auto_flow = false;
    StartPump();
    AuthorizeNozzleOne();
    pump_->SetFlow(20.0);  // ignored: nothing delivers yet
    ASSERT_TRUE(WaitFor([&] { return State().stopped == 0; }));
    EXPECT_EQ(State().flow, 0.0);
    pump_->SetFlow(20.0);
    pump_->AdjustFlow(-30.0);
    EXPECT_EQ(State().flow, 0.0);
    pump_->AdjustFlow(20.0);
    EXPECT_LE(StepVolume(3000, 90), 110u);  // 1 l at 20 l/min, not the automatic 40
}

TEST_F(PumpFillingTest, DeliveryRunsOnAcrossTheTickWrap)
{
    StartPump();
    ShiftTickForTest(static_cast<uint32_t>(0xFFFFFC00u - TickMs()));  // about a second before the wrap
    StartFilling();
    ASSERT_GT(TickMs(), 0xF0000000u);
    const uint64_t grown = StepVolume(1500, 90);  // crosses the wrap: 1 l, neither lost nor huge
    EXPECT_LE(grown, 120u);
}
