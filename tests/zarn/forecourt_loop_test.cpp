#include <gtest/gtest.h>

#include <dirent.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/error.h"
#include "support/zarn_master.h"
#include "support/pty_controller.h"
#include "zarn/zarn_forecourt.h"

namespace {

constexpr uint8_t kPump13 = 0x5C;  // index 0 of a loop for pumps 13-24
constexpr uint8_t kPump14 = 0x5D;

int ThreadCount()
{
    int count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir))
            count += entry->d_name[0] != '.';
        closedir(dir);
    }
    return count;
}

bool Closed(const std::string& path)
{
    const std::string text = ReadWholeFile(path);
    const size_t closing = text.rfind("*********************************************************\r\nLogging aborted at ");
    return closing != std::string::npos && text.size() - closing == 59 + 19 + 24 + 3;
}

std::vector<std::string> LoggedLines(const std::string& path)
{
    const std::string text = ReadWholeFile(path);
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end = text.find("\r\n"); end != std::string::npos; end = text.find("\r\n", start)) {
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines.size() > 8 ? std::vector<std::string>(lines.begin() + 8, lines.end()) : std::vector<std::string>{};
}

class ForecourtLoop : public ::testing::Test {
protected:
    void SetUp() override
    {
        settings_.handle_returning_messages = false;  // the test controller does not echo
        settings_.poll_timeout = 2;
        settings_.pump_sleep_ms = 5;
        forecourt_ = std::make_unique<Zarn_forecourt>(pty_.SlavePath(), false, 13, 24, settings_);
    }

    // Polls until the pump has nothing more to say; false when it falls silent.
    bool PollUntilEot(uint8_t address)
    {
        for (int i = 0; i < 20; ++i) {
            const auto reply = master_.PollAndAck(address);
            if (!reply)
                return false;
            if (reply->empty())
                return true;
        }
        return false;
    }

    // The pump at `index`: nozzle 1 allowed at 1.00, reset and authorised, nozzle 1 out and filling.
    void StartFilling(int index)
    {
        const uint8_t address = forecourt_->AddressOf(index);
        ASSERT_TRUE(PollUntilEot(address));
        ASSERT_TRUE(master_.ProgramNozzleOne(address));
        ASSERT_TRUE(master_.SendData(address, {0x01, 0x01, 0x05, 0x01, 0x01, 0x06}));  // Reset, Authorize
        Zarn_pump* pump = forecourt_->GetPump(index);
        pump->SelectNozzle(1);
        pump->LiftNozzle();
        ASSERT_TRUE(WaitFor([&] { return pump->GetStatus() == 4; }));
    }

    Pump_settings settings_;
    TempDir dir_;
    PtyController pty_;
    ZarnMaster master_{pty_};
    std::unique_ptr<Zarn_forecourt> forecourt_;
};

TEST_F(ForecourtLoop, SlotsAddressesAndTitle)
{
    Zarn_forecourt& fc = *forecourt_;
    EXPECT_EQ(fc.Title(), " --- " + pty_.SlavePath() + " Zarn ---");
    EXPECT_EQ(fc.FirstPumpNumber(), 13);
    EXPECT_EQ(fc.LastPumpNumber(), 24);
    EXPECT_EQ(fc.HighestIndex(), 11);
    EXPECT_EQ(fc.AddressOf(0), kPump13);
    EXPECT_EQ(fc.CreatePump(12, true, settings_), -1);
    EXPECT_EQ(fc.CreatePump(-1, true, settings_), -1);
    EXPECT_EQ(fc.CreatePump(0, true, settings_), 0);
    EXPECT_EQ(fc.CreatePump(0, true, settings_), -1);
    EXPECT_EQ(fc.PumpCount(), 1);
    EXPECT_TRUE(fc.IsConnected(0));
    EXPECT_EQ(fc.GetPump(0)->Address(), kPump13);

    // Index 0 answers at 0x5C: its first DATA block, numbered 0, reports status 0.
    const auto first = master_.Poll(kPump13);
    ASSERT_TRUE(first);
    EXPECT_EQ(Bytes(first->begin(), first->begin() + 5), (Bytes{kPump13, 0x30, 0x01, 0x01, 0x00}));
    ASSERT_EQ(first->size(), 8u);
    EXPECT_EQ(first->back(), 0x03);
    pty_.Send({kPump13, 0xC0, 0xFA});
    EXPECT_EQ(master_.Poll(kPump13), (Bytes{kPump13, 0x70}));
    // Pump 12 and pump 25 do not exist on this loop.
    EXPECT_FALSE(master_.Poll(0x5B, 150));
    EXPECT_FALSE(master_.Poll(0x68, 150));

    EXPECT_EQ(fc.CreatePump(11, false, settings_), 11);
    const auto last = master_.Poll(0x67);
    ASSERT_TRUE(last);
    EXPECT_EQ((*last)[0], 0x67);

    // Connecting a connected pump changes nothing.
    fc.ConnectPump(0);
    EXPECT_TRUE(fc.IsConnected(0));
    EXPECT_EQ(master_.Poll(kPump13), (Bytes{kPump13, 0x70}));

    // Indexes without a pump, or outside the loop, do nothing.
    fc.ConnectPump(5);
    fc.DisconnectPump(5);
    EXPECT_FALSE(fc.IsConnected(5));
    EXPECT_FALSE(fc.StartAutomation(5, 1));
    EXPECT_FALSE(fc.StartLogging(5, dir_.File("x.log"), true));
    EXPECT_FALSE(fc.StartAutomation(0, 4));
    EXPECT_EQ(fc.AutomationLevel(99), 0);
    EXPECT_FALSE(fc.DeletePump(5));
    EXPECT_FALSE(fc.DeletePump(16));
    EXPECT_EQ(fc.GetPump(-3), nullptr);
    EXPECT_EQ(fc.GetPump(40), nullptr);
    fc.SetErrorType(77, 9);
    EXPECT_EQ(fc.ErrorType(77), 0);
    fc.ApplyError(5);

    EXPECT_TRUE(fc.DeletePump(0));
    EXPECT_EQ(fc.GetPump(0), nullptr);
    EXPECT_FALSE(master_.Poll(kPump13, 150));
    EXPECT_EQ(fc.CreatePump(0, true, settings_), 0);  // the slot can be used again
}

TEST(ForecourtRange, NeverMoreThanSixteenPumps)
{
    PtyController pty;
    const Pump_settings settings;
    Zarn_forecourt fc(pty.SlavePath(), false, 1, 32, settings);
    EXPECT_EQ(fc.HighestIndex(), 15);
    EXPECT_EQ(fc.CreatePump(16, true, settings), -1);
    EXPECT_EQ(fc.CreatePump(15, true, settings), 15);
    EXPECT_EQ(fc.AddressOf(15), 0x5F);

    PtyController other_line;
    Zarn_forecourt reversed(other_line.SlavePath(), false, 5, 4, settings);
    EXPECT_EQ(reversed.CreatePump(0, true, settings), -1);
}

TEST(ForecourtRange, PortThatCannotOpenLeavesNothingBehind)
{
    const int threads = ThreadCount();
    EXPECT_THROW(Zarn_forecourt("/dev/no-such-gallion-port", false, 1, 8, Pump_settings{}), Gallion_error);
    EXPECT_EQ(ThreadCount(), threads);
}

TEST_F(ForecourtLoop, DisconnectedPumpFillsOnSilentlyAndGoesOffline)
{
    ASSERT_EQ(forecourt_->CreatePump(0, true, settings_), 0);
    StartFilling(0);
    Zarn_pump* pump = forecourt_->GetPump(0);

    forecourt_->DisconnectPump(0);
    EXPECT_FALSE(forecourt_->IsConnected(0));
    EXPECT_FALSE(master_.Poll(kPump13, 150));

    // The simulation goes on: the volume still grows while the line is silent.
    Zarn_pump_state before;
    pump->GetPanelState(before);
    EXPECT_TRUE(WaitFor([&] {
        Zarn_pump_state now;
        pump->GetPanelState(now);
        return now.volume_text != before.volume_text;
    }));
    EXPECT_EQ(pump->GetStatus(), 4);

    // The poll time-out passes: switched off, flow 0, offline.
    AdvanceClockForTest(3000);
    ASSERT_TRUE(WaitFor([&] { return pump->GetStatus() == 7; }));
    Zarn_pump_state off;
    pump->GetState(off);
    EXPECT_FALSE(off.online);
    EXPECT_EQ(off.flow, 0.0);

    // Connected again, the pump answers and reports status 7.
    forecourt_->ConnectPump(0);
    EXPECT_TRUE(forecourt_->IsConnected(0));
    bool saw_switched_off = false;
    for (int i = 0; i < 10 && !saw_switched_off; ++i) {
        const auto reply = master_.PollAndAck(kPump13);
        ASSERT_TRUE(reply) << "no answer after connecting again";
        saw_switched_off = ZarnController::LastStatus(*reply) == 7;
    }
    EXPECT_TRUE(saw_switched_off);
    EXPECT_TRUE(WaitFor([&] {
        Zarn_pump_state on;
        pump->GetPanelState(on);
        return on.online;
    }));
}

TEST_F(ForecourtLoop, AppliesTheChosenError)
{
    ASSERT_EQ(forecourt_->CreatePump(0, true, settings_), 0);
    ASSERT_TRUE(PollUntilEot(kPump13));
    forecourt_->SetErrorType(0, 9);
    forecourt_->SetErrorValue(0, 0);
    EXPECT_EQ(forecourt_->ErrorType(0), 9);
    forecourt_->ApplyError(0);
    std::optional<std::vector<ZarnTransaction>> reply;
    ASSERT_TRUE(WaitFor([&] {
        reply = master_.PollAndAck(kPump13);
        return reply && !reply->empty();
    }));
    ASSERT_EQ(reply->size(), 1u);
    EXPECT_EQ((*reply)[0].code, 5);
    EXPECT_EQ((*reply)[0].data, Bytes{9});
    ASSERT_TRUE(PollUntilEot(kPump13));  // the acknowledgement has been taken

    // Error 100: the next two blocks are ignored, the third is answered again.
    forecourt_->SetErrorType(0, 100);
    forecourt_->SetErrorValue(0, 2);
    forecourt_->ApplyError(0);
    EXPECT_FALSE(master_.Poll(kPump13, 150));
    EXPECT_FALSE(master_.Poll(kPump13, 150));
    EXPECT_EQ(master_.Poll(kPump13), (Bytes{kPump13, 0x70}));
}

TEST_F(ForecourtLoop, FeedAndPumpLogs)
{
    Zarn_forecourt& fc = *forecourt_;
    ASSERT_EQ(fc.CreatePump(0, true, settings_), 0);
    ASSERT_EQ(fc.CreatePump(1, true, settings_), 1);
    const std::string log13 = dir_.File("Pump 13.log");
    ASSERT_TRUE(fc.StartLogging(0, log13, true));
    EXPECT_TRUE(fc.IsLogging(0));
    EXPECT_FALSE(fc.StartLogging(0, dir_.File("other.log"), true));
    fc.SetFilterAddress(kPump14);
    EXPECT_EQ(fc.GetFilterAddress(), kPump14);

    ASSERT_TRUE(PollUntilEot(kPump13));
    ASSERT_TRUE(PollUntilEot(kPump14));
    // The view shows pump 14 only, received blocks marked; POLLs numbered 0 and EOTs not at all.
    std::vector<std::string> shown;
    ASSERT_TRUE(WaitFor([&] {
        for (std::string text = fc.FetchCommunicationText(); !text.empty(); text = fc.FetchCommunicationText())
            shown.push_back(text);
        return shown.size() >= 2;
    }));
    EXPECT_EQ(shown, (std::vector<std::string>{"<P14 DATA 0><DC1: Pump not programmed>", "* <P14 ACK 0>"}));
    // Pump 13's blocks were not shown but reached its log, without the mark.
    const std::vector<std::string> expected{"<P13 DATA 0><DC1: Pump not programmed>", "<P13 ACK 0>"};
    EXPECT_TRUE(WaitFor([&] { return LoggedLines(log13).size() >= 2; }));
    EXPECT_EQ(LoggedLines(log13), expected);

    fc.StopLogging(0);
    EXPECT_FALSE(fc.IsLogging(0));
    EXPECT_TRUE(Closed(log13));

    // Started again on the same file: a fresh log; deleting the pump closes it.
    fc.SetCommunicationOn(false);
    EXPECT_FALSE(fc.IsCommunicationOn());
    fc.SetInterpreted(false);
    EXPECT_FALSE(fc.GetInterpreted());
    ASSERT_TRUE(fc.StartLogging(0, log13, false));
    EXPECT_TRUE(master_.SendData(kPump13, {0x01, 0x01, 0x00}));
    EXPECT_TRUE(WaitFor([&] { return LoggedLines(log13).size() >= 2; }));
    EXPECT_EQ(LoggedLines(log13)[1], "5C C0 ");
    EXPECT_TRUE(fc.DeletePump(0));
    EXPECT_FALSE(fc.IsLogging(0));
    EXPECT_TRUE(Closed(log13));

    // Deleting the whole loop closes the logs still open.
    const std::string log14 = dir_.File("Pump 14.log");
    ASSERT_TRUE(fc.StartLogging(1, log14, true));
    forecourt_.reset();
    EXPECT_TRUE(Closed(log14));

    // A file that cannot be created is reported and nothing is logged.
    forecourt_ = std::make_unique<Zarn_forecourt>(pty_.SlavePath(), false, 13, 24, settings_);
    ASSERT_EQ(forecourt_->CreatePump(0, true, settings_), 0);
    EXPECT_THROW(forecourt_->StartLogging(0, dir_.File("missing/Pump 13.log"), true), Gallion_error);
    EXPECT_FALSE(forecourt_->IsLogging(0));
}

TEST_F(ForecourtLoop, DeletingABusyLoopIsPromptAndClosesEverything)
{
    forecourt_.reset();
    const int threads_before = ThreadCount();
    forecourt_ = std::make_unique<Zarn_forecourt>(pty_.SlavePath(), false, 13, 24, settings_);
    std::vector<std::string> logs;
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(forecourt_->CreatePump(i, true, settings_), i);
        logs.push_back(dir_.File("Pump " + std::to_string(13 + i) + ".log"));
        ASSERT_TRUE(forecourt_->StartLogging(i, logs.back(), i % 2 == 0));
        StartFilling(i);
        ASSERT_TRUE(forecourt_->StartAutomation(i, 1 + i % 3));
        EXPECT_EQ(forecourt_->AutomationLevel(i), 1 + i % 3);
    }
    // The view is on and nobody fetches: blocks wait in the display queue.
    ASSERT_TRUE(PollUntilEot(kPump13));
    EXPECT_GT(forecourt_->Feed().DisplayQueueSize(), 0u);

    const auto start = std::chrono::steady_clock::now();
    forecourt_.reset();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(1));

    for (const std::string& log : logs)
        EXPECT_TRUE(Closed(log)) << log;
    EXPECT_TRUE(WaitFor([&] { return ThreadCount() == threads_before; }, 2000));
    EXPECT_FALSE(master_.Poll(kPump13, 150));
}

}  // namespace
