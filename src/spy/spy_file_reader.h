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

Spy_file_records ReadSpyRecords(const std::vector<uint8_t>& data);

// The time a time record holds, or known = false when its bytes are no valid date and time.
Spy_time DecodeSpyTime(const uint8_t* record);
