// The pump's state machine and arithmetic, driven cycle by cycle without its thread.
#include <gtest/gtest.h>

#include "cl_test_frames.h"
#include "platform/clock.h"
#include "currentloop/cl_pump.h"

using namespace cltest;

namespace {

CL_Message FrameOf(const std::vector<uint8_t>& bytes)
{
    CL_Message m;
    m.length = static_cast<uint8_t>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), m.bytes.begin());
    return m;
}

// Pump 1 without its thread: the test runs its cycles.
struct PumpBench {
    PumpBench()
    {
        settings.poll_timeout = 3600;
        settings.throttle_amount = 0;
        settings.throttle_volume = 0;
        pump = std::make_unique<CL_pump>(PumpAddress(1), settings);
    }
    CL_Message* Send(const std::vector<uint8_t>& frame) { return pump->HandleMessage(FrameOf(frame)); }
    void Cycle() { pump->RunCycleForTest(); }
    // Authorised filling on nozzle 1 at the given price and preset, delivering after two cycles.
    void StartFilling(int price, int preset, uint8_t flags)
    {
        Send(Poll(1, 'A'));
        Send(Prices(PumpAddress(1), price));
        pump->LiftNozzle(1);
        Send(Preset(1, preset, flags));
        Cycle();  // 'C': delivering, the clock starts
        AdvanceClockForTest(60);
        Cycle();  // volume above zero: 'D'
    }

    Pump_settings settings;
    std::unique_ptr<CL_pump> pump;
};

}  // namespace

TEST(ClPump, RepliesAlternateBetweenTheTwoRecords)
{
    PumpBench bench;
    EXPECT_EQ(0, bench.pump->CurrentReplyIndex());
    CL_Message* first = bench.Send(Poll(1));
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(1, bench.pump->CurrentReplyIndex());
    CL_Message* second = bench.Send(Poll(1));
    ASSERT_NE(nullptr, second);
    EXPECT_NE(first, second);
    EXPECT_EQ(0, bench.pump->CurrentReplyIndex());
    EXPECT_EQ(nullptr, bench.Send(Prices(PumpAddress(1), 10)));
    EXPECT_EQ(0, bench.pump->CurrentReplyIndex()) << "no reply, no switch";
    EXPECT_EQ(nullptr, bench.Send(ControllerFrame(PumpAddress(1), '3', {{26, PumpAddress(2)}})))
        << "another pump is named to answer";
}

TEST(ClPump, CommandsAcceptedOnlyInTheirStates)
{
    PumpBench bench;
    bench.Send(Poll(1, 'I'));
    EXPECT_EQ('A', bench.pump->GetStatus());
    bench.Send(Poll(1, 'I'));
    EXPECT_EQ('A', bench.pump->GetStatus()) << "'I' only from 'E'";
    bench.Send(Preset(1, 500, 0));
    EXPECT_EQ('C', bench.pump->GetStatus()) << "CB0 authorises a reset pump";
    bench.Send(Poll(1, 'A'));
    EXPECT_EQ('C', bench.pump->GetStatus()) << "'A' only from 'E' and 'A'";
    bench.Send(Poll(1, 'E'));
    EXPECT_EQ('E', bench.pump->GetStatus());
    bench.Send(Preset(1, 500, 0));
    EXPECT_EQ('E', bench.pump->GetStatus()) << "CB0 leaves an idle pump idle";

    bench.StartFilling(100, 9999, 0);
    ASSERT_EQ('D', bench.pump->GetStatus());
    bench.Send(Poll(1, 'I'));
    EXPECT_EQ('D', bench.pump->GetStatus());
    bench.Send(Poll(1, 'X'));
    EXPECT_EQ('D', bench.pump->GetStatus());
    bench.Send(Poll(1, 'E'));
    EXPECT_EQ('E', bench.pump->GetStatus());
    EXPECT_EQ(0.0, bench.pump->GetState().flow);
}

TEST(ClPump, FillingStepAndVolumePreset)
{
    PumpBench bench;
    bench.StartFilling(150, 500, 0x20);  // 5.00 litres
    ASSERT_EQ('D', bench.pump->GetStatus());
    bench.Cycle();
    AdvanceClockForTest(1500);
    const std::string before = bench.pump->GetState().volume_text;
    bench.Cycle();
    // 1500 ms at 40 l/min is one litre (a few real milliseconds may come on top).
    const double litres = std::stod(bench.pump->GetState().volume_text) - std::stod(before);
    EXPECT_NEAR(1.0, litres, 0.03);

    AdvanceClockForTest(60000);
    bench.Cycle();
    const CL_pump_state state = bench.pump->GetState();
    EXPECT_EQ('L', state.state);
    EXPECT_EQ("5.00", state.volume_text);
    EXPECT_EQ("7.50", state.amount_text) << "500 x 150 / 100";
    EXPECT_EQ(0.0, state.flow);
}

TEST(ClPump, DeliveryStopsClearTheFillingClock)
{
    PumpBench bench;
    bench.StartFilling(100, 99999, 0);
    ASSERT_EQ('D', bench.pump->GetStatus());
    bench.pump->HangUpNozzle();
    const std::string volume = bench.pump->GetState().volume_text;
    AdvanceClockForTest(30000);
    bench.Send(Poll(1, 'C'));
    for (int i = 0; i < 3; ++i)
        bench.Cycle();
    EXPECT_EQ('C', bench.pump->GetStatus()) << "no nozzle lifted: no delivery";
    EXPECT_EQ(volume, bench.pump->GetState().volume_text) << "the idle time is not delivered";

    // A status error stops delivery at the next step; the figures stay.
    bench.pump->LiftNozzle(1);
    EXPECT_EQ(0, bench.pump->GetState().selected_nozzle) << "the filling is still pending";
    bench.Send(Poll(1, 'E'));  // the controller closes it
    bench.pump->LiftNozzle(1);
    bench.Send(Poll(1, 'C'));
    bench.Cycle();
    AdvanceClockForTest(100);
    bench.Cycle();
    ASSERT_EQ('D', bench.pump->GetStatus());
    bench.pump->InjectError(cl_error::kPulserCurrent, 0);
    bench.Cycle();
    EXPECT_EQ('E', bench.pump->GetStatus());
    const std::string stopped = bench.pump->GetState().volume_text;
    EXPECT_NE("0.00", stopped);
    CL_Message* reply = bench.Send(Poll(1));
    ASSERT_NE(nullptr, reply);
    EXPECT_EQ(0x48, reply->bytes[23]);
    AdvanceClockForTest(30000);
    bench.Send(Poll(1, 'C'));
    bench.Cycle();
    bench.Cycle();
    EXPECT_EQ('E', bench.pump->GetStatus()) << "no delivery while the status error stays";
    EXPECT_EQ(stopped, bench.pump->GetState().volume_text);
    bench.Send(Poll(1, 'A'));
    bench.Cycle();
    EXPECT_EQ(0x40, bench.Send(Poll(1))->bytes[23]) << "'A' ends the status error";
}

TEST(ClPump, AmountPresetAtZeroPriceAndHugeFiguresStayDefined)
{
    PumpBench bench;
    // Price 0: the amount never passes the preset, nothing is divided by the price.
    bench.StartFilling(0, 100, 0);
    AdvanceClockForTest(60000);
    bench.Cycle();
    EXPECT_EQ('D', bench.pump->GetStatus());
    EXPECT_EQ("0.00", bench.pump->GetState().amount_text);

    // Non-digit price characters (0xFF: 207 per place) and a delivery far beyond any field:
    // the units stop at 2147483647 and the amount is capped the same way.
    bench.Send(Poll(1, 'E'));
    std::map<size_t, uint8_t> price_bytes;
    for (size_t i = 5; i <= 24; ++i)
        price_bytes[i] = 0xFF;
    bench.Send(Poll(1, 'A'));
    bench.Send(ControllerFrame(PumpAddress(1), '1', price_bytes));
    bench.Send(ControllerFrame(PumpAddress(1), '2', {}));  // ' ' characters: negative adjustments
    bench.pump->LiftNozzle(1);
    bench.Send(Preset(1, 99999, 0x20));
    bench.Cycle();
    bench.pump->SetFlow(1e300);
    AdvanceClockForTest(60000);
    bench.Cycle();
    const CL_pump_state state = bench.pump->GetState();
    EXPECT_EQ('L', state.state);
    EXPECT_EQ("999.99", state.volume_text);
    CL_Message* reply = bench.Send(Poll(1));
    ASSERT_NE(nullptr, reply);
    EXPECT_EQ(0xFF, reply->bytes[5]) << "unit price 229977: the leading character saturates";
    EXPECT_EQ('9', reply->bytes[6]);

    PumpBench unlimited;
    unlimited.settings.recalc_at_preset = false;
    unlimited.settings.throttle_flow = 1e12;
    unlimited.pump = std::make_unique<CL_pump>(PumpAddress(1), unlimited.settings);
    unlimited.StartFilling(9999, 1, 0x20);
    unlimited.pump->SetFlow(1e300);
    AdvanceClockForTest(1000);
    unlimited.Cycle();
    EXPECT_EQ("21474836.47", unlimited.pump->GetState().volume_text);
    EXPECT_EQ("21474836.47", unlimited.pump->GetState().amount_text);
    reply = unlimited.Send(Poll(1));
    ASSERT_NE(nullptr, reply);
    EXPECT_EQ(0xFF, reply->bytes[10]) << "an overlong figure saturates the leading character";
}

TEST(ClPump, NozzlesVisibilityAndRanges)
{
    PumpBench bench;
    bench.pump->SetVisibleNozzles({false, true, false, false, false});
    bench.pump->LiftNozzle(3);
    EXPECT_EQ(0, bench.pump->GetState().selected_nozzle) << "nozzle 3 is not visible";
    bench.pump->LiftNozzle(0);
    bench.pump->LiftNozzle(6);
    bench.pump->LiftNozzle(-1);
    EXPECT_EQ(0, bench.pump->GetState().selected_nozzle);
    bench.pump->LiftNozzle(2);
    EXPECT_EQ(2, bench.pump->GetState().selected_nozzle);
    bench.Cycle();
    EXPECT_EQ(0x60, bench.Send(Poll(1))->bytes[25]);
    EXPECT_EQ('1', bench.Send(Poll(1))->bytes[9]) << "filling nozzle 2";

    // Flags byte 0x05 blocks nozzles 1 and 3.
    bench.Send(ControllerFrame(PumpAddress(1), '3', {{21, 0x05}, {22, PumpAddress(1)}}));
    const CL_nozzle_flags flags = bench.pump->GetNozzleFlags();
    EXPECT_EQ((std::array<bool, 5>{false, true, false, true, true}), flags.allowed);

    CL_decimals bad;
    bad.volume = 9;
    EXPECT_FALSE(bench.pump->SetDecimals(bad));
    bad.volume = -1;
    EXPECT_FALSE(bench.pump->SetDecimals(bad));
    CL_decimals three;
    three.price = 3;
    EXPECT_TRUE(bench.pump->SetDecimals(three));
    bench.Send(Prices(PumpAddress(1), 1234));
    EXPECT_EQ("1.234", bench.pump->GetState().nozzles[0].price_text);
}

TEST(ClPump, PumpsWithoutAPositionTakeNoCommand)
{
    Pump_settings settings;
    settings.poll_timeout = 3600;
    CL_pump pump20(PumpAddress(20), settings);
    // Index 24 is where pump 20's character would fall; it holds part of the CB0 preset.
    CL_Message* reply = pump20.HandleMessage(FrameOf(ControllerFrame(PumpAddress(20), '3', {{24, 'A'}, {26, PumpAddress(20)}})));
    ASSERT_NE(nullptr, reply);
    EXPECT_EQ('E', pump20.GetStatus());
    reply = pump20.HandleMessage(FrameOf(ControllerFrame(PumpAddress(20), '0', {{24, '9'}, {21, PumpAddress(20)}})));
    EXPECT_NE(nullptr, reply) << "no price-control error for a pump without a position";
    EXPECT_EQ(0, pump20.RxErrorCount());
}
