// Replays the kept fuzzing inputs (tests/regression/<harness>/) through the same harnesses the
// fuzzers run, so an input that once crashed or upset an engine stays checked in every build,
// the sanitizer builds included. A harness aborts on a broken rule and the sanitizers abort on
// memory and undefined-behaviour faults, so each input runs in a child process of its own: the
// test then fails naming the input, and the other inputs are still replayed.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../../fuzz/cl_stream_harness.h"
#include "../../fuzz/config_decode_harness.h"
#include "../../fuzz/zarn_stream_harness.h"
#include "../../fuzz/zarn_transactions_harness.h"

namespace {

using Harness = int (*)(const uint8_t*, size_t);

std::filesystem::path RegressionFolder(const std::string& harness)
{
    return std::filesystem::path(__FILE__).parent_path().parent_path() / "regression" / harness;
}

// Runs one input in a child process; true when the child ran it to the end and exited normally.
bool RunsCleanly(Harness run, const std::vector<uint8_t>& bytes)
{
    const pid_t child = fork();
    if (child < 0)
        return false;
    if (child == 0) {
        run(bytes.data(), bytes.size());
        _exit(0);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
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
        EXPECT_TRUE(RunsCleanly(run, bytes)) << "the input " << entry.path().string() << " broke the harness";
        ++count;
    }
    return count;
}

TEST(FuzzRegression, ZarnLineStreams)
{
    EXPECT_GT(ReplayAll("zarn_stream", RunZarnStreamInput), 0);
}

TEST(FuzzRegression, ZarnTransactionBlocks)
{
    EXPECT_GT(ReplayAll("zarn_transactions", RunZarnTransactionsInput), 0);
}

TEST(FuzzRegression, CurrentLoopLineStreams)
{
    EXPECT_GT(ReplayAll("cl_stream", RunCurrentLoopStreamInput), 0);
}

TEST(FuzzRegression, ConfigurationFiles)
{
    EXPECT_GT(ReplayAll("config_decode", RunConfigurationDecodeInput), 0);
}

}  // namespace
