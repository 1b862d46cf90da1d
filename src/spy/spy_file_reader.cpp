#include "spy/spy_file_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

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

// Reads through a window of kBufferSize bytes that slides over the source: every decision needs
// at most one time record's bytes ahead of the current offset.
class Record_reader {
public:
    Record_reader(Spy_byte_source& source, Spy_record_sink& sink) : source_(source), sink_(sink), buffer_(kBufferSize)
    {
    }

    void Read()
    {
        while (!stopped_ && Available(1) > 0) {
            const uint8_t lead = buffer_[at_];
            if (lead == kSpyTimeRecordStart)
                ReadTimeRecord();
            else if (lead == kSpyReceived || lead == kSpySent)
                ReadDataPair(lead);
            else if (lead == kSpyEndMarker)
                ReadEndMarker();
            else
                SkipDamage("unexpected byte " + ByteText(lead));
        }
        FinishChunk();
    }

private:
    static constexpr size_t kBufferSize = 64 * 1024;

    // Makes up to `count` bytes from the current offset readable in the buffer; returns how many
    // are (fewer only at the end of the source).
    size_t Available(size_t count)
    {
        if (end_ - at_ < count)
            Fill(count);
        return std::min(count, end_ - at_);
    }

    void Fill(size_t count)
    {
        if (at_ > 0) {
            std::memmove(buffer_.data(), buffer_.data() + at_, end_ - at_);
            buffer_offset_ += at_;
            end_ -= at_;
            at_ = 0;
        }
        while (!ended_ && end_ < count) {
            const size_t got = source_.Read(buffer_.data() + end_, buffer_.size() - end_);
            if (got == 0)
                ended_ = true;
            end_ += got;
        }
    }

    size_t Offset() const { return buffer_offset_ + at_; }

    // Past the few bytes left when a record is cut short at the end.
    void SkipToEnd()
    {
        while (Available(1) > 0)
            at_ = end_;
    }

    void ReadTimeRecord()
    {
        const size_t left = Available(kSpyTimeRecordSize);
        if (left < kSpyTimeRecordSize) {
            Problem(Offset(), "truncated: a time record cut short after " + std::to_string(left) + " of " +
                                  std::to_string(kSpyTimeRecordSize) + " bytes");
            SkipToEnd();
            return;
        }
        const Spy_time time = DecodeSpyTime(&buffer_[at_]);
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
        if (Available(kSpyDataPairSize) < kSpyDataPairSize) {
            Problem(Offset(), "truncated: a data pair cut short after its kind byte");
            SkipToEnd();
            return;
        }
        // Bytes before any time record, or of the other direction under one time record, start a
        // chunk of their own; so does a run that has filled a chunk.
        if (!open_chunk_ || (chunk_.kind != 0 && chunk_.kind != kind) || chunk_.bytes.size() >= kSpyMaxChunkBytes)
            StartChunk(kind);
        if (chunk_.kind == 0)
            chunk_.kind = kind;
        chunk_.bytes.push_back(buffer_[at_ + 1]);
        at_ += kSpyDataPairSize;
    }

    void ReadEndMarker()
    {
        FinishChunk();
        if (!stopped_)
            sink_.EndMarker(Offset());
        ++at_;
    }

    void StartChunk(uint8_t kind)
    {
        FinishChunk();
        chunk_.time = time_;
        chunk_.kind = kind;
        chunk_.offset = Offset();
        chunk_.bytes.clear();
        open_chunk_ = true;
    }

    void FinishChunk()
    {
        if (!open_chunk_)
            return;
        open_chunk_ = false;
        if (!stopped_ && !sink_.Chunk(chunk_))
            stopped_ = true;
    }

    // Reports the damage at the current offset and moves on to the next offset where a valid
    // time record starts (the end of the file when there is none).
    void SkipDamage(const std::string& what)
    {
        FinishChunk();
        const size_t from = Offset();
        ++at_;
        bool found = false;
        while (Available(1) > 0) {
            if (buffer_[at_] == kSpyTimeRecordStart && Available(kSpyTimeRecordSize) == kSpyTimeRecordSize &&
                DecodeSpyTime(&buffer_[at_]).known) {
                found = true;
                break;
            }
            ++at_;
        }
        const size_t skipped = Offset() - from;
        std::string text = "damaged: " + what + "; ";
        text += found ? std::to_string(skipped) + " bytes skipped to the next time record"
                      : "no time record follows; the rest of the file (" + std::to_string(skipped) +
                            " bytes) skipped";
        Problem(from, text);
    }

    void Problem(size_t offset, const std::string& text)
    {
        FinishChunk();
        if (!stopped_)
            sink_.Problem(Spy_problem{offset, text});
    }

    Spy_byte_source& source_;
    Spy_record_sink& sink_;
    std::vector<uint8_t> buffer_;
    size_t buffer_offset_ = 0;  // of buffer_[0] in the file
    size_t at_ = 0;             // the current offset in the buffer
    size_t end_ = 0;            // bytes in the buffer
    bool ended_ = false;        // the source has no more
    bool stopped_ = false;      // the sink wants no more
    Spy_time time_;             // of the last time record; not known before the first
    bool open_chunk_ = false;
    Spy_chunk chunk_;
};

class Memory_source : public Spy_byte_source {
public:
    explicit Memory_source(const std::vector<uint8_t>& data) : data_(data) {}

    size_t Read(uint8_t* into, size_t size) override
    {
        const size_t count = std::min(size, data_.size() - at_);
        std::memcpy(into, data_.data() + at_, count);
        at_ += count;
        return count;
    }

private:
    const std::vector<uint8_t>& data_;
    size_t at_ = 0;
};

class Collecting_sink : public Spy_record_sink {
public:
    bool Chunk(const Spy_chunk& chunk) override
    {
        records.chunks.push_back(chunk);
        return true;
    }
    void Problem(const Spy_problem& problem) override { records.problems.push_back(problem); }
    void EndMarker(size_t offset) override
    {
        records.end_marker = true;
        records.end_marker_offset = offset;
    }

    Spy_file_records records;
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

void ReadSpyRecords(Spy_byte_source& source, Spy_record_sink& sink)
{
    Record_reader(source, sink).Read();
}

Spy_file_records ReadSpyRecords(const std::vector<uint8_t>& data)
{
    Memory_source source(data);
    Collecting_sink sink;
    ReadSpyRecords(source, sink);
    return std::move(sink.records);
}
