#include "spy/spy_file_reader.h"

#include <cstdio>

#include "spy/spy_record.h"

namespace {

// The value of a packed-BCD byte, or -1 when a nibble is no decimal digit.
int BcdValue(uint8_t byte)
{
    const int tens = byte >> 4;
    const int units = byte & 0x0F;
    if (tens > 9 || units > 9)
        return -1;
    return tens * 10 + units;
}

bool InRange(int value, int low, int high)
{
    return value >= low && value <= high;
}

std::string ByteText(uint8_t byte)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", byte);
    return text;
}

class Record_reader {
public:
    explicit Record_reader(const std::vector<uint8_t>& data) : data_(data) {}

    Spy_file_records Read()
    {
        while (at_ < data_.size()) {
            const uint8_t lead = data_[at_];
            if (lead == kSpyTimeRecordStart)
                ReadTimeRecord();
            else if (lead == kSpyReceived || lead == kSpySent)
                ReadDataPair(lead);
            else if (lead == kSpyEndMarker)
                ReadEndMarker();
            else
                SkipDamage("unexpected byte " + ByteText(lead));
        }
        return std::move(records_);
    }

private:
    size_t Left() const { return data_.size() - at_; }

    void ReadTimeRecord()
    {
        if (Left() < kSpyTimeRecordSize) {
            Problem("truncated: a time record cut short after " + std::to_string(Left()) + " of " +
                    std::to_string(kSpyTimeRecordSize) + " bytes");
            at_ = data_.size();
            return;
        }
        const Spy_time time = DecodeSpyTime(&data_[at_]);
        if (!time.known) {
            SkipDamage("a time record holds no valid date and time");
            return;
        }
        time_ = time;
        StartChunk(0);
        at_ += kSpyTimeRecordSize;
    }

    void ReadDataPair(uint8_t kind)
    {
        if (Left() < kSpyDataPairSize) {
            Problem("truncated: a data pair cut short after its kind byte");
            at_ = data_.size();
            return;
        }
        if (!open_chunk_ || (records_.chunks.back().kind != 0 && records_.chunks.back().kind != kind)) {
            // Bytes before any time record, or of the other direction under one time record.
            StartChunk(kind);
        }
        Spy_chunk& chunk = records_.chunks.back();
        if (chunk.kind == 0)
            chunk.kind = kind;
        chunk.bytes.push_back(data_[at_ + 1]);
        at_ += kSpyDataPairSize;
    }

    void ReadEndMarker()
    {
        records_.end_marker = true;
        records_.end_marker_offset = at_;
        open_chunk_ = false;
        ++at_;
    }

    void StartChunk(uint8_t kind)
    {
        Spy_chunk chunk;
        chunk.time = time_;
        chunk.kind = kind;
        chunk.offset = at_;
        records_.chunks.push_back(chunk);
        open_chunk_ = true;
    }

    // Reports the damage at the current offset and moves on to the next offset where a valid
    // time record starts (the end of the file when there is none).
    void SkipDamage(const std::string& what)
    {
        const size_t from = at_;
        size_t next = from + 1;
        while (next < data_.size() && !ValidTimeRecordAt(next))
            ++next;
        std::string text = "damaged: " + what + "; ";
        text += next < data_.size() ? std::to_string(next - from) + " bytes skipped to the next time record"
                                    : "no time record follows; the rest of the file (" +
                                          std::to_string(data_.size() - from) + " bytes) skipped";
        Problem(text);
        open_chunk_ = false;
        at_ = next;
    }

    bool ValidTimeRecordAt(size_t offset) const
    {
        return data_[offset] == kSpyTimeRecordStart && data_.size() - offset >= kSpyTimeRecordSize &&
               DecodeSpyTime(&data_[offset]).known;
    }

    void Problem(const std::string& text) { records_.problems.push_back(Spy_problem{at_, text}); }

    const std::vector<uint8_t>& data_;
    size_t at_ = 0;
    Spy_time time_;  // of the last time record; not known before the first
    bool open_chunk_ = false;
    Spy_file_records records_;
};

}  // namespace

Spy_time DecodeSpyTime(const uint8_t* record)
{
    Spy_time time;
    if (record[0] != kSpyTimeRecordStart)
        return time;
    const int year = BcdValue(record[1]);
    const int month = BcdValue(record[2]);
    const int day = BcdValue(record[3]);
    const int hour = BcdValue(record[4]);
    const int minute = BcdValue(record[5]);
    const int second = BcdValue(record[6]);
    const int high = BcdValue(record[7]);  // milliseconds div 256
    const int low = BcdValue(record[8]);   // the first two digits of milliseconds mod 256
    if (year < 0 || !InRange(month, 1, 12) || !InRange(day, 1, 31) || !InRange(hour, 0, 23) ||
        !InRange(minute, 0, 59) || !InRange(second, 0, 59) || !InRange(high, 0, 3) || low < 0)
        return time;
    time.year = 2000 + year;
    time.month = month;
    time.day = day;
    time.hour = hour;
    time.minute = minute;
    time.second = second;
    // A remainder of 100 to 255 left only its first two digits (10 to 25), unless that reading
    // would pass 999.
    time.approximate = InRange(low, 10, 25) && high * 256 + low * 10 <= 999;
    time.millisecond = high * 256 + (time.approximate ? low * 10 : low);
    if (time.millisecond > 999)
        return Spy_time();
    time.known = true;
    return time;
}

std::string Spy_time::Text() const
{
    if (!known)
        return "(time unknown)";
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d%s", year, month, day, hour, minute, second,
                  millisecond, approximate ? "~" : "");
    return text;
}

long long Spy_time::SortKey() const
{
    if (!known)
        return -1;
    return ((((((year * 100LL + month) * 100 + day) * 100 + hour) * 100 + minute) * 100 + second) * 1000) +
           millisecond;
}

Spy_file_records ReadSpyRecords(const std::vector<uint8_t>& data)
{
    return Record_reader(data).Read();
}
