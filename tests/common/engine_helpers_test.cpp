// The pieces both engines share: the receive-error record and the pump thread.
#include <gtest/gtest.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/settings.h"
#include "engine/pump_settings.h"
#include "engine/pump_thread.h"
#include "engine/rx_errors.h"
#include "support/pty_controller.h"

TEST(RxErrorRecord, KeepsTheNewestWholeErrorsAndCountsThemAll)
{
    Rx_error_record record;
    record.Record("not listed", "00 ", false, 0);
    EXPECT_EQ(record.Count(), 1);
    EXPECT_EQ(record.LineCount(), 0u);

    const int errors = 2000;  // 6000 lines' worth
    for (int i = 0; i < errors; ++i)
        record.Record("error " + std::to_string(i), "hex " + std::to_string(i), true, 0);
    EXPECT_EQ(record.Count(), errors + 1);
    const std::vector<std::string> lines = record.Lines();
    ASSERT_LE(lines.size(), Rx_error_record::kMaxLines);
    ASSERT_GT(lines.size(), Rx_error_record::kMaxLines - Rx_error_record::kLinesPerError);
    ASSERT_EQ(lines.size() % 3, 0u) << "only whole errors are dropped";
    // Every kept error still has its three lines in order, ending with the newest.
    const size_t kept = lines.size() / 3;
    for (size_t e = 0; e < kept; ++e) {
        const std::string number = std::to_string(errors - kept + e);
        EXPECT_EQ(lines[3 * e].substr(15), "error " + number);
        EXPECT_EQ(lines[3 * e + 1], "hex " + number);
        EXPECT_EQ(lines[3 * e + 2], "");
    }

    EXPECT_EQ(record.TakeLines().size(), lines.size());
    EXPECT_EQ(record.LineCount(), 0u);
    EXPECT_EQ(record.Count(), errors + 1) << "taking the lines keeps the count";

    record.CountOnly(3);
    EXPECT_EQ(record.Count(), errors + 4);
    record.CountOnly(2147483647);
    EXPECT_EQ(record.Count(), 2147483647) << "the count stops at the largest int";
}

TEST(PumpThread, RunsTheCycleAndStopsWithoutWaitingOutThePause)
{
    std::atomic<int> cycles{0};
    Pump_thread thread;
    thread.Start([&] { ++cycles; }, 60000);  // a minute's pause after the first cycle
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (cycles == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(cycles, 1);
    const auto start = std::chrono::steady_clock::now();
    thread.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(thread.Stopping());
    EXPECT_EQ(cycles, 1);
    thread.Stop();  // a second stop does nothing
}

namespace {

// Waits until the thread has run `cycles` cycles; false after five seconds.
bool WaitForCycles(const Pump_thread& thread, uint64_t cycles)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (thread.CyclesRun() < cycles && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return thread.CyclesRun() >= cycles;
}

}  // namespace

TEST(PumpThread, SleepsUntilWokenAndLosesNoWakeUpThatComesDuringACycle)
{
    std::atomic<bool> hold_cycle{false};
    std::atomic<bool> in_cycle{false};
    Pump_thread thread;
    thread.StartOnDemand(
        [&]() -> int64_t {
            in_cycle = true;
            while (hold_cycle)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            in_cycle = false;
            return Pump_thread::kUntilWoken;
        },
        1);
    ASSERT_TRUE(WaitForCycles(thread, 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(thread.CyclesRun(), 1u) << "nothing to do: no cycle";

    thread.Wake();
    ASSERT_TRUE(WaitForCycles(thread, 2));

    // A wake-up while the cycle runs makes the next cycle come without another one.
    hold_cycle = true;
    thread.Wake();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!in_cycle && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(in_cycle);
    thread.Wake();
    hold_cycle = false;
    EXPECT_TRUE(WaitForCycles(thread, 4));

    // A jump of the test clocks is a reason to look again.
    const uint64_t before_jump = thread.CyclesRun();
    AdvanceClockForTest(1000);
    EXPECT_TRUE(WaitForCycles(thread, before_jump + 1));
}

TEST(PumpThread, PollDeadlineWakesTheThreadOnlyWhenItComesBackOnline)
{
    Pump_thread thread;
    Poll_deadline deadline(3600, &thread);
    std::atomic<int> online_cycles{0};
    thread.StartOnDemand(
        [&] {
            const bool expired = deadline.Expired();
            if (!expired)
                ++online_cycles;
            return deadline.SleepLimitMs(expired);
        },
        1);
    ASSERT_TRUE(WaitForCycles(thread, 1));  // never restarted: expired, sleeps until woken

    deadline.Restart();
    ASSERT_TRUE(WaitForCycles(thread, 2)) << "the first restart after the deadline passed wakes it";
    EXPECT_EQ(online_cycles, 1);

    for (int i = 0; i < 20; ++i)
        deadline.Restart();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(thread.CyclesRun(), 2u) << "restarts of a running deadline leave the thread asleep";
}

TEST(PollDeadline, SleepLimitFollowsTheDeadlineAndWhatTheCycleSaw)
{
    Poll_deadline deadline(2, nullptr);
    EXPECT_TRUE(deadline.Expired());
    EXPECT_EQ(deadline.SleepLimitMs(true), Pump_thread::kUntilWoken);
    EXPECT_EQ(deadline.SleepLimitMs(false), 0) << "passed since the cycle looked: look again";

    deadline.Restart();
    const int64_t left = deadline.SleepLimitMs(false);
    EXPECT_GT(left, 1000) << "at least the whole period after this second";
    EXPECT_LE(left, 3001);
    EXPECT_EQ(deadline.SleepLimitMs(true), 0) << "restarted since the cycle looked: look again";

    AdvanceClockForTest(3000);
    EXPECT_TRUE(deadline.Expired());
    EXPECT_EQ(deadline.SleepLimitMs(true), Pump_thread::kUntilWoken);
}

TEST(PumpThread, AWokenThreadCyclesAtItsNextBeatNotBefore)
{
    // A pause of a minute: woken half a second after the first cycle, the thread waits for the
    // beat a minute after it, as a thread cycling every minute would have; Stop ends the wait.
    Pump_thread thread;
    thread.StartOnDemand([] { return Pump_thread::kUntilWoken; }, 60000);
    ASSERT_TRUE(WaitForCycles(thread, 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    thread.Wake();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(thread.CyclesRun(), 1u) << "the wake-up waits for the beat";
    const auto start = std::chrono::steady_clock::now();
    thread.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(thread.CyclesRun(), 1u);
}

// Both protocol sections follow one rule per key: what is out of range falls back the same way.
TEST(PumpSettings, OneRulePerKeyInBothSections)
{
    TempSettings settings;
    for (const char* section : {"Zarn", "CurrentLoop"}) {
        settings.Set(section, "PumpSleepMs", "0");
        settings.Set(section, "PollTimeout", "-3");
        settings.Set(section, "ThrottleVolume", "-1");
        settings.Set(section, "ThrottleFlow", "2.5");
        settings.Set(section, "VolumeDecimals", "9");
        settings.Set(section, "AmountDecimals", "3");
        settings.Set(section, "AutoFlow", "0");
        settings.Set(section, "HandleReturningMessages", "0");
    }
    for (const char* section : {"Zarn", "CurrentLoop"}) {
        SCOPED_TRACE(section);
        const Pump_settings read = ReadPumpSettings(section);
        EXPECT_EQ(read.pump_sleep_ms, 1) << "a pause of 0 would spin";
        EXPECT_EQ(read.poll_timeout, 5);
        EXPECT_EQ(read.throttle_volume, 5.0);
        EXPECT_EQ(read.throttle_amount, 20.0) << "missing: the default";
        EXPECT_EQ(read.throttle_flow, 2.5);
        EXPECT_EQ(read.volume_decimals, 2);
        EXPECT_EQ(read.amount_decimals, 3);
        EXPECT_FALSE(read.auto_flow);
    }
    EXPECT_FALSE(ReadPumpSettings("Zarn").handle_returning_messages);
    EXPECT_TRUE(ReadPumpSettings("CurrentLoop").handle_returning_messages) << "a Zarn key only";
}

// README's settings tables name exactly the keys of the one table, with its defaults, so the
// documentation cannot drift from what the engines read.
TEST(PumpSettings, ReadmeTablesHoldTheTablesKeysAndDefaults)
{
    const std::filesystem::path readme =
        std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "README.md";
    std::ifstream in(readme);
    ASSERT_TRUE(in) << readme;
    TempSettings settings;
    for (const std::string section : {kZarnSection, kCurrentLoopSection}) {
        SCOPED_TRACE(section);
        ASSERT_TRUE(WritePumpSettings(section, DefaultPumpSettings(section, Settings_reader::engine)));
        // The rows "| `Key` | default | meaning |" of the table under "Section `<section>`".
        in.clear();
        in.seekg(0);
        std::string line;
        while (std::getline(in, line) && line.rfind("Section `" + section + "`", 0) != 0) {
        }
        std::set<std::string> documented;
        // Up to the next section or heading.
        while (std::getline(in, line) && line.rfind("Section `", 0) != 0 && line.rfind("#", 0) != 0) {
            if (line.rfind("| `", 0) != 0)
                continue;
            const size_t key_end = line.find('`', 3);
            const std::string key = line.substr(3, key_end - 3);
            const size_t cell = line.find('|', key_end) + 1;
            const std::string default_text = line.substr(cell + 1, line.find('|', cell) - cell - 2);
            double documented_default = -2;
            std::from_chars(default_text.data(), default_text.data() + default_text.size(), documented_default);
            documented.insert(key);
            EXPECT_EQ(documented_default, Settings::ReadFloat(section, key, -1)) << key;
        }
        const std::vector<std::string>& keys = PumpSettingKeys(section);
        EXPECT_EQ(documented, std::set<std::string>(keys.begin(), keys.end()));
    }
}
