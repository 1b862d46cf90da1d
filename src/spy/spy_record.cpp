#include "spy/spy_record.h"

#include <cstdio>
#include <ctime>

namespace {

uint8_t PackedBcdOfDigits(char tens, char units)
{
    return static_cast<uint8_t>(((tens - '0') << 4) | (units - '0'));
}

}  // namespace

uint8_t PackedBcd(int value)
{
    if (value < 0 || value > 99)
        value = 0;
    return static_cast<uint8_t>(((value / 10) << 4) | (value % 10));
}

std::array<uint8_t, 2> SpyMillisecondBytes(int milliseconds)
{
    if (milliseconds < 0 || milliseconds > 999)
        milliseconds = 0;
    char text[16];
    std::snprintf(text, sizeof text, "%02d%02d", milliseconds / 256, milliseconds % 256);
    return {PackedBcdOfDigits(text[0], text[1]), PackedBcdOfDigits(text[2], text[3])};
}

std::array<uint8_t, kSpyTimeRecordSize> SpyTimeRecord(int64_t wall_ms)
{
    int64_t seconds = wall_ms / 1000;
    int64_t milliseconds = wall_ms % 1000;
    if (milliseconds < 0) {
        seconds -= 1;
        milliseconds += 1000;
    }
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (localtime_r(&t, &local) == nullptr)
        local = std::tm{};
    std::array<uint8_t, 2> ms_bytes = SpyMillisecondBytes(static_cast<int>(milliseconds));
    return {kSpyTimeRecordStart,
            PackedBcd(local.tm_year % 100),
            PackedBcd(local.tm_mon + 1),
            PackedBcd(local.tm_mday),
            PackedBcd(local.tm_hour),
            PackedBcd(local.tm_min),
            PackedBcd(local.tm_sec),
            ms_bytes[0],
            ms_bytes[1]};
}

std::vector<uint8_t> SpyChunkRecords(int64_t wall_ms, uint8_t kind, const uint8_t* bytes, size_t count)
{
    std::array<uint8_t, kSpyTimeRecordSize> time_record = SpyTimeRecord(wall_ms);
    std::vector<uint8_t> records(time_record.begin(), time_record.end());
    records.reserve(kSpyTimeRecordSize + kSpyDataPairSize * count);
    for (size_t i = 0; i < count; ++i) {
        records.push_back(kind);
        records.push_back(bytes[i]);
    }
    return records;
}
