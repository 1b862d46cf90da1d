#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

// The configuration file ("*.gcf") as plain records, and its byte codec. Nothing here touches an
// engine, a thread or a file: the records describe a whole set of loops, EncodeConfiguration turns
// them into the file's bytes and DecodeConfiguration reads such bytes back, front to back.
//
// File layout: the 7 header bytes 01 02 03 04 05 06 78, one count byte, `count` entries (a type
// byte, 01 Zarn or 02 current loop, followed by that loop's record), the trailer FF FF FF FF.
// Numbers are single bytes; BCD numbers are stored as a "BCD field": a size byte (always 5), a
// decimals byte and 5 packed BCD bytes, most significant first, high nibble first.

// The texts a caller shows when a file cannot be read.
extern const char* const kNotValidConfigurationText;  // bad header, missing, short or corrupt file
extern const char* const kNotValidBcdText;            // a nibble above 9, or decimals outside 0-8

constexpr uint8_t kZarnLoopType = 1;
constexpr uint8_t kCurrentLoopType = 2;
constexpr int kBcdFieldBytes = 5;  // data bytes of every BCD field in the file
constexpr int kMaxFileDecimals = 8;
constexpr int kZarnNozzles = 15;
constexpr int kCLNozzles = 5;

// One stored BCD number: ten packed digits in units of 10^-decimals.
struct Bcd_field {
    uint8_t decimals = 0;
    std::array<uint8_t, kBcdFieldBytes> packed{};

    bool operator==(const Bcd_field&) const = default;
};

// A field holding `value` (its low ten digits) with `decimals`.
Bcd_field MakeBcdField(uint64_t value, uint8_t decimals);
// True when every nibble is a decimal digit and the decimals are 0 to 8.
bool BcdFieldValid(const Bcd_field& field);
// The field's value brought to `decimals` (0-8): more decimals multiply, fewer divide and
// truncate. So 12.34 (1234 with 2 decimals) is 123 with 1 decimal and 123400 with 4. The field
// must be valid.
uint64_t BcdFieldValueAt(const Bcd_field& field, uint8_t decimals);

struct Totals_triple {
    Bcd_field volume;    // volume decimals
    Bcd_field amount;    // amount decimals
    Bcd_field fillings;  // 0 decimals

    bool operator==(const Totals_triple&) const = default;
};

struct Automation_record {
    uint8_t slot = 0;
    uint8_t level = 1;  // 1 Light, 2 Normal, 3 Heavy

    bool operator==(const Automation_record&) const = default;
};

// The communication feed's settings.
struct Feed_record {
    bool on = false;
    uint8_t filter_address = 0;  // 0 = every pump
    bool interpreted = false;

    bool operator==(const Feed_record&) const = default;
};

struct Zarn_pump_record {
    uint8_t slot = 0;
    Bcd_field identity;  // 0 decimals; the third byte 02 marks the full kind; digits unchecked
    std::array<bool, kZarnNozzles> visible{};
    std::array<Totals_triple, kZarnNozzles> totals{};
    bool connected = true;

    bool operator==(const Zarn_pump_record&) const = default;
};

struct Zarn_loop_record {
    uint8_t first = 1;
    uint8_t last = 1;
    std::string port_name;
    bool spy = false;
    uint8_t volume_decimals = 2;
    uint8_t amount_decimals = 2;
    uint8_t price_decimals = 2;
    std::vector<Zarn_pump_record> pumps;  // ascending slots
    std::vector<Automation_record> automations;  // ascending slots
    Feed_record feed;

    bool operator==(const Zarn_loop_record&) const = default;
};

struct CL_pump_record {
    uint8_t slot = 0;
    std::array<bool, kCLNozzles> visible{};
    bool connected = true;

    bool operator==(const CL_pump_record&) const = default;
};

struct CL_loop_record {
    uint8_t first = 1;
    uint8_t last = 1;
    std::string port_name;
    bool spy = false;
    // volume, amount, price, then the three decimals of the total counters
    std::array<uint8_t, 6> decimals{2, 2, 2, 2, 2, 2};
    std::vector<CL_pump_record> pumps;  // ascending slots
    std::vector<Automation_record> automations;  // ascending slots
    Feed_record feed;

    bool operator==(const CL_loop_record&) const = default;
};

using Loop_record = std::variant<Zarn_loop_record, CL_loop_record>;

// Every loop of a run, in tab order.
struct Configuration {
    std::vector<Loop_record> loops;

    bool operator==(const Configuration&) const = default;
};

// The file's bytes. Raises Gallion_error for what the format cannot hold: more than 255 loops,
// pumps or automations in one count byte, or a port name with a zero byte in it.
std::vector<uint8_t> EncodeConfiguration(const Configuration& configuration);

// What DecodeConfiguration read.
struct Decode_result {
    // The loop records read whole and found valid, in file order, up to the first problem.
    Configuration configuration;
    // Empty when the whole file was read; else the text to show:
    //  - kNotValidConfigurationText: bad header, a file too short for header and count, a file
    //    that ends inside an entry, or a record whose numbers cannot describe a loop (pump range
    //    outside the protocol's limits, an empty port name, slots out of range or not ascending,
    //    an automation level other than 1-3);
    //  - kNotValidBcdText: a BCD nibble above 9, or a decimals byte outside 0-8.
    // Reading stops at the first problem: the record it is found in is not returned (no loop is
    // ever half described), the records before it are.
    std::string error;
};

// Reads `data` front to back. An entry with an unknown type byte adds nothing and the next byte is
// taken as the next type byte (the unknown byte still counts as one of the entries). The trailer
// is not read. Never reads outside `data`, whatever it holds.
Decode_result DecodeConfiguration(const std::vector<uint8_t>& data);
