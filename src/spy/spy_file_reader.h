#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Reads the records of a spy file back (the format is in spy_record.h). A file that is cut short
// or damaged is read as far as it makes sense: the reader says where and why it stopped trusting
// the bytes, skips to the next place where a time record can start, and goes on from there.

// The time of a chunk as its time record holds it. The millisecond bytes lose the last digit of
// a millisecond value whose remainder by 256 has three digits (see SpyMillisecondBytes); such a
// value reads as the lowest it can stand for, to ten milliseconds, and is marked approximate.
// (Two-digit remainders 10 to 25 give the same bytes as three-digit ones; they are read as three
// digits too, the far more frequent case.)
struct Spy_time {
    int year = 0;  // 2000-2099
    int month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
    bool approximate = false;
    bool known = false;  // false for data pairs found before any time record

    // "2026-12-08 15:40:01.123", with "~" after an approximate millisecond; "(time unknown)" when
    // not known.
    std::string Text() const;
    // For ordering files: year, month, day, hour, minute, second, millisecond as one number.
    long long SortKey() const;
};

// One chunk: the bytes of one direction that followed one time record.
struct Spy_chunk {
    Spy_time time;
    uint8_t kind = 0;  // 0x06 received, 0x07 sent
    std::vector<uint8_t> bytes;
    size_t offset = 0;  // of its time record (or first data pair) in the file
};

// Something the reader could not take as it stands.
struct Spy_problem {
    size_t offset = 0;
    std::string text;  // "truncated: ...", "damaged: ..."
};

// What a file holds, in file order. `end_marker` is true when the recorder closed the file.
struct Spy_file_records {
    std::vector<Spy_chunk> chunks;
    std::vector<Spy_problem> problems;
    bool end_marker = false;
    size_t end_marker_offset = 0;
};

// A run of data pairs of one kind under one time record is cut into chunks of at most this many
// bytes, all with that time record's time and place in the file. The recorder never writes more
// than 256 bytes under one time record; the cut keeps the memory of a reader bounded whatever a
// damaged or foreign file holds.
constexpr size_t kSpyMaxChunkBytes = 4096;

// Where a reader takes the bytes of a file from, front to back.
class Spy_byte_source {
public:
    virtual ~Spy_byte_source() = default;
    // Up to `size` next bytes into `into`; 0 at the end (or when the source fails).
    virtual size_t Read(uint8_t* into, size_t size) = 0;
};

// What a reader finds, handed over in file order as it goes.
class Spy_record_sink {
public:
    virtual ~Spy_record_sink() = default;
    // A chunk, once it is complete. Returning false ends the reading there.
    virtual bool Chunk(const Spy_chunk& chunk) = 0;
    virtual void Problem(const Spy_problem& problem) = 0;
    virtual void EndMarker(size_t offset) = 0;
};

// Reads the source to its end (or until the sink says stop) through a buffer of fixed size: the
// memory used does not grow with the file.
void ReadSpyRecords(Spy_byte_source& source, Spy_record_sink& sink);

// The records of a file held in memory, all at once.
Spy_file_records ReadSpyRecords(const std::vector<uint8_t>& data);

// The time a time record holds, or known = false when its bytes are no valid date and time.
Spy_time DecodeSpyTime(const uint8_t* record);
