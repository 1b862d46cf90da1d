// A bounded soak of both engines at once, meant for the sanitizer builds: a controller thread
// floods one Zarn loop and one current loop with valid and invalid traffic while the test's main
// thread adds, removes, connects, disconnects, logs, automates and injects errors into pumps and
// destroys and re-creates whole loops. A watchdog turns any step that hangs into a failure with
// the step's name; at the end every pump log must be whole: header first, closing line last.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "currentloop/cl_automater.h"
#include "currentloop/cl_forecourt.h"
#include "currentloop/cl_test_frames.h"
#include "support/pty_controller.h"
#include "zarn/zarn_automater.h"
#include "zarn/link_fixture.h"
#include "zarn/zarn_forecourt.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRounds = 150;
constexpr int kLoopRebuildEvery = 15;  // rounds between the destruction and re-creation of both loops
constexpr int kStepDeadlineMs = 20000;  // generous for ThreadSanitizer on two busy cores

// Fails the run with the name of a step that does not finish in time (a deadlock or a hang),
// instead of leaving CI waiting.
class Watchdog {
public:
    Watchdog() : thread_([this] { Watch(); }) {}
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    void Step(const std::string& name)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        step_ = name;
        started_ = Clock::now();
    }

private:
    void Watch()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stop_) {
            changed_.wait_for(lock, std::chrono::milliseconds(100));
            if (!stop_ && Clock::now() - started_ > std::chrono::milliseconds(kStepDeadlineMs)) {
                std::fprintf(stderr, "soak: step \"%s\" did not finish within %d ms\n", step_.c_str(), kStepDeadlineMs);
                std::abort();
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    bool stop_ = false;
    std::string step_ = "start";
    Clock::time_point started_ = Clock::now();
    std::thread thread_;
};

// The controller: writes a mix of valid and broken traffic to both lines from its own thread and
// throws away what comes back.
class Flooder {
public:
    Flooder(PtyController& zarn_line, PtyController& cl_line)
        : zarn_line_(zarn_line), cl_line_(cl_line), thread_([this] { Run(); })
    {
    }
    ~Flooder()
    {
        stop_ = true;
        thread_.join();
    }
    int Rounds() const { return rounds_; }
    std::string Failure() const
    {
        std::lock_guard<std::mutex> lock(failure_mutex_);
        return failure_;
    }

private:
    void Run()
    {
        try {
            while (!stop_) {
                zarn_line_.Send(ZarnTraffic());
                cl_line_.Send(CurrentLoopTraffic());
                zarn_line_.Drain();
                cl_line_.Drain();
                ++rounds_;
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        } catch (const std::exception& error) {
            std::lock_guard<std::mutex> lock(failure_mutex_);
            failure_ = error.what();
        }
    }

    uint8_t Random(int below) { return static_cast<uint8_t>(random_() % below); }

    Bytes ZarnTraffic()
    {
        const uint8_t address = static_cast<uint8_t>(0x50 + Random(17));  // 0x60 is nobody's
        Bytes out;
        auto add = [&out](const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); };
        switch (Random(8)) {
        case 0:  // allow nozzles 1 and 2, price them, authorise
            add(ZarnDataBlock(address, 0, {2, 2, 1, 2, 5, 6, 0x00, 0x12, 0x34, 0x00, 0x05, 0x67, 1, 1, 6}));
            break;
        case 1:  // stop, reset, ask for totals and status
            add(ZarnDataBlock(address, 0, {1, 1, static_cast<uint8_t>(Random(2) ? 8 : 5), 101, 1, 1, 1, 1, 0}));
            break;
        case 2:  // malformed transactions in a block with a good CRC
            add(ZarnDataBlock(address, 0, {5, 4, 0x99, 0xAA, 0x01, 2, 40, 1}));
            break;
        case 3:  // a DATA block with a bad CRC, then a NAK
            add(Bytes{address, 0x31, 1, 1, 0, 0x12, 0x34, 0x03, 0xFA});
            add(ZarnControlBlock(address, static_cast<uint8_t>(0x50 | Random(16))));
            break;
        case 4: {  // line noise, ending with SF so the next block starts clean
            for (int i = 0; i < 40; ++i)
                out.push_back(Random(256));
            out.push_back(0xFA);
            break;
        }
        default:  // polls and acknowledgements
            add(ZarnControlBlock(address, 0x20));
            add(ZarnControlBlock(address, static_cast<uint8_t>(0xC0 | Random(16))));
            break;
        }
        return out;
    }

    Bytes CurrentLoopTraffic()
    {
        const int pump = 1 + Random(9);  // pump 9 is not on the loop
        const uint8_t destination = Random(4) == 0 ? 'O' : cltest::PumpAddress(pump);
        switch (Random(7)) {
        case 0:
            return cltest::Prices(destination, 1234);
        case 1:
            return cltest::Preset(pump, 500, 0x20);
        case 2:
            return cltest::Poll(pump, 'A');  // authorise
        case 3: {
            Bytes frame = cltest::Poll(pump, 'C');
            frame[29] ^= 0x5A;  // a broken CRC
            return frame;
        }
        case 4: {
            Bytes noise(70);
            for (uint8_t& byte : noise)
                byte = Random(256);
            return noise;
        }
        default:
            return cltest::Poll(pump, Random(2) ? ' ' : 'E');
        }
    }

    PtyController& zarn_line_;
    PtyController& cl_line_;
    std::mt19937 random_{20261208};
    std::atomic<bool> stop_{false};
    std::atomic<int> rounds_{0};
    mutable std::mutex failure_mutex_;
    std::string failure_;
    std::thread thread_;
};

// Checks a finished pump log: the header's first line, then whatever traffic, then the closing
// line as the last line. Returns the number of lines.
size_t ExpectWellFormedLog(const std::string& path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    EXPECT_GE(lines.size(), 3u) << path;
    if (lines.size() < 3)
        return lines.size();
    EXPECT_EQ(std::string(57, '*'), lines.front().substr(0, 57)) << path;
    EXPECT_EQ(0u, lines[1].find("*  Logfile from Gallion")) << path;
    EXPECT_EQ(0u, lines.back().find("Logging aborted at ")) << path << ": " << lines.back();
    int headers = 0;
    int closings = 0;
    for (const std::string& line : lines) {
        headers += line.rfind("*  Logfile from Gallion", 0) == 0;
        closings += line.rfind("Logging aborted at ", 0) == 0;
    }
    EXPECT_EQ(1, headers) << path;
    EXPECT_EQ(1, closings) << path;
    return lines.size();
}

class Soak : public ::testing::Test {
protected:
    // One set for both protocols (the current loop has no echo handling).
    Soak()
    {
        settings_.handle_returning_messages = false;
        settings_.pump_sleep_ms = 5;
        settings_.poll_timeout = 1;
        settings_.log_rx_errors = true;
    }

    std::string NewLogName(const char* protocol)
    {
        std::string name = logs_.File(std::string(protocol) + "-" + std::to_string(log_files_.size()) + ".log");
        log_files_.push_back(name);
        return name;
    }

    void ZarnStep(int round)
    {
        const int index = static_cast<int>(random_() % 16);
        switch (random_() % 10) {
        case 0:
            zarn_->CreatePump(index, random_() % 2 == 0, settings_);
            break;
        case 1:
            if (index != 0)  // pump 0 carries the quick automater
                zarn_->DeletePump(index);
            break;
        case 2:
            if (zarn_->IsConnected(index))
                zarn_->DisconnectPump(index);
            else
                zarn_->ConnectPump(index);
            break;
        case 3:
            if (zarn_->GetPump(index) && !zarn_->IsLogging(index))
                zarn_->StartLogging(index, NewLogName("zarn"), random_() % 2 == 0);
            else
                zarn_->StopLogging(index);
            break;
        case 4:
            if (zarn_->AutomationLevel(index) == 0)
                zarn_->StartAutomation(index, 1 + static_cast<int>(random_() % 3));
            else
                zarn_->StopAutomation(index);
            break;
        case 5: {
            static const int kTypes[] = {0, 1, 3, 100, 101, 102, 103};
            zarn_->SetErrorType(index, kTypes[random_() % 7]);
            zarn_->SetErrorValue(index, static_cast<int>(random_() % 4));
            zarn_->ApplyError(index);
            break;
        }
        case 6:
            if (Zarn_pump* pump = zarn_->GetPump(index)) {
                pump->SelectNozzle(1 + static_cast<int>(random_() % 2));
                pump->LiftNozzle();
                pump->SetFlow(40);
            }
            break;
        case 7:
            if (Zarn_pump* pump = zarn_->GetPump(index)) {
                Zarn_pump_state state;
                pump->GetState(state);
                pump->HangUpNozzle();
            }
            break;
        default:
            zarn_->SetFilterAddress(round % 3 == 0 ? 0 : zarn_->AddressOf(index));
            zarn_->SetInterpreted(round % 2 == 0);
            (void)zarn_->FetchCommunicationText();
            break;
        }
    }

    void CurrentLoopStep(int round)
    {
        const int slot = static_cast<int>(random_() % 8);
        switch (random_() % 9) {
        case 0:
            cl_->CreatePump(slot, settings_);
            break;
        case 1:
            cl_->DeletePump(slot);
            break;
        case 2:
            if (cl_->IsConnected(slot))
                cl_->DisconnectPump(slot);
            else
                cl_->ConnectPump(slot);
            break;
        case 3:
            if (cl_->GetPump(slot) && !cl_->IsLogging(slot))
                cl_->StartLogging(slot, NewLogName("cl"), random_() % 2 == 0);
            else
                cl_->StopLogging(slot);
            break;
        case 4:
            if (cl_->AutomationLevel(slot) == 0)
                cl_->StartAutomation(slot, 1 + static_cast<int>(random_() % 3), QuickCurrentLoopTiming());
            else
                cl_->StopAutomation(slot);
            break;
        case 5: {
            static const int kCodes[] = {cl_error::kDoublePulse, cl_error::kPulserCurrent, cl_error::kCommunication,
                                         cl_error::kCpuReset, cl_error::kBadCrc, cl_error::kRandomData,
                                         cl_error::kNoAnswer, cl_error::kNone};
            cl_->SetErrorType(slot, kCodes[random_() % 8]);
            cl_->SetErrorValue(slot, static_cast<int>(random_() % 4));
            cl_->ApplyError(slot);
            break;
        }
        case 6:
            if (CL_pump* pump = cl_->GetPump(slot)) {
                pump->LiftNozzle(1 + static_cast<int>(random_() % 5));
                (void)pump->GetState();
            }
            break;
        default:
            cl_->SetFilterAddress(round % 3 == 0 ? 0 : cl_->AddressOf(slot));
            (void)cl_->FetchCommunicationText();
            break;
        }
    }

    static CL_automater_timing QuickCurrentLoopTiming()
    {
        CL_automater_timing timing;
        timing.start_delay_range_ms = 20;
        timing.choose_pause_ms = 5;
        timing.step_ms = 5;
        timing.guard_seconds = 1;
        timing.duration_unit_ms = 5;
        return timing;
    }

    static Automater_timing QuickZarnTiming()
    {
        Automater_timing timing;
        timing.initial_delay_min_ms = 1;
        timing.initial_delay_spread_ms = 20;
        timing.step_ms = 5;
        timing.guard_seconds = 1;
        timing.pause_unit_ms = 1;
        return timing;
    }

    void BuildLoops()
    {
        zarn_ = std::make_unique<Zarn_forecourt>(zarn_line_.SlavePath(), false, 1, 16, settings_);
        cl_ = std::make_unique<CL_forecourt>(cl_line_.SlavePath(), false, 1, 8, settings_);
        for (int i = 0; i < 4; ++i) {
            zarn_->CreatePump(i, i % 2 == 0, settings_);
            cl_->CreatePump(i, settings_);
        }
        quick_automater_ = std::make_unique<Automater>(*zarn_->GetPump(0), Automater::kHeavy, QuickZarnTiming());
    }

    void DestroyLoops()
    {
        quick_automater_.reset();  // before its pump goes
        zarn_.reset();
        cl_.reset();
    }

    Pump_settings settings_;
    TempDir logs_;
    PtyController zarn_line_;
    PtyController cl_line_;
    std::mt19937 random_{42};
    std::vector<std::string> log_files_;
    std::unique_ptr<Zarn_forecourt> zarn_;
    std::unique_ptr<CL_forecourt> cl_;
    std::unique_ptr<Automater> quick_automater_;
};

TEST_F(Soak, BothEnginesUnderTrafficAndOperatorChurn)
{
    Watchdog watchdog;
    watchdog.Step("build the loops");
    BuildLoops();
    {
        Flooder flooder(zarn_line_, cl_line_);
        for (int round = 0; round < kRounds; ++round) {
            watchdog.Step("Zarn operations, round " + std::to_string(round));
            for (int i = 0; i < 6; ++i)
                ZarnStep(round);
            watchdog.Step("current-loop operations, round " + std::to_string(round));
            for (int i = 0; i < 6; ++i)
                CurrentLoopStep(round);
            if (round % kLoopRebuildEvery == kLoopRebuildEvery - 1) {
                watchdog.Step("destroy and re-create both loops, round " + std::to_string(round));
                DestroyLoops();
                BuildLoops();
            }
            watchdog.Step("a virtual loop of each protocol, round " + std::to_string(round));
            if (round % 5 == 0) {
                auto virtual_zarn = std::make_unique<Zarn_forecourt>("pty", false, 17, 32, settings_);
                virtual_zarn->CreatePump(0, false, settings_);
                auto virtual_cl = std::make_unique<CL_forecourt>("pty", false, 9, 15, settings_);
                virtual_cl->CreatePump(0, settings_);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(25));  // traffic meets the new set-up
        }
        watchdog.Step("stop the controller");
        EXPECT_GT(flooder.Rounds(), 0);
        EXPECT_EQ("", flooder.Failure());
    }
    EXPECT_TRUE(zarn_->IoRunning()) << zarn_->IoErrorText();
    EXPECT_TRUE(cl_->IoRunning()) << cl_->IoErrorText();
    watchdog.Step("destroy the loops");
    DestroyLoops();
    watchdog.Step("check the logs");
    ASSERT_FALSE(log_files_.empty());
    size_t lines = 0;
    for (const std::string& path : log_files_) {
        ASSERT_TRUE(std::filesystem::exists(path));
        lines += ExpectWellFormedLog(path);
    }
    // Header and closing lines alone make at most ten a log: the rest is logged traffic.
    EXPECT_GT(lines, 10 * log_files_.size()) << "no traffic reached the logs";
}

}  // namespace
