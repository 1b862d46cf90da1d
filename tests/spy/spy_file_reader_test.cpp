// Reading spy files back: the records as written, the millisecond bytes, damage and every
// possible truncation of a file.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "spy/spy_file_reader.h"
#include "spy/spy_record.h"

namespace {

using Bytes = std::vector<uint8_t>;

// 2026-12-08 15:40:01 local time, plus ms milliseconds, as milliseconds since the epoch.
int64_t WallMs(int ms)
{
    std::tm local{};
    local.tm_year = 126;
    local.tm_mon = 11;
    local.tm_mday = 8;
    local.tm_hour = 15;
    local.tm_min = 40;
    local.tm_sec = 1;
    local.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&local)) * 1000 + ms;
}

void Append(Bytes& file, const Bytes& more)
{
    file.insert(file.end(), more.begin(), more.end());
}

// A session of several chunks both ways, and the stream of each direction.
struct Session {
    Bytes file;
    Bytes received, sent;
};

Session RecordedSession()
{
    Session session;
    const Bytes poll{0x50, 0x20, 0xFA};
    const Bytes data{0x51, 0x30, 0x01, 0x01, 0x05, 0x02, 0x03, 0x04, 0x06, 0x07, 0x10, 0xFA, 0x03, 0xFA};
    for (int i = 0; i < 4; ++i) {
        const Bytes& rx = i % 2 == 0 ? poll : data;
        Append(session.file, SpyChunkRecords(WallMs(100 * i), kSpyReceived, rx.data(), rx.size()));
        Append(session.received, rx);
        const Bytes tx{0x50, 0x70, 0xFA};
        Append(session.file, SpyChunkRecords(WallMs(100 * i + 2), kSpySent, tx.data(), tx.size()));
        Append(session.sent, tx);
    }
    session.file.push_back(kSpyEndMarker);
    return session;
}

Bytes StreamOf(const Spy_file_records& records, uint8_t kind)
{
    Bytes stream;
    for (const Spy_chunk& chunk : records.chunks)
        if (chunk.kind == kind)
            Append(stream, chunk.bytes);
    return stream;
}

bool IsPrefix(const Bytes& part, const Bytes& whole)
{
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

}  // namespace

TEST(SpyFileReaderTest, ReadsChunksWithTheirTimesKindsAndBytes)
{
    const Session session = RecordedSession();
    const Spy_file_records records = ReadSpyRecords(session.file);
    EXPECT_TRUE(records.problems.empty());
    EXPECT_TRUE(records.end_marker);
    ASSERT_EQ(records.chunks.size(), 8u);
    EXPECT_EQ(records.chunks[0].kind, kSpyReceived);
    EXPECT_EQ(records.chunks[1].kind, kSpySent);
    EXPECT_EQ(records.chunks[0].time.Text(), "2026-12-08 15:40:01.000");
    EXPECT_EQ(records.chunks[1].time.Text(), "2026-12-08 15:40:01.002");
    EXPECT_EQ(records.chunks[7].time.Text(), "2026-12-08 15:40:01.302");   // 302 = 256 + 46: "0146"
    EXPECT_EQ(records.chunks[5].time.Text(), "2026-12-08 15:40:01.200~");  // 202: "00202" keeps "0020"
    EXPECT_EQ(StreamOf(records, kSpyReceived), session.received);
    EXPECT_EQ(StreamOf(records, kSpySent), session.sent);
}

TEST(SpyFileReaderTest, MillisecondsReadBackExactlyOrToTenMillisecondsMarkedApproximate)
{
    for (int ms = 0; ms < 1000; ++ms) {
        const auto record = SpyTimeRecord(WallMs(ms));
        const Spy_time time = DecodeSpyTime(record.data());
        ASSERT_TRUE(time.known) << ms;
        EXPECT_EQ(time.second, 1) << ms;
        const int remainder = ms % 256;
        const bool three_digit_reading_fits = ms - remainder + remainder * 10 <= 999;
        if (remainder < 10 || remainder > 25 || !three_digit_reading_fits) {
            if (remainder < 100) {
                EXPECT_FALSE(time.approximate) << ms;
                EXPECT_EQ(time.millisecond, ms);
            } else {
                EXPECT_TRUE(time.approximate) << ms;
                EXPECT_LE(time.millisecond, ms);
                EXPECT_GT(time.millisecond + 10, ms);
            }
        } else {
            // Two-digit remainders 10 to 25 share their bytes with 100 to 259: read as the latter.
            EXPECT_TRUE(time.approximate) << ms;
            EXPECT_EQ(time.millisecond, ms - remainder + remainder * 10);
        }
    }
}

TEST(SpyFileReaderTest, DamageIsReportedAndReadingGoesOnAtTheNextTimeRecord)
{
    Session session = RecordedSession();
    Bytes damaged = session.file;
    // Garbage inside the second chunk's data pairs: the rest of that chunk is lost, the third
    // chunk is read whole.
    const size_t second_chunk = 9 + 2 * 3;
    damaged[second_chunk + 9 + 2] = 0x55;
    const Spy_file_records records = ReadSpyRecords(damaged);
    ASSERT_EQ(records.problems.size(), 1u);
    EXPECT_EQ(records.problems[0].offset, second_chunk + 9 + 2);
    EXPECT_EQ(records.problems[0].text, "damaged: unexpected byte 0x55; 4 bytes skipped to the next time record");
    ASSERT_EQ(records.chunks.size(), 8u);
    EXPECT_EQ(records.chunks[1].bytes, (Bytes{0x50}));
    EXPECT_EQ(records.chunks[2].bytes, (Bytes{0x51, 0x30, 0x01, 0x01, 0x05, 0x02, 0x03, 0x04, 0x06, 0x07, 0x10,
                                              0xFA, 0x03, 0xFA}));
    EXPECT_TRUE(records.end_marker);

    // A time record with an impossible date is damage too; bytes before any time record are
    // still shown, with an unknown time.
    Bytes bad_date = session.file;
    bad_date[2] = 0x13;  // month 13
    const Spy_file_records from_bad_date = ReadSpyRecords(bad_date);
    ASSERT_FALSE(from_bad_date.problems.empty());
    EXPECT_EQ(from_bad_date.problems[0].offset, 0u);
    EXPECT_EQ(from_bad_date.chunks.size(), 7u);
    const Bytes headless(session.file.begin() + 9, session.file.end());
    const Spy_file_records from_pairs = ReadSpyRecords(headless);
    EXPECT_TRUE(from_pairs.problems.empty());
    ASSERT_FALSE(from_pairs.chunks.empty());
    EXPECT_FALSE(from_pairs.chunks[0].time.known);
    EXPECT_EQ(from_pairs.chunks[0].time.Text(), "(time unknown)");
    EXPECT_EQ(StreamOf(from_pairs, kSpyReceived), session.received);
}

TEST(SpyFileReaderTest, EveryTruncationReadsAPrefixAndSaysWhenARecordWasCut)
{
    const Session session = RecordedSession();
    // Offsets where a record ends: a file cut there is whole as far as it goes.
    std::vector<bool> record_end(session.file.size() + 1, false);
    record_end[0] = true;
    for (size_t at = 0; at < session.file.size();) {
        const uint8_t lead = session.file[at];
        at += lead == kSpyTimeRecordStart ? kSpyTimeRecordSize : lead == kSpyEndMarker ? 1 : kSpyDataPairSize;
        record_end[at] = true;
    }
    for (size_t length = 0; length <= session.file.size(); ++length) {
        SCOPED_TRACE("cut at " + std::to_string(length));
        const Bytes cut(session.file.begin(), session.file.begin() + static_cast<long>(length));
        const Spy_file_records records = ReadSpyRecords(cut);
        EXPECT_TRUE(IsPrefix(StreamOf(records, kSpyReceived), session.received));
        EXPECT_TRUE(IsPrefix(StreamOf(records, kSpySent), session.sent));
        if (record_end[length]) {
            EXPECT_TRUE(records.problems.empty());
        } else {
            ASSERT_EQ(records.problems.size(), 1u);
            EXPECT_EQ(records.problems[0].text.rfind("truncated: ", 0), 0u) << records.problems[0].text;
        }
        EXPECT_EQ(records.end_marker, length == session.file.size());
    }
}
