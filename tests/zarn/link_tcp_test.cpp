// A Zarn loop whose line runs over TCP, the test playing the controller on loopback: the same
// bytes as on a pseudo-terminal, one controller at a time, pumps that outlive a controller, and
// a removal that never waits for the network.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "support/zarn_master.h"
#include "pump_fixture.h"
#include "support/pty_controller.h"
#include "support/tcp_controller.h"
#include "zarn/zarn_forecourt.h"

namespace {

constexpr uint8_t kPump1 = 0x50;

// What a loop tells the controller in one scripted session: the first POLL (its block kept whole),
// then the transactions of every reply while pump 1 is programmed and authorised (asked back with
// "return status") and filled to a 10.00 l preset that the clock carries to its end. How replies
// share blocks depends on when the pump thread runs, so transactions are kept one by one as
// {code, data...}; of the progress reports while the fuel runs only the last DC2 counts.
std::vector<Bytes> FillingSession(ControllerLine& line, Zarn_forecourt& forecourt, const Pump_settings& settings)
{
    using namespace pump_test;
    ZarnMaster master(line);
    std::vector<Bytes> kept;
    std::optional<Bytes> last_dc2;
    // Polls and acknowledges until a DC1 with the status came (and, when asked, a DC3: the end of
    // the answer to "return status", which the pump thread may give a poll or two later), then
    // until EOT. Keeps each transaction; progress reports only when asked.
    auto collect_until_status = [&](int status, bool keep_dc2, bool with_dc3 = false) {
        bool status_seen = false;
        bool dc3_seen = !with_dc3;
        for (int i = 0; i < 2000; ++i) {
            const std::optional<Bytes> reply = master.Poll(kPump1);
            if (!reply)
                return false;
            if (reply->size() <= 2) {
                if (status_seen && dc3_seen)
                    return true;
                continue;  // EOT
            }
            line.Send({kPump1, static_cast<uint8_t>(0xC0 | ((*reply)[1] & 0x0F)), 0xFA});
            for (const ZarnTransaction& t : ZarnTransactions(*reply)) {
                Bytes item{t.code};
                item.insert(item.end(), t.data.begin(), t.data.end());
                if (t.code == 2 && !keep_dc2)
                    last_dc2 = item;
                else
                    kept.push_back(item);
                status_seen = status_seen || (t.code == 1 && t.data == Bytes{static_cast<uint8_t>(status)});
                dc3_seen = dc3_seen || t.code == 3;
            }
        }
        return false;
    };

    Zarn_pump* pump = forecourt.GetPump(forecourt.CreatePump(0, true, settings));
    const std::optional<Bytes> first = master.Poll(kPump1);
    EXPECT_TRUE(first);
    kept.push_back(first.value_or(Bytes{}));
    line.Send({kPump1, 0xC0, 0xFA});
    EXPECT_EQ(master.Poll(kPump1), (Bytes{kPump1, 0x70}));
    // Nozzle 1 allowed at 1.50, a preset of 10.00 l, Authorize.
    EXPECT_TRUE(master.SendData(kPump1, Join({Cd2({1}), Cd5({150}), Cd3(1000), Cd1(6)})));
    EXPECT_TRUE(WaitFor([&] { return pump->GetStatus() == 2; }));
    EXPECT_TRUE(master.SendData(kPump1, Cd1(0)));  // return status: DC1, DC3
    EXPECT_TRUE(collect_until_status(2, true, true));

    pump->SelectNozzle(1);
    pump->LiftNozzle();
    EXPECT_TRUE(WaitFor([&] { return pump->GetStatus() == 4; }));
    AdvanceClockForTest(180000);  // far past the preset
    EXPECT_TRUE(collect_until_status(5, false));
    EXPECT_TRUE(last_dc2);
    kept.push_back(last_dc2.value_or(Bytes{}));
    return kept;
}

// True when a controller that connects is reset at once (during its connect or right after).
bool Refused(const std::string& endpoint)
{
    try {
        TcpController intruder = TcpController::Connect(endpoint);
        return intruder.ClosedByPeer(3000);
    } catch (const std::exception&) {
        return true;
    }
}

class ZarnTcp : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A real port would wait for the echo of each reply; a TCP line has no converter.
        settings_.handle_returning_messages = true;
        settings_.poll_timeout = 600;  // clock jumps stay well inside it
        settings_.pump_sleep_ms = 5;
    }

    Pump_settings settings_;
};

TEST_F(ZarnTcp, PollsAndAFillingGiveTheSameBytesAsOnAPseudoTerminal)
{
    std::vector<Bytes> over_pty;
    {
        settings_.handle_returning_messages = false;  // the test's pty is a device to Gallion
        PtyController pty;
        Zarn_forecourt forecourt(pty.SlavePath(), false, 1, 8, settings_);
        over_pty = FillingSession(pty, forecourt, settings_);
    }
    settings_.handle_returning_messages = true;
    Zarn_forecourt forecourt("tcp-listen:0", false, 1, 8, settings_);
    EXPECT_EQ(forecourt.DevicePath().rfind("127.0.0.1:", 0), 0u) << forecourt.DevicePath();
    TcpController controller = TcpController::Connect(forecourt.DevicePath());
    const std::vector<Bytes> over_tcp = FillingSession(controller, forecourt, settings_);

    ASSERT_GE(over_pty.size(), 4u);
    EXPECT_EQ(over_tcp, over_pty);
    // The filling ended at the preset: DC2 with 10.00 l and 15.00.
    const Bytes& dc2 = over_tcp.back();
    ASSERT_EQ(dc2.size(), 9u);  // code, then 8 data bytes
    EXPECT_EQ(dc2[0], 2);
    EXPECT_EQ(Unpacked(dc2, 1, 4), 1000u);
    EXPECT_EQ(Unpacked(dc2, 5, 4), 1500u);
}

TEST_F(ZarnTcp, OneControllerAtATimeAndTheNextContinuesWithTheSamePumps)
{
    Zarn_forecourt forecourt("tcp-listen:0", false, 1, 8, settings_);
    ASSERT_EQ(forecourt.CreatePump(0, true, settings_), 0);
    Zarn_pump* pump = forecourt.GetPump(0);
    {
        TcpController first = TcpController::Connect(forecourt.DevicePath());
        ZarnMaster master(first);
        ASSERT_TRUE(master.PollAndAck(kPump1));
        ASSERT_TRUE(master.ProgramNozzleOne(kPump1));
        ASSERT_TRUE(master.SendData(kPump1, {0x01, 0x01, 0x05, 0x01, 0x01, 0x06}));  // Reset, Authorize
        ASSERT_TRUE(WaitFor([&] { return pump->GetStatus() == 2; }));

        // A second controller is turned away while the first is connected, and the first keeps
        // its line.
        EXPECT_TRUE(Refused(forecourt.DevicePath()));
        for (int i = 0; i < 10; ++i) {
            const auto reply = master.PollAndAck(kPump1);
            ASSERT_TRUE(reply);
            if (reply->empty())
                break;
        }
        EXPECT_EQ(master.Poll(kPump1), (Bytes{kPump1, 0x70}));
    }  // the first controller leaves

    // The next controller finds the pump as the first left it: authorised, nozzle 1 allowed.
    TcpController next = TcpController::Connect(forecourt.DevicePath());
    ZarnMaster master(next);
    pump->SelectNozzle(1);
    pump->LiftNozzle();
    // Polls until the pump reports filling: the pump thread takes the lift at its next beat, so
    // the bound is time, not a count of polls (a fast loopback answers hundreds within one beat).
    bool filling = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!filling && std::chrono::steady_clock::now() < deadline) {
        const auto reply = master.PollAndAck(kPump1);
        ASSERT_TRUE(reply) << "the next controller gets no answer";
        for (const ZarnTransaction& t : *reply)
            filling = filling || (t.code == 1 && t.data == Bytes{4});
    }
    EXPECT_TRUE(filling) << "status " << pump->GetStatus();
}

TEST_F(ZarnTcp, HalfBlockOfALeavingControllerIsNotGluedToTheNextOnesFirstBlock)
{
    Zarn_forecourt forecourt("tcp-listen:0", false, 1, 8, settings_);
    ASSERT_EQ(forecourt.CreatePump(0, true, settings_), 0);
    {
        TcpController first = TcpController::Connect(forecourt.DevicePath());
        first.Send({kPump1, 0x30, 0x01});  // a DATA block cut off by the controller's departure
    }
    // The next controller's very first POLL is answered: DATA numbered 0 or EOT.
    TcpController next = TcpController::Connect(forecourt.DevicePath());
    next.Send({kPump1, 0x20, 0xFA});
    const Bytes reply = next.ReadExactly(2, 3000);
    ASSERT_EQ(reply.size(), 2u) << "the first POLL of the next controller went unanswered";
    EXPECT_EQ(reply[0], kPump1);
    EXPECT_TRUE(reply[1] == 0x30 || reply[1] == 0x70) << int(reply[1]);
}

TEST_F(ZarnTcp, RemovalWithAControllerConnectedEndsWithinASecond)
{
    auto forecourt = std::make_unique<Zarn_forecourt>("tcp-listen:0", false, 1, 8, settings_);
    ASSERT_EQ(forecourt->CreatePump(0, true, settings_), 0);
    TcpController controller = TcpController::Connect(forecourt->DevicePath());
    ZarnMaster master(controller);
    ASSERT_TRUE(master.PollAndAck(kPump1));
    const auto started = std::chrono::steady_clock::now();
    forecourt.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    EXPECT_TRUE(controller.ClosedByPeer(1000));  // the line is gone with the loop
}

}  // namespace
