// End to end on a pseudo-terminal: the test plays the controller with real 32-byte frames.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "cl_test_frames.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "currentloop/cl_io.h"
#include "currentloop/cl_message_displayer.h"

using namespace cltest;

namespace {

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bool IsReplyFrom(const std::vector<uint8_t>& reply, int pump_number)
{
    return reply.size() == 32 && reply[0] == 0x02 && reply[1] == 'q' && reply[2] == PumpAddress(pump_number) &&
           reply[3] == 'P' && reply[4] == '0' && reply[31] == 0x03 && CrcMatches(reply);
}

}  // namespace

TEST(ClLine, AssemblyRestartsAtStxAndTakesEarlyEtxAsData)
{
    Loop loop(1, 2);
    ASSERT_EQ(0, loop.forecourt->CreatePump(0, loop.settings));

    // An STX inside a partial frame throws away what came before.
    const std::vector<uint8_t> poll = Poll(1);
    std::vector<uint8_t> partial(poll.begin(), poll.begin() + 12);
    EXPECT_TRUE(IsReplyFrom(loop.Ask(Concat(partial, poll)), 1));
    EXPECT_TRUE(loop.line.Silent(100)) << "exactly one reply";

    // An ETX at index 5 does not end the frame (it is pump 1's command character: no command).
    const std::vector<uint8_t> with_etx = ControllerFrame(PumpAddress(1), '3', {{5, 0x03}, {26, PumpAddress(1)}});
    EXPECT_TRUE(IsReplyFrom(loop.Ask(with_etx), 1));
}

TEST(ClLine, BadFramesGetNoReplyButReachTheView)
{
    Loop loop(1, 2);
    ASSERT_EQ(0, loop.forecourt->CreatePump(0, loop.settings));
    loop.forecourt->SetInterpreted(false);

    // 33 bytes: the ETX at index 32.
    std::vector<uint8_t> long_frame = Poll(1);
    long_frame.insert(long_frame.begin() + 31, 'x');
    std::vector<uint8_t> bad_crc = Poll(1);
    bad_crc[30] ^= 0x01;
    std::vector<uint8_t> to_controller = ControllerFrame('q', '3', {{26, PumpAddress(1)}});
    std::vector<uint8_t> wrong_source = Poll(1);
    wrong_source[2] = 'p';
    const uint16_t crc = CL_Crc16(wrong_source.data() + 1, 28);
    wrong_source[29] = static_cast<uint8_t>(crc >> 8);
    wrong_source[30] = static_cast<uint8_t>(crc & 0xFF);
    std::vector<uint8_t> type4 = ControllerFrame(PumpAddress(1), '4', {{26, PumpAddress(1)}});

    for (const auto& frame : {long_frame, bad_crc, to_controller, wrong_source, type4}) {
        loop.line.Send(frame);
        EXPECT_TRUE(loop.line.Silent(80));
    }
    EXPECT_TRUE(IsReplyFrom(loop.Ask(Poll(1)), 1)) << "the line still works";

    // Every assembled frame is shown as received, the long one with its 33 bytes.
    std::string text;
    ASSERT_TRUE(WaitFor([&] { return !(text = loop.forecourt->FetchCommunicationText()).empty(); }));
    EXPECT_EQ(2u + 33u * 3u + 10u, text.size()) << text;
    EXPECT_EQ("* 02 50 71 ", text.substr(0, 11)) << "STX, pump 1 (P), q";
    int received = 1;
    while (!(text = loop.forecourt->FetchCommunicationText()).empty())
        received += text.rfind("* ", 0) == 0 ? 1 : 0;
    EXPECT_EQ(6, received);
}

TEST(ClLine, BroadcastPollIsAnsweredByTheNamedPumpFirstAndOnly)
{
    const Pump_settings settings = QuickPumpSettings();
    PtyController line;
    CL_Message_displayer feed;
    CL_IO io(line.SlavePath(), false, feed);
    std::vector<std::unique_ptr<CL_pump>> pumps;
    for (int number = 1; number <= 4; ++number) {
        pumps.push_back(std::make_unique<CL_pump>(PumpAddress(number), settings));
        pumps.back()->Start();
        ASSERT_TRUE(io.RegisterPump(pumps.back().get()));
    }
    EXPECT_FALSE(io.RegisterPump(pumps[0].get())) << "address already taken";
    io.Start();
    line.Send(Poll(1));  // pump 1 is polled, so it stays online
    ASSERT_TRUE(IsReplyFrom(line.ReadExactly(32, 2000), 1));

    std::mutex trace_mutex;
    std::string trace;
    io.SetDispatchObserverForTest([&](char event, uint8_t address) {
        std::lock_guard<std::mutex> lock(trace_mutex);
        trace += event;
        trace += static_cast<char>(address);
    });

    // Pump 1 is told 'A' in the same broadcast: it acts only after pump 3 has answered.
    line.Send(ControllerFrame('O', '3', {{PositionOf(1), 'A'}, {26, PumpAddress(3)}}));
    EXPECT_TRUE(IsReplyFrom(line.ReadExactly(32, 2000), 3));
    EXPECT_TRUE(line.Silent(100)) << "only pump 3 answers";
    {
        std::lock_guard<std::mutex> lock(trace_mutex);
        EXPECT_EQ("HRSRHPHQHS", trace);
    }
    EXPECT_TRUE(WaitFor([&] { return pumps[0]->GetStatus() == 'A'; }));
    for (auto& pump : pumps)
        io.UnregisterPump(pump.get());
}

TEST(ClLine, PresetDigitsAndBroadcastPriceControl)
{
    Loop loop(1, 4);
    for (int slot = 0; slot < 4; ++slot)
        ASSERT_EQ(slot, loop.forecourt->CreatePump(slot, loop.settings));

    const std::vector<uint8_t> cb0 = ControllerFrame(
        PumpAddress(2), '0',
        {{PositionOf(2), '3'}, {21, PumpAddress(2)}, {22, '1'}, {23, 0x72}, {24, 0xF3}, {25, '4'}, {26, '5'}, {27, 0x20}});
    EXPECT_TRUE(IsReplyFrom(loop.Ask(cb0), 2));
    CL_pump_state state = loop.Pump(1).GetState();
    EXPECT_EQ("13123.45", state.preset_text);
    EXPECT_TRUE(state.preset_is_volume);
    const std::vector<uint8_t> reply = loop.AskUntil(Poll(2), [](const auto& r) { return r[26] == '2'; });
    EXPECT_EQ('2', reply[26]);
    EXPECT_EQ('3', reply[27]) << "price control from the pump's own position";

    // A broadcast CB0 whose position for pump 3 holds '7': a receive error in pump 3 only;
    // the others take their price control, and only pump 2 answers.
    const std::vector<uint8_t> broadcast = ControllerFrame(
        'O', '0',
        {{PositionOf(1), '5'}, {PositionOf(2), '6'}, {PositionOf(3), '7'}, {PositionOf(4), '1'}, {21, PumpAddress(2)},
         {22, '0'}, {23, '0'}, {24, '1'}, {25, '0'}, {26, '0'}, {27, 0}});
    EXPECT_TRUE(IsReplyFrom(loop.Ask(broadcast), 2));
    EXPECT_TRUE(loop.line.Silent(80));
    EXPECT_EQ(0, loop.Pump(0).RxErrorCount());
    EXPECT_EQ(0, loop.Pump(1).RxErrorCount());
    EXPECT_EQ(1, loop.Pump(2).RxErrorCount());
    EXPECT_EQ(0, loop.Pump(3).RxErrorCount());
    EXPECT_EQ("1.00", loop.Pump(1).GetState().preset_text);
    EXPECT_EQ("0.00", loop.Pump(0).GetState().preset_text) << "pumps not named take no preset";
    const std::vector<uint8_t> reply1 = loop.AskUntil(Poll(1), [](const auto& r) { return r[27] == '5'; });
    EXPECT_EQ('5', reply1[27]);
}

TEST(ClLine, ReceiveErrorsAreListedWhenLogged)
{
    Loop loop(3, 3);
    loop.settings.log_rx_errors = true;
    ASSERT_EQ(0, loop.forecourt->CreatePump(0, loop.settings));
    loop.line.Send(ControllerFrame(PumpAddress(3), '0', {{PositionOf(3), '7'}, {21, PumpAddress(3)}}));
    EXPECT_TRUE(loop.line.Silent(80)) << "no reply to a message that raised an error";
    ASSERT_TRUE(WaitFor([&] { return loop.Pump(0).RxErrorCount() == 1; }));
    const std::vector<std::string> lines = loop.Pump(0).RxErrorLines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ(15u + 27u, lines[0].size()) << lines[0];
    EXPECT_EQ("Invalid price control bytes", lines[0].substr(15));
    EXPECT_EQ("02 52 71 50 30 ", lines[1].substr(0, 15));
    EXPECT_EQ(106u, lines[1].size());
    EXPECT_EQ("", lines[2]);
    EXPECT_EQ(3u, loop.Pump(0).TakeRxErrorLines().size());
    EXPECT_TRUE(loop.Pump(0).RxErrorLines().empty());
    EXPECT_EQ(1, loop.Pump(0).RxErrorCount()) << "taking the lines keeps the count";
}

TEST(ClLine, FullFillingToAnAmountPreset)
{
    Loop loop(1, 1);
    loop.settings.throttle_amount = 0;
    ASSERT_EQ(0, loop.forecourt->CreatePump(0, loop.settings));
    CL_pump& pump = loop.Pump(0);

    EXPECT_EQ('E', loop.Ask(Poll(1))[22]);
    pump.LiftNozzle(1);
    EXPECT_EQ('F', loop.AskUntil(Poll(1), [](const auto& r) { return r[22] == 'F'; })[22]);
    EXPECT_EQ('B', loop.AskUntil(Poll(1, 'A'), [](const auto& r) { return r[22] == 'B'; })[22]);

    loop.line.Send(Prices(PumpAddress(1), 150));
    EXPECT_TRUE(loop.line.Silent(50)) << "CB1 gets no reply";
    EXPECT_TRUE(IsReplyFrom(loop.Ask(Preset(1, 300, 0)), 1));
    const char authorised = pump.GetStatus();
    EXPECT_TRUE(authorised == 'C' || authorised == 'D') << "CB0 authorises a reset pump: " << authorised;

    const std::vector<uint8_t> delivering =
        loop.AskUntil(Poll(1), [](const auto& r) { return r[22] == 'D' && DigitField(r, 10, 6) > 0; });
    EXPECT_EQ('D', delivering[22]);
    EXPECT_EQ(150, DigitField(delivering, 5, 4));
    EXPECT_EQ('0', delivering[9]) << "filling nozzle 1";
    const int volume_before = DigitField(delivering, 10, 6);
    const std::vector<uint8_t> growing =
        loop.AskUntil(Poll(1), [&](const auto& r) { return DigitField(r, 10, 6) > volume_before; });
    EXPECT_GT(DigitField(growing, 10, 6), volume_before);
    EXPECT_EQ(DigitField(growing, 10, 6) * 150 / 100, DigitField(growing, 16, 6));

    AdvanceClockForTest(20000);  // far beyond the preset at 40 litres per minute
    const std::vector<uint8_t> done = loop.AskUntil(Poll(1), [](const auto& r) { return r[22] == 'L'; });
    EXPECT_EQ('L', done[22]);
    EXPECT_EQ(300, DigitField(done, 16, 6)) << "the amount stops at exactly the preset";
    EXPECT_EQ(200, DigitField(done, 10, 6)) << "300 x 100 / 150";
    const CL_pump_state state = pump.GetState();
    EXPECT_EQ(0.0, state.flow);
    EXPECT_FALSE(state.nozzle_out);
    EXPECT_EQ("3.00", state.amount_text);
    EXPECT_EQ("1.50", state.price_text);
}

TEST(ClLine, AdjustmentByteKeepsFramingBytesOutOfTheCrc)
{
    Loop loop(1, 1);
    ASSERT_EQ(0, loop.forecourt->CreatePump(0, loop.settings));
    loop.Pump(0).LiftNozzle(1);
    loop.Ask(Poll(1, 'A'));

    // The reply of a reset pump with nozzle 1 lifted, as a function of nozzle 1's price.
    auto reply_for_price = [](int price) {
        std::vector<uint8_t> r(32, 0);
        const std::string body = "\x02qPP0" + std::to_string(10000 + price).substr(1) + "0000000000000B";
        std::copy(body.begin(), body.end(), r.begin());
        r[2] = PumpAddress(1);
        r[23] = 0x40;
        r[24] = ' ';
        r[25] = 0x7F;
        r[26] = '0';
        r[27] = '2';
        return r;
    };
    auto needs_adjustment = [](const std::vector<uint8_t>& r) {
        const uint16_t crc = CL_Crc16(r.data() + 1, 28);
        for (unsigned b : {unsigned(crc >> 8), unsigned(crc & 0xFF)})
            if (b == 0x02 || b == 0x03)
                return true;
        return false;
    };
    int price = 0;
    while (!needs_adjustment(reply_for_price(price)))
        ++price;
    ASSERT_LT(price, 10000);

    loop.line.Send(Prices(PumpAddress(1), price));
    const std::vector<uint8_t> reply =
        loop.AskUntil(Poll(1), [&](const auto& r) { return DigitField(r, 5, 4) == price; });
    ASSERT_EQ(32u, reply.size());
    std::vector<uint8_t> unadjusted = reply;
    unadjusted[28] = 0;
    unadjusted[29] = unadjusted[30] = 0;
    unadjusted[31] = 0;
    EXPECT_EQ(reply_for_price(price), unadjusted) << "the predicted reply (price " << price << ")";
    EXPECT_NE(0, reply[28]);
    EXPECT_EQ(0, reply[28] & 0x0F) << "adjustments are steps of 0x10";
    EXPECT_TRUE(CrcMatches(reply));
    for (size_t i : {29u, 30u})
        EXPECT_TRUE(reply[i] != 0x02 && reply[i] != 0x03);
}

TEST(ClLine, InjectedErrorsSpoilExactlyTheNextReplies)
{
    Loop loop(1, 1);
    ASSERT_EQ(0, loop.forecourt->CreatePump(0, loop.settings));
    const std::vector<uint8_t> normal = loop.Ask(Poll(1));
    ASSERT_TRUE(IsReplyFrom(normal, 1));

    // Bad CRC for the next two replies, however many pump cycles pass first.
    loop.forecourt->SetErrorType(0, cl_error::kBadCrc);
    loop.forecourt->SetErrorValue(0, 2);
    EXPECT_EQ(cl_error::kBadCrc, loop.forecourt->ErrorType(0));
    ASSERT_TRUE(loop.forecourt->ApplyError(0));
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    for (int i = 0; i < 2; ++i) {
        const std::vector<uint8_t> r = loop.Ask(Poll(1));
        ASSERT_EQ(32u, r.size());
        EXPECT_FALSE(CrcMatches(r)) << "reply " << i;
        EXPECT_EQ(0, r[28]);
    }
    EXPECT_TRUE(IsReplyFrom(loop.Ask(Poll(1)), 1));

    // Random data with a good CRC for the next two replies.
    loop.Pump(0).InjectError(cl_error::kRandomData, 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    for (int i = 0; i < 2; ++i) {
        const std::vector<uint8_t> r = loop.Ask(Poll(1));
        EXPECT_TRUE(IsReplyFrom(r, 1));
        EXPECT_NE(std::vector<uint8_t>(normal.begin() + 5, normal.begin() + 28),
                  std::vector<uint8_t>(r.begin() + 5, r.begin() + 28));
    }
    const std::vector<uint8_t> clean = loop.Ask(Poll(1));
    EXPECT_EQ(std::vector<uint8_t>(normal.begin() + 5, normal.begin() + 28),
              std::vector<uint8_t>(clean.begin() + 5, clean.begin() + 28));
}

TEST(ClLine, IgnoredMessagesStillRestartThePollTimeOut)
{
    Loop loop(1, 1, 1);
    ASSERT_EQ(0, loop.forecourt->CreatePump(0, loop.settings));
    CL_pump& pump = loop.Pump(0);
    EXPECT_FALSE(pump.GetState().online) << "never polled";
    pump.InjectError(cl_error::kNoAnswer, 3);
    for (int i = 0; i < 3; ++i) {
        loop.line.Send(Poll(1));
        EXPECT_TRUE(loop.line.Silent(60)) << "message " << i << " is ignored";
        EXPECT_TRUE(WaitFor([&] { return pump.GetState().online; })) << "and still counts as a poll";
        AdvanceClockForTest(2500);
        EXPECT_TRUE(WaitFor([&] { return !pump.GetState().online; })) << "offline after the time-out";
    }
    EXPECT_TRUE(IsReplyFrom(loop.Ask(Poll(1)), 1)) << "the fourth message is answered";
}

TEST(ClLine, PollTimeOutEndsAFilling)
{
    Loop loop(1, 1, 1);
    ASSERT_EQ(0, loop.forecourt->CreatePump(0, loop.settings));
    CL_pump& pump = loop.Pump(0);
    pump.LiftNozzle(1);
    loop.Ask(Poll(1, 'C'));
    ASSERT_TRUE(WaitFor([&] { return pump.GetStatus() == 'D'; }));
    AdvanceClockForTest(2500);
    EXPECT_TRUE(WaitFor([&] { return pump.GetStatus() == 'E' && !pump.GetState().online; }));
    EXPECT_EQ(0.0, pump.GetState().flow);
}

TEST(ClLine, DisconnectSilencesAPumpAndConnectBringsItBack)
{
    Loop loop(5, 8);
    for (int slot = 0; slot < 4; ++slot)
        EXPECT_EQ(slot, loop.forecourt->CreatePump(slot, loop.settings));
    EXPECT_EQ(-1, loop.forecourt->CreatePump(4, loop.settings)) << "beyond the last pump number";
    EXPECT_EQ(-1, loop.forecourt->CreatePump(0, loop.settings)) << "occupied";
    EXPECT_EQ('T', loop.Pump(0).Address());
    EXPECT_EQ('W', loop.Pump(3).Address());

    EXPECT_TRUE(IsReplyFrom(loop.Ask(Poll(6, 'A')), 6));
    ASSERT_TRUE(loop.forecourt->DisconnectPump(1));
    EXPECT_FALSE(loop.forecourt->IsConnected(1));
    loop.line.Send(Poll(6));
    EXPECT_TRUE(loop.line.Silent(80));
    EXPECT_EQ('A', loop.Pump(1).GetStatus()) << "keeps its state";
    ASSERT_TRUE(loop.forecourt->ConnectPump(1));
    EXPECT_EQ('A', loop.Ask(Poll(6))[22]);

    ASSERT_TRUE(loop.forecourt->DeletePump(1));
    EXPECT_EQ(nullptr, loop.forecourt->GetPump(1));
    loop.line.Send(Poll(6));
    EXPECT_TRUE(loop.line.Silent(80));
    EXPECT_FALSE(loop.forecourt->DeletePump(1));
    EXPECT_EQ(nullptr, loop.forecourt->GetPump(-1));
    EXPECT_EQ(nullptr, loop.forecourt->GetPump(8));
}

TEST(ClLine, PumpsDeletedUnderTrafficAreNeverUsedAfterwards)
{
    Loop loop(1, 2);
    ASSERT_EQ(0, loop.forecourt->CreatePump(0, loop.settings));
    std::atomic<bool> stop{false};
    std::thread controller([&] {
        const std::vector<uint8_t> burst = Concat(ControllerFrame('O', '3', {{26, PumpAddress(1)}}), Poll(2, 'A'));
        while (!stop) {
            loop.line.Send(burst);
            loop.line.Drain();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    for (int round = 0; round < 30; ++round) {
        ASSERT_EQ(1, loop.forecourt->CreatePump(1, loop.settings));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_TRUE(loop.forecourt->DeletePump(1));
    }
    stop = true;
    controller.join();
    EXPECT_TRUE(loop.forecourt->IoRunning());
    EXPECT_EQ("", loop.forecourt->IoErrorText());
}

TEST(ClLine, DeletingAPumpNeverWaitsForAStalledPortWrite)
{
    Loop loop(1, 2);
    ASSERT_EQ(0, loop.forecourt->CreatePump(0, loop.settings));
    ASSERT_EQ(1, loop.forecourt->CreatePump(1, loop.settings));
    ASSERT_TRUE(IsReplyFrom(loop.Ask(Poll(1)), 1));

    // The controller keeps polling pump 1 but stops reading, until the replies fill the line and
    // the I/O thread sits in a write: polls then stay unread by the simulator.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int stalled_checks = 0;
    while (stalled_checks < 3) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the line never filled";
        if (loop.line.UnreadBySimulator() < 64) {
            stalled_checks = 0;
            for (int i = 0; i < 16; ++i)
                loop.line.Send(Poll(1));
        } else {
            ++stalled_checks;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }

    // The window thread deletes pump 1 at once (the write gives up only after two seconds).
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(loop.forecourt->DeletePump(0));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));

    // The controller reads again: the loop carries on with pump 2 alone.
    while (!loop.line.Silent(100)) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the line never fell silent";
        loop.line.Drain();
    }
    EXPECT_TRUE(IsReplyFrom(loop.Ask(Poll(2)), 2));
    loop.line.Send(Poll(1));
    EXPECT_TRUE(loop.line.Silent(100)) << "the deleted pump answered";
}

TEST(ClLine, PortThatCannotBeOpenedRaises)
{
    EXPECT_THROW(CL_forecourt("/nonexistent/port", false, 1, 2, Pump_settings{}), Gallion_error);
}

TEST(ClLine, PortErrorEndsTheThreadAndIsKeptForTheOwner)
{
    Loop loop(1, 1);
    ASSERT_EQ(0, loop.forecourt->CreatePump(0, loop.settings));
    EXPECT_TRUE(loop.forecourt->IoRunning());
    EXPECT_EQ(loop.line.SlavePath(), loop.forecourt->DevicePath());
    loop.line.CloseMaster();  // the line disappears under the loop
    ASSERT_TRUE(WaitFor([&] { return !loop.forecourt->IoRunning(); }));
    EXPECT_EQ(0u, loop.forecourt->IoErrorText().rfind("Invalid port: ", 0)) << loop.forecourt->IoErrorText();
    EXPECT_TRUE(WaitFor([&] { return loop.Pump(0).GetStatus() == 'E'; })) << "the pump keeps simulating";
}

TEST(ClLine, ArbitraryFrameContentsNeverUpsetTheLoop)
{
    Loop loop(1, 8);
    for (int slot = 0; slot < 8; ++slot)
        ASSERT_EQ(slot, loop.forecourt->CreatePump(slot, loop.settings));
    loop.Pump(0).LiftNozzle(1);
    std::mt19937 random(7);
    const uint8_t destinations[] = {'O', 'P', 'Q', 'W', 'X'};
    for (int i = 0; i < 400; ++i) {
        std::map<size_t, uint8_t> data;
        for (size_t index = 5; index <= 27; ++index)
            data[index] = static_cast<uint8_t>(random() % 256);
        const char type = static_cast<char>('0' + random() % 4);
        loop.line.Send(ControllerFrame(destinations[random() % 5], type, data));
        if (i % 50 == 0)
            AdvanceClockForTest(10000);
        loop.line.Drain();
    }
    std::vector<uint8_t> garbage(600);
    for (auto& byte : garbage)
        byte = static_cast<uint8_t>(random() % 256);
    loop.line.Send(garbage);
    loop.line.Send(Poll(2));  // the frame after the garbage starts at its own STX
    loop.line.Drain();
    EXPECT_TRUE(WaitFor([&] { return IsReplyFrom(loop.Ask(Poll(2), 200), 2); }));
    EXPECT_TRUE(loop.forecourt->IoRunning());
    for (int slot = 0; slot < 8; ++slot) {
        const CL_pump_state state = loop.Pump(slot).GetState();
        EXPECT_NE(std::string::npos, std::string("EACDL").find(state.state));
    }
}
