#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/error.h"
#include "support/zarn_master.h"
#include "support/pty_controller.h"
#include "zarn/zarn_automater.h"
#include "zarn/zarn_forecourt.h"

namespace {

constexpr uint8_t kPump1 = 0x50;

// Short durations: no initial delay to speak of, 10 ms steps, a one-second guard, pauses of
// 10-29 ms at every level.
Automater_timing ShortTiming()
{
    Automater_timing timing;
    timing.initial_delay_min_ms = 1;
    timing.initial_delay_spread_ms = 5;
    timing.step_ms = 10;
    timing.guard_seconds = 1;
    timing.pause_unit_ms = 1;
    timing.pauses = {{{10, 30}, {10, 30}, {10, 30}}};
    return timing;
}

Zarn_pump_state Snapshot(Zarn_pump& pump)
{
    Zarn_pump_state state;
    pump.GetState(state);
    return state;
}

int FillingsOfNozzleOne(Zarn_pump& pump)
{
    const std::string text = Snapshot(pump).nozzles[0].fillings_text;
    return text.empty() ? 0 : std::stoi(text);
}

// A loop for pumps 1-8 with pump 1 created, nozzle 1 allowed and priced, and a controller thread
// that keeps polling. With `authorise` on it resets and authorises the pump each time a nozzle
// comes out, as a site would for a customer at the pump.
class AutomatedPump : public ::testing::Test {
protected:
    void SetUp() override
    {
        Pump_settings settings;
        settings.handle_returning_messages = false;
        settings.pump_sleep_ms = 5;
        forecourt_ = std::make_unique<Zarn_forecourt>(pty_.SlavePath(), false, 1, 8, settings);
        ASSERT_EQ(forecourt_->CreatePump(0, true, settings), 0);
        ASSERT_TRUE(master_.PollAndAck(kPump1));
        ASSERT_TRUE(master_.ProgramNozzleOne(kPump1));
    }

    void TearDown() override
    {
        stop_controller_ = true;
        if (controller_.joinable())
            controller_.join();
    }

    void StartController(bool authorise)
    {
        controller_ = std::thread([this, authorise] {
            bool authorised_for_this_lift = false;
            while (!stop_controller_) {
                const auto reply = master_.PollAndAck(kPump1, 1000);
                if (!reply)
                    continue;
                for (const ZarnTransaction& t : *reply) {
                    if (t.code != 3 || t.data.size() != 4)
                        continue;
                    const bool out = (t.data[3] & 0x10) != 0;
                    if (!out)
                        authorised_for_this_lift = false;
                    if (out && authorise && !authorised_for_this_lift) {
                        master_.SendData(kPump1, {0x01, 0x01, 0x05, 0x01, 0x01, 0x06});
                        authorised_for_this_lift = true;
                    }
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
    }

    Zarn_pump& Pump() { return *forecourt_->GetPump(0); }

    PtyController pty_;
    ZarnMaster master_{pty_};
    std::unique_ptr<Zarn_forecourt> forecourt_;
    std::atomic<bool> stop_controller_{false};
    std::thread controller_;
};

TEST_F(AutomatedPump, CompletesFillingsOnItsOwn)
{
    StartController(true);
    {
        Automater automater(Pump(), Automater::kHeavy, ShortTiming());
        EXPECT_EQ(automater.Level(), Automater::kHeavy);
        // While fuel flows, the clock is moved on in small jumps so that the one-second guard that
        // keeps the nozzle out passes quickly (small enough for the poll time-out to hold).
        ASSERT_TRUE(WaitFor([&] {
            if (Pump().GetStatus() == 4)
                AdvanceClockForTest(100);
            return FillingsOfNozzleOne(Pump()) >= 2;
        }, 20000)) << "fillings: " << FillingsOfNozzleOne(Pump());
        EXPECT_GE(automater.FillingsStarted(), 2);
    }
    // Each completed filling delivered fuel, and the automater left the nozzle in its holster.
    const Zarn_pump_state after = Snapshot(Pump());
    EXPECT_NE(after.nozzles[0].volume_total_text, "0.00");
    EXPECT_FALSE(after.nozzle_out);
}

TEST_F(AutomatedPump, StoppingDuringAFillingHangsTheNozzleUp)
{
    StartController(true);
    auto automater = std::make_unique<Automater>(Pump(), Automater::kLight, ShortTiming());
    ASSERT_TRUE(WaitFor([&] { return Pump().GetStatus() == 4; }, 10000));
    const auto start = std::chrono::steady_clock::now();
    automater.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    const Zarn_pump_state after = Snapshot(Pump());
    EXPECT_FALSE(after.nozzle_out);
    EXPECT_EQ(after.status, 5);
    EXPECT_EQ(FillingsOfNozzleOne(Pump()), 1);
}

TEST_F(AutomatedPump, StoppingDuringAWaitReturnsAtOnce)
{
    StartController(false);
    Automater_timing slow = ShortTiming();
    slow.step_ms = 5000;  // a wait that did not end at once would show in the time taken
    slow.guard_seconds = 60;
    auto automater = std::make_unique<Automater>(Pump(), Automater::kNormal, slow);
    // The nozzle comes out at once; finding nozzle 1 takes a few five-second steps, so the
    // automater is caught in one of its waits with the nozzle out.
    ASSERT_TRUE(WaitFor([&] { return Snapshot(Pump()).nozzle_out; }));
    const auto start = std::chrono::steady_clock::now();
    automater.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_FALSE(Snapshot(Pump()).nozzle_out);
    EXPECT_NE(Pump().GetStatus(), 4);
}

TEST_F(AutomatedPump, WithoutAuthorisationTheNozzleStaysOutAcrossRestarts)
{
    StartController(false);
    Automater automater(Pump(), Automater::kHeavy, ShortTiming());
    ASSERT_TRUE(WaitFor([&] { return Snapshot(Pump()).selected_nozzle == 1; }));
    // Several guards pass; the automater starts over each time without hanging up.
    for (int i = 0; i < 15; ++i) {
        AdvanceClockForTest(500);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const Zarn_pump_state state = Snapshot(Pump());
        EXPECT_TRUE(state.nozzle_out);
        EXPECT_NE(state.status, 4);
    }
    EXPECT_EQ(automater.FillingsStarted(), 0);
}

TEST_F(AutomatedPump, ForecourtAutomationEndsPromptlyWithTheRealPauses)
{
    // The real timing starts with a wait of 5 to 25 seconds; stopping must not wait for it.
    ASSERT_TRUE(forecourt_->StartAutomation(0, Automater::kNormal));
    EXPECT_EQ(forecourt_->AutomationLevel(0), Automater::kNormal);
    ASSERT_TRUE(forecourt_->StartAutomation(0, Automater::kHeavy));  // replaces the first
    EXPECT_EQ(forecourt_->AutomationLevel(0), Automater::kHeavy);
    const auto start = std::chrono::steady_clock::now();
    forecourt_->StopAutomation(0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(forecourt_->AutomationLevel(0), 0);
}

TEST(AutomaterLevels, OnlyLightNormalAndHeavy)
{
    Zarn_pump pump(0x50, true, Pump_settings{});
    EXPECT_THROW(Automater(pump, 0), Gallion_error);
    EXPECT_THROW(Automater(pump, 4), Gallion_error);
}

}  // namespace
