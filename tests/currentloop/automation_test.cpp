// Automatic filling and the forecourt's life cycle.
#include <gtest/gtest.h>

#include <chrono>

#include "cl_test_frames.h"
#include "platform/clock.h"
#include "currentloop/cl_automater.h"

using namespace cltest;

namespace {

CL_automater_timing ShortTiming()
{
    CL_automater_timing t;
    t.start_delay_min_ms = 1;
    t.start_delay_range_ms = 5;
    t.choose_pause_ms = 2;
    t.step_ms = 20;
    t.duration_unit_ms = 1;
    return t;
}

int64_t MillisecondsOf(const std::function<void()>& action)
{
    const auto start = std::chrono::steady_clock::now();
    action();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST(ClAutomation, OnlyVisibleNozzleIsLiftedAndHungUpWhenTheGuardExpires)
{
    Pump_settings settings;
    settings.pump_sleep_ms = 5;
    CL_pump pump(PumpAddress(1), settings);
    pump.Start();
    pump.SetVisibleNozzles({false, true, false, false, false});
    auto automater = std::make_unique<CL_Automater>(pump, 3, ShortTiming());
    EXPECT_EQ(3, automater->Level());

    ASSERT_TRUE(WaitFor([&] { return pump.GetState().selected_nozzle == 2; }));
    // Not authorised: the nozzle stays lifted while the guard runs.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(2, pump.GetState().selected_nozzle);

    // With no nozzle to choose, only the guard's expiry ends the wait, through the hang-up.
    pump.SetVisibleNozzles({false, false, false, false, false});
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(2, pump.GetState().selected_nozzle);
    AdvanceClockForTest(61000);
    EXPECT_TRUE(WaitFor([&] { return pump.GetState().selected_nozzle == 0; }));

    pump.SetVisibleNozzles({false, true, false, false, false});
    EXPECT_TRUE(WaitFor([&] { return pump.GetState().selected_nozzle == 2; })) << "and lifted again";
    EXPECT_LT(MillisecondsOf([&] { automater.reset(); }), 500);
    EXPECT_EQ(0, pump.GetState().selected_nozzle);
}

TEST(ClAutomation, AuthorisationSeenInDeliveryLeadsToAFilling)
{
    Loop loop(1, 1);
    ASSERT_EQ(0, loop.forecourt->CreatePump(0, loop.settings));
    CL_pump& pump = loop.Pump(0);
    CL_automater_timing timing = ShortTiming();
    timing.duration_unit_ms = 20;  // fillings of 200-580 ms
    ASSERT_TRUE(loop.forecourt->StartAutomation(0, 3, timing));
    EXPECT_EQ(3, loop.forecourt->AutomationLevel(0));
    ASSERT_TRUE(WaitFor([&] { return pump.GetState().selected_nozzle != 0; }));

    // 'C' turns into 'D' within one pump cycle, long before the automater looks again.
    loop.Ask(Poll(1, 'C'));
    ASSERT_TRUE(WaitFor([&] { return pump.GetStatus() == 'D'; }));
    // The filling runs for a while, then the customer hangs up: 'E' with fuel delivered.
    EXPECT_TRUE(WaitFor([&] {
        const CL_pump_state s = pump.GetState();
        return s.state == 'E' && s.selected_nozzle == 0 && s.volume_text != "0.00";
    })) << pump.GetState().state << pump.GetState().selected_nozzle << pump.GetState().volume_text;
    loop.forecourt->StopAutomation(0);
    EXPECT_EQ(0, loop.forecourt->AutomationLevel(0));
}

TEST(ClAutomation, AuthorisationGivenDuringThePauseCarriesTheNextFilling)
{
    Loop loop(1, 1);
    ASSERT_EQ(0, loop.forecourt->CreatePump(0, loop.settings));
    CL_automater_timing timing = ShortTiming();
    timing.duration_unit_ms = 100;  // fillings and pauses of 1.0-2.9 s
    ASSERT_TRUE(loop.forecourt->StartAutomation(0, 3, timing));
    auto state_is = [](char letter) {
        return [letter](const std::vector<uint8_t>& reply) { return reply[22] == letter; };
    };

    // The customer lifts ('F': idle with the nozzle out); the controller authorises; fuel flows.
    ASSERT_EQ('F', loop.AskUntil(Poll(1), state_is('F'))[22]);
    ASSERT_EQ('D', loop.AskUntil(Poll(1, 'C'), state_is('D'))[22]);
    // The customer hangs up after the filling; the pause begins.
    ASSERT_EQ('E', loop.AskUntil(Poll(1), state_is('E'))[22]);

    // The controller authorises the idle pump during the pause. The next lift must find the
    // authorisation standing: 'C' turns into 'D', not into 'F' (hung up once more, then lifted).
    // (A reply shows the state of the pump's last cycle, so the command shows in a later one.)
    ASSERT_EQ(32u, loop.Ask(Poll(1, 'C')).size());
    std::vector<uint8_t> reply = loop.AskUntil(Poll(1), [](const std::vector<uint8_t>& r) { return r[22] != 'E'; });
    ASSERT_EQ(32u, reply.size());
    ASSERT_EQ('C', reply[22]) << "authorised before the pause ended";
    reply = loop.AskUntil(Poll(1), [](const std::vector<uint8_t>& r) { return r[22] != 'C'; });
    ASSERT_EQ(32u, reply.size());
    EXPECT_EQ('D', reply[22]) << "the authorisation was knocked back at the next lift";
    loop.forecourt->StopAutomation(0);
    EXPECT_EQ(0, loop.Pump(0).GetState().selected_nozzle) << "stopping hangs the lifted nozzle up";
}

TEST(ClAutomation, StoppingHangsUpAndIsPromptEvenWithNothingToChoose)
{
    Loop loop(1, 2);
    ASSERT_EQ(0, loop.forecourt->CreatePump(0, loop.settings));
    ASSERT_EQ(1, loop.forecourt->CreatePump(1, loop.settings));
    ASSERT_TRUE(loop.forecourt->StartAutomation(0, 2, ShortTiming()));
    ASSERT_TRUE(WaitFor([&] { return loop.Pump(0).GetState().selected_nozzle != 0; }));
    loop.forecourt->StopAutomation(0);
    EXPECT_EQ(0, loop.Pump(0).GetState().selected_nozzle) << "hung up before the thread ended";

    // Real timing: a long start delay and half-second choosing pauses; stopping cuts them short.
    loop.Pump(1).SetVisibleNozzles({false, false, false, false, false});
    ASSERT_TRUE(loop.forecourt->StartAutomation(1, 1));
    ASSERT_TRUE(loop.forecourt->StartAutomation(1, 3)) << "replaces the running one";
    EXPECT_EQ(3, loop.forecourt->AutomationLevel(1));
    EXPECT_LT(MillisecondsOf([&] { loop.forecourt->StopAutomation(1); }), 300);
    EXPECT_FALSE(loop.forecourt->StartAutomation(2, 1)) << "no pump in slot 2";
    EXPECT_FALSE(loop.forecourt->StartAutomation(0, 4)) << "no such level";
    EXPECT_FALSE(loop.forecourt->StartAutomation(9, 1));
}

TEST(ClForecourt, DeletingABusyLoopIsPrompt)
{
    TempDir dir;
    Loop loop(1, 8);
    for (int slot = 0; slot < 8; ++slot) {
        ASSERT_EQ(slot, loop.forecourt->CreatePump(slot, loop.settings));
        ASSERT_TRUE(loop.forecourt->StartAutomation(slot, 1));
        ASSERT_TRUE(loop.forecourt->StartLogging(slot, dir.File("p" + std::to_string(slot) + ".log"), slot % 2 == 0));
    }
    // Pump 1's automation lifts a nozzle soon and then fills for ten seconds or more.
    CL_automater_timing timing = ShortTiming();
    timing.duration_unit_ms = 1000;
    ASSERT_TRUE(loop.forecourt->StartAutomation(0, 3, timing));
    CL_pump& pump = loop.Pump(0);
    ASSERT_TRUE(WaitFor([&] { return pump.GetState().selected_nozzle != 0; }));
    loop.Ask(Poll(1, 'C'));
    ASSERT_TRUE(WaitFor([&] { return pump.GetStatus() == 'D'; }));
    loop.line.Send(Poll(1));  // a frame in flight
    EXPECT_LT(MillisecondsOf([&] { loop.forecourt.reset(); }), 500);
    const std::string log = ReadWholeFile(dir.File("p0.log"));
    EXPECT_NE(std::string::npos, log.find("\r\nLogging aborted at ")) << "the logs were closed";
}

TEST(ClForecourt, DecimalsAreRangeCheckedAndReachEveryPump)
{
    TempSettings settings;
    settings.Set("CurrentLoop", "VolumeDecimals", "9");
    settings.Set("CurrentLoop", "AmountDecimals", "3");
    settings.Set("CurrentLoop", "PriceDecimals", "-1");
    const Pump_settings read = ReadPumpSettings("CurrentLoop");
    PtyController line;
    CL_forecourt forecourt(line.SlavePath(), false, 1, 2, read);
    CL_decimals d = forecourt.GetDecimals();
    EXPECT_EQ(2, d.volume) << "outside 0-8: the default";
    EXPECT_EQ(3, d.amount);
    EXPECT_EQ(2, d.price);
    ASSERT_EQ(0, forecourt.CreatePump(0, read));
    ASSERT_EQ(1, forecourt.CreatePump(1, read));

    d.price = 3;
    EXPECT_TRUE(forecourt.SetDecimals(d));
    CL_decimals bad = d;
    bad.total_amount = 12;
    EXPECT_FALSE(forecourt.SetDecimals(bad));
    EXPECT_EQ(2, forecourt.GetDecimals().total_amount);
    EXPECT_EQ(3, forecourt.GetDecimals().price);
    forecourt.GetPump(1)->HandleMessage([] {
        CL_Message m;
        const std::vector<uint8_t> bytes = Prices(PumpAddress(2), 1234);
        m.length = 32;
        std::copy(bytes.begin(), bytes.end(), m.bytes.begin());
        return m;
    }());
    EXPECT_EQ("1.234", forecourt.GetPump(1)->GetState().nozzles[0].price_text);

    EXPECT_EQ(" --- " + line.SlavePath() + " CL ---", forecourt.Title());
    EXPECT_EQ(line.SlavePath(), forecourt.PortName());
    EXPECT_EQ(cl_error::kNone, forecourt.ErrorType(0));
    EXPECT_EQ(cl_error::kNone, forecourt.ErrorType(8));
    EXPECT_FALSE(forecourt.SetErrorType(8, 240));
    EXPECT_FALSE(forecourt.ApplyError(5));
    EXPECT_EQ(-1, forecourt.CreatePump(2, read)) << "last pump number 2";
    EXPECT_TRUE(forecourt.IoRunning());
}
