#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// The records of a spy file. A file is a sequence of time records, each followed by the data
// pairs of one chunk, and possibly an end marker:
//   time record  0x02, yy mm dd hh nn ss (one packed-BCD byte each, local time), two millisecond bytes
//   data pair    kind (0x06 received, 0x07 sent), one data byte
//   end marker   0x04

constexpr uint8_t kSpyReceived = 0x06;
constexpr uint8_t kSpySent = 0x07;
constexpr uint8_t kSpyTimeRecordStart = 0x02;
constexpr uint8_t kSpyEndMarker = 0x04;
constexpr size_t kSpyTimeRecordSize = 9;
constexpr size_t kSpyDataPairSize = 2;

// 0-99 as one packed-BCD byte (26 -> 0x26).
uint8_t PackedBcd(int value);

// The two millisecond bytes the spy viewer reads: h = ms div 256 and l = ms mod 256 are written in
// decimal with at least two digits and joined; the bytes are the packed BCD of the first two and
// of the next two characters. 500 -> "01244" -> 0x01 0x24; 70 -> "0070" -> 0x00 0x70.
std::array<uint8_t, 2> SpyMillisecondBytes(int milliseconds);

// The time record of the moment wall_ms (milliseconds since the epoch), in local time.
std::array<uint8_t, kSpyTimeRecordSize> SpyTimeRecord(int64_t wall_ms);

// A chunk as it goes into the file: its time record, then one data pair per byte.
std::vector<uint8_t> SpyChunkRecords(int64_t wall_ms, uint8_t kind, const uint8_t* bytes, size_t count);
