// Replays the kept fuzzing inputs (tests/regression/<harness>/) through the same harnesses the
// fuzzers run, so an input that once crashed or upset an engine stays checked in every build,
// the sanitizer builds included. A harness aborts on a broken rule; the sanitizers report memory
// and undefined-behaviour faults.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../../fuzz/cl_stream_harness.h"
#include "../../fuzz/config_decode_harness.h"
#include "../../fuzz/zarn_stream_harness.h"
#include "../../fuzz/zarn_transactions_harness.h"
#include "support/pty_controller.h"

namespace {

using Harness = int (*)(const uint8_t*, size_t);

std::filesystem::path RegressionFolder(const std::string& harness)
{
    return std::filesystem::path(__FILE__).parent_path().parent_path() / "regression" / harness;
}

// Runs every kept input of one harness; returns how many there were.
int ReplayAll(const std::string& harness, Harness run)
{
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(RegressionFolder(harness))) {
        if (!entry.is_regular_file() || entry.path().filename() == "README.md")
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        SCOPED_TRACE(entry.path().string());
        EXPECT_EQ(0, run(bytes.data(), bytes.size()));
        ++count;
    }
    return count;
}

TEST(FuzzRegression, ZarnLineStreams)
{
    TempSettings settings;
    WriteZarnStreamSettings();
    EXPECT_GT(ReplayAll("zarn_stream", RunZarnStreamInput), 0);
}

TEST(FuzzRegression, ZarnTransactionBlocks)
{
    EXPECT_GT(ReplayAll("zarn_transactions", RunZarnTransactionsInput), 0);
}

TEST(FuzzRegression, CurrentLoopLineStreams)
{
    TempSettings settings;
    WriteCurrentLoopStreamSettings();
    EXPECT_GT(ReplayAll("cl_stream", RunCurrentLoopStreamInput), 0);
}

TEST(FuzzRegression, ConfigurationFiles)
{
    EXPECT_GT(ReplayAll("config_decode", RunConfigurationDecodeInput), 0);
}

}  // namespace
