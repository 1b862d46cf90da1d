// The pieces both engines share: the receive-error record and the pump thread.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "common/pump_thread.h"
#include "common/rx_errors.h"

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
