#include <gtest/gtest.h>

#include <ctime>

#include "spy/spy_name.h"
#include "spy/spy_record.h"
#include "spy/tspylogger.h"

TEST(SpyRecord, MillisecondBytesJoinTheDecimalTextsOfHighAndLowByte)
{
    using Bytes = std::array<uint8_t, 2>;
    EXPECT_EQ(SpyMillisecondBytes(500), (Bytes{0x01, 0x24}));  // "01" + "244"
    EXPECT_EQ(SpyMillisecondBytes(70), (Bytes{0x00, 0x70}));   // "00" + "70"
    EXPECT_EQ(SpyMillisecondBytes(0), (Bytes{0x00, 0x00}));
    EXPECT_EQ(SpyMillisecondBytes(5), (Bytes{0x00, 0x05}));    // "00" + "05"
    EXPECT_EQ(SpyMillisecondBytes(256), (Bytes{0x01, 0x00}));  // "01" + "00"
    EXPECT_EQ(SpyMillisecondBytes(999), (Bytes{0x03, 0x23}));  // "03" + "231"
    EXPECT_EQ(SpyMillisecondBytes(-1), (Bytes{0x00, 0x00}));   // out of range: no garbage digits
    EXPECT_EQ(SpyMillisecondBytes(1000), (Bytes{0x00, 0x00}));
}

TEST(SpyRecord, TimeRecordIsTheLocalDateInPackedBcd)
{
    std::tm local{};
    local.tm_year = 2026 - 1900;
    local.tm_mon = 11;  // December
    local.tm_mday = 8;
    local.tm_hour = 14;
    local.tm_min = 35;
    local.tm_sec = 7;
    local.tm_isdst = -1;
    int64_t wall_ms = static_cast<int64_t>(std::mktime(&local)) * 1000 + 500;
    std::array<uint8_t, 9> expected{0x02, 0x26, 0x12, 0x08, 0x14, 0x35, 0x07, 0x01, 0x24};
    EXPECT_EQ(SpyTimeRecord(wall_ms), expected);

    std::vector<uint8_t> records = SpyChunkRecords(wall_ms, kSpySent, reinterpret_cast<const uint8_t*>("AB"), 2);
    std::vector<uint8_t> with_pairs(expected.begin(), expected.end());
    with_pairs.insert(with_pairs.end(), {0x07, 'A', 0x07, 'B'});
    EXPECT_EQ(records, with_pairs);
}

TEST(SpyName, CharactersNoFileOrEventNameCanHoldBecomeUnderscores)
{
    EXPECT_EQ(SpyNameOfPortName("COM1"), "COM1");
    EXPECT_EQ(SpyNameOfPortName("/dev/ttyUSB0"), "_dev_ttyUSB0");
    EXPECT_EQ(SpyNameOfPortName("pty:/tmp/x"), "pty__tmp_x");
    EXPECT_EQ(SpyNameOfPortName("a\\b*c?d\"e<f>g|h\ti\x7fj"), "a_b_c_d_e_f_g_h_i_j");
    EXPECT_EQ(SpyControlEventName("/dev/ttyUSB0"), "SPY__dev_ttyUSB0");
}

TEST(SpyName, FileNamesCarryTheDirectoryAndAFourDigitIndex)
{
    EXPECT_EQ(TSpyLogger::FileName("(default)", "COM1", 2), "SPYPS_COM1_0002.buf");
    EXPECT_EQ(TSpyLogger::FileName("/var/spy/", "COM1", 0), "/var/spy/SPYPS_COM1_0000.buf");
    EXPECT_EQ(TSpyLogger::FileName("/var/spy", "COM1", 0), "/var/spy/SPYPS_COM1_0000.buf");
    EXPECT_EQ(TSpyLogger::FileName("spy", "COM1", 1), "spy/SPYPS_COM1_0001.buf");
    EXPECT_EQ(TSpyLogger::FileName("", "COM1", 12345), "SPYPS_COM1_12345.buf");
}
