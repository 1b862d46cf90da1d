#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/rx_errors.h"
#include "zarn/zarn_bcd.h"
#include "zarn/zarn_message.h"

// Widths on the wire, in packed BCD bytes.
constexpr uint8_t kFilledWidth = 4;   // filled and preset volume and amount
constexpr uint8_t kPriceWidth = 3;    // unit prices
constexpr uint8_t kTotalWidth = 5;    // nozzle totals and numbers of fillings
constexpr uint8_t kIdentityWidth = 5;
constexpr int kNozzleCount = 15;

// The decimals the pump currently uses; decoding a price or a preset needs them.
struct Zarn_decimals {
    uint8_t volume = 2;
    uint8_t amount = 2;
    uint8_t price = 2;
};

// CD1 command codes.
enum Zarn_cd1_code : uint8_t {
    kCd1ReturnStatus = 0,
    kCd1ReturnParameters = 2,
    kCd1ReturnIdentity = 3,
    kCd1ReturnFillingInfo = 4,
    kCd1Reset = 5,
    kCd1Authorize = 6,
    kCd1Stop = 8,
    kCd1SwitchOff = 10,
    kCd1Suspend = 13,
    kCd1Resume = 14,
};

// One decoded command transaction. Only the fields of its kind are meaningful.
struct Zarn_command {
    enum class Kind { Cd1, Cd2, Cd3, Cd4, Cd5, Cd7, Cd9, Ignored, Cd14, Cd15, Cd101 };
    Kind kind = Kind::Ignored;
    uint8_t code = 0;                    // CD1 command code, CD101 counter number, CD14/CD15 data byte
    std::array<bool, kNozzleCount> allowed{};  // CD2: index 0 is nozzle 1
    BCD preset;                          // CD3 volume / CD4 amount
    std::vector<BCD> prices;             // CD5: prices[k] is nozzle k + 1
    uint8_t output_register = 0;         // CD7
    uint8_t output_value = 0;            // CD7
    Zarn_decimals decimals;              // CD9
};

// Walks the command transactions of one received DATA block as the line hands it over: ADR,
// CTRL and the transactions (the line has checked and removed CRC and ETX).
//
// Next() decodes the transaction at the current position and moves past it. A malformed
// transaction, or one whose length runs past the end of the block, raises Gallion_error with the
// transaction's text; nothing is ever read beyond the block's length.
//
// `decode_prices` false (the pump is filling, so a price update is ignored entirely) makes a CD5
// of valid length come back with no prices, without looking at its data. The decimals are those
// of the pump when the reader was made; SetDecimals follows a CD9 inside the same block.
class Transaction_reader {
public:
    Transaction_reader(const Message& block, const Zarn_decimals& decimals);
    // The reader keeps a pointer to the block's bytes: it cannot read a temporary.
    Transaction_reader(Message&& block, const Zarn_decimals& decimals) = delete;
    bool AtEnd() const { return position_ >= length_; }
    Zarn_command Next(bool decode_prices = true);
    void SetDecimals(const Zarn_decimals& decimals) { decimals_ = decimals; }

private:
    const uint8_t* bytes_;
    size_t length_;
    size_t position_ = 2;  // the first transaction follows ADR and CTRL
    Zarn_decimals decimals_;
};

// The text of a malformed transaction of type `trans` ("Unknown transaction type" for a type the
// pump does not know, and for the unnamed type 13 when it runs past its block).
std::string MalformedText(uint8_t trans);

// Reply blocks: ADR (the pump's address), a CTRL placeholder filled in by the line, then one
// transaction. Direction is 1 (sent by the simulator).
std::unique_ptr<Message> BuildDc1(uint8_t address, int status);
std::unique_ptr<Message> BuildDc2(uint8_t address, const BCD& filled_volume, const BCD& filled_amount);
// `price` is the selected nozzle's unit price (zero when none is selected).
std::unique_ptr<Message> BuildDc3(uint8_t address, const BCD& price, uint8_t nozzle_out, uint8_t selected_nozzle);
std::unique_ptr<Message> BuildDc5(uint8_t address, uint8_t alarm_code);
std::unique_ptr<Message> BuildDc7(uint8_t address, const Zarn_decimals& decimals);
std::unique_ptr<Message> BuildDc9(uint8_t address, const std::array<uint8_t, kIdentityWidth>& identity);
std::unique_ptr<Message> BuildDc14(uint8_t address);
std::unique_ptr<Message> BuildDc15(uint8_t address);

struct Nozzle_totals {
    std::array<BCD, kNozzleCount> volume;
    std::array<BCD, kNozzleCount> amount;
    std::array<BCD, kNozzleCount> fillings;
    uint8_t volume_decimals = 2;  // decimals of the counter-9 sum
    uint8_t amount_decimals = 2;  // decimals of the counter-25 sum
};
std::unique_ptr<Message> BuildDc101(uint8_t address, uint8_t counter, const Nozzle_totals& totals);

// The replacement of a reply while rubbish is injected: ADR, CTRL placeholder, then 0-29 random
// bytes each 0-254. Post it as a block of its own (never merged, never taken for a DC2).
std::unique_ptr<Message> BuildRubbish(uint8_t address, std::mt19937& random);


// Counts a receive error in the pump's record (engine/rx_errors.h); when `list` is on, adds the
// time stamp immediately followed by the text, the hexadecimal dump of the block, and an empty
// line.
void RecordRxError(Rx_error_record& record, const std::string& text, const Message& block, bool list, std::time_t now);
