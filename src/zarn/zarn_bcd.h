#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// A decimal number as the pump keeps it and as it travels packed on the line: an unsigned count of
// units of 10^-decimals, held in `width` packed BCD bytes (two digits per byte).
//
// Ranges: width is 1 to 9 bytes (so the largest value, 10^(2*width) - 1, fits 64 bits) and decimals
// 0 to 8. A constructor given a width or decimals outside those ranges brings it to the nearest
// allowed one, so a BCD never has a scale of zero or an overflowed power of ten.
//
// Overflow: storing a value above `Largest()` stores the value minus Largest() (one subtraction:
// a 4-byte 99999999 + 1 gives 1, like a counter that rolls over). A value still above Largest()
// after that subtraction (only a direct store of more than twice Largest() can give one) keeps only
// its low 2*width digits, the digits the wire can carry.
class BCD {
public:
    static constexpr uint8_t kMaxWidth = 9;
    static constexpr uint8_t kMaxDecimals = 8;

    BCD();  // 4 bytes, 0 decimals, value 0
    BCD(uint8_t width, uint8_t decimals, uint64_t value = 0);

    uint64_t Value() const { return value_; }
    uint64_t Scale() const { return scale_; }
    uint8_t Width() const { return width_; }
    uint8_t Decimals() const { return decimals_; }
    uint64_t Largest() const { return largest_; }

    // Stores `value` units, applying the overflow rule above.
    void SetValue(uint64_t value);

    // Stores x (in whole units, e.g. litres) as units of 10^-decimals. The number is taken in its
    // shortest decimal form, so 1.15 with 2 decimals is 115 units and 0.29 is 29; digits beyond the
    // decimals are truncated. A negative number or one that is not a number gives 0; a number with
    // more units than the width can hold gives Largest() (the highest value the field can show).
    void SetReal(double x);
    static BCD FromReal(double x, uint8_t width, uint8_t decimals);

    // The number as a real (for display arithmetic only).
    double ToReal() const;

    // Writes exactly Width() bytes to `out`, most significant byte first, high nibble first.
    void Pack(uint8_t* out) const;
    // Writes exactly `width` bytes (a field of another width): digits above 2*width are dropped,
    // missing ones are 0.
    void PackTo(uint8_t* out, uint8_t width) const;

    // Reads `width` packed bytes from `data` (the caller guarantees they exist). A nibble above 9
    // raises Gallion_error("Not valid BCD data").
    static BCD Unpack(const uint8_t* data, uint8_t width, uint8_t decimals);

    // Adds `other` (brought to this number's decimals, truncating) with the overflow rule.
    BCD& operator+=(const BCD& other);

    // -1, 0 or 1; a number with fewer decimals is brought to the other's decimals first.
    int Compare(const BCD& other) const;
    bool operator==(const BCD& other) const { return Compare(other) == 0; }
    bool operator<(const BCD& other) const { return Compare(other) < 0; }
    bool operator<=(const BCD& other) const { return Compare(other) <= 0; }
    bool operator>(const BCD& other) const { return Compare(other) > 0; }
    bool operator>=(const BCD& other) const { return Compare(other) >= 0; }

    // amount = volume x price in the amount's width and decimals, truncated (never rounded), with
    // the overflow rule. Intermediates are 128 bits wide, so nothing overflows; a product of more
    // than twice Largest() whole units gives Largest().
    static BCD Multiply(const BCD& volume, const BCD& price, uint8_t amount_width, uint8_t amount_decimals);

    // volume = amount / price in the volume's width and decimals, truncated; 0 when price is 0.
    static BCD Divide(const BCD& amount, const BCD& price, uint8_t volume_width, uint8_t volume_decimals);

    // True when target - reached <= margin (all compared at their common decimals), and so when
    // reached is already at or past target.
    static bool WithinMargin(const BCD& target, const BCD& reached, const BCD& margin);

    // Integer part, then "." and exactly Decimals() digits when Decimals() > 0: "12.50".
    std::string Text() const;

private:
    void StoreWide(unsigned __int128 value);

    uint64_t value_ = 0;
    uint64_t scale_ = 1;
    uint8_t width_ = 4;
    uint8_t decimals_ = 0;
    uint64_t largest_ = 99999999;
};

// 10^exponent for exponents 0-19; used for scales and decimal alignment.
uint64_t PowerOfTen(unsigned exponent);
