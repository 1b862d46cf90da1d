// The small shared pieces: clocks, TimeOut, hex text, Logfile and Event.
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/logfile.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "platform/timeout.h"
#include "support/pty_controller.h"

namespace {

TEST(Clock, TestHooksMoveTheClocks)
{
    uint32_t tick = TickMs();
    std::time_t wall = WallSeconds();
    AdvanceClockForTest(60000);
    EXPECT_GE(static_cast<uint32_t>(TickMs() - tick), 60000u);
    EXPECT_LT(static_cast<uint32_t>(TickMs() - tick), 70000u);
    EXPECT_GE(WallSeconds() - wall, 60);
    EXPECT_LT(WallSeconds() - wall, 70);

    wall = WallSeconds();
    ShiftTickForTest(0x100000000LL - TickMs() - 5);  // 5 ms before the wrap; wall clock untouched
    uint32_t before_wrap = TickMs();
    EXPECT_GE(before_wrap, 0xFFFFFFFFu - 1000u);
    ShiftTickForTest(100);
    uint32_t after_wrap = TickMs();
    EXPECT_LT(after_wrap, 1000u);  // wrapped
    EXPECT_GE(static_cast<uint32_t>(after_wrap - before_wrap), 100u);
    EXPECT_LT(WallSeconds() - wall, 5);
}

TEST(Clock, DateTextsInLocalTime)
{
    const char* old_tz = getenv("TZ");
    std::string saved = old_tz ? old_tz : "";
    setenv("TZ", "UTC0", 1);
    tzset();
    EXPECT_EQ(DateText24(0), "Thu Jan  1 00:00:00 1970");
    EXPECT_EQ(DateText24(1796644655), "Mon Dec  7 11:57:35 2026");
    EXPECT_EQ(RxErrorStamp(1796644655), "261207 11:57:35");
    setenv("TZ", "CET-1", 1);
    tzset();
    EXPECT_EQ(DateText24(1796644655), "Mon Dec  7 12:57:35 2026");
    EXPECT_EQ(RxErrorStamp(1700000000), "231114 23:13:20");
    if (old_tz)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
    EXPECT_EQ(DateText24(WallSeconds()).size(), 24u);
}

TEST(TimeOutTest, NewExpiredRestartedRunsItsPeriod)
{
    TimeOut timeout(5);
    EXPECT_TRUE(timeout.Expired());  // new: expired until the first restart
    timeout.Restart();
    EXPECT_FALSE(timeout.Expired());
    AdvanceClockForTest(4000);
    EXPECT_FALSE(timeout.Expired());
    AdvanceClockForTest(3000);  // past deadline by more than a whole second
    EXPECT_TRUE(timeout.Expired());
    timeout.Restart();
    EXPECT_FALSE(timeout.Expired());

    timeout.SetPeriod(1);
    EXPECT_EQ(timeout.Period(), 1);
    timeout.Restart();
    AdvanceClockForTest(2100);
    EXPECT_TRUE(timeout.Expired());
}

TEST(HexTextTest, TwoDigitsAndASpacePerByte)
{
    const uint8_t bytes[] = {0x50, 0x20, 0x00, 0xFF, 0x0A};
    EXPECT_EQ(HexText(bytes, 2), "50 20 ");
    EXPECT_EQ(HexText(bytes, 5), "50 20 00 FF 0A ");
    EXPECT_EQ(HexText(bytes, 0), "");
    EXPECT_EQ(HexText(nullptr, 3), "");
}

TEST(LogfileTest, ReplacesTheFileAndWritesThroughWithCrLf)
{
    TempDir dir;
    std::string path = dir.File("P01.log");
    {
        Logfile old_log(path);
        old_log.WriteLine("old content that must go");
    }
    Logfile log(path);
    EXPECT_EQ(ReadWholeFile(path), "");  // replaced
    log.WriteLine("Filling 1");
    EXPECT_EQ(ReadWholeFile(path), "Filling 1\r\n");  // readable while open, nothing buffered
    const char raw[] = {'a', '\0', 'b'};
    log.Write(raw, 3);
    log.WriteLine("");
    EXPECT_EQ(ReadWholeFile(path), std::string("Filling 1\r\na\0b\r\n", 16));
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_TRUE(info.st_mode & S_IROTH);  // other programs may read it
}

TEST(LogfileTest, ImpossiblePathRaisesAClearError)
{
    TempDir dir;
    std::string path = dir.File("missing-folder/P01.log");
    try {
        Logfile log(path);
        FAIL() << "created a file in a missing folder";
    } catch (const Gallion_error& error) {
        EXPECT_EQ(std::string(error.what()), "Cannot create log file \"" + path + "\": No such file or directory");
    }
}

TEST(EventTest, AutoResetLetsOneWaitThrough)
{
    Event event(false, true);
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.IsSet());
    EXPECT_FALSE(event.Wait(10));
    event.Set();
    EXPECT_TRUE(event.IsSet());
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.Wait(0));
}

TEST(EventTest, ManualResetStaysSetUntilReset)
{
    Event event(true, false);
    EXPECT_FALSE(event.Wait(10));
    event.Set();
    EXPECT_TRUE(event.Wait(0));
    EXPECT_TRUE(event.Wait(-1));
    event.Reset();
    EXPECT_FALSE(event.Wait(0));
}

TEST(EventTest, SetFromAnotherThreadEndsAWaitPromptly)
{
    Event event(false, false);
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        event.Set();
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(event.Wait(5000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    setter.join();
}

}  // namespace
