#include "zarn/zarn_bcd.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "platform/error.h"

namespace {

using Wide = unsigned __int128;

uint8_t ClampWidth(uint8_t width)
{
    if (width < 1)
        return 1;
    return width > BCD::kMaxWidth ? BCD::kMaxWidth : width;
}

uint8_t ClampDecimals(uint8_t decimals)
{
    return decimals > BCD::kMaxDecimals ? BCD::kMaxDecimals : decimals;
}

// `value` in units of 10^-from, expressed in units of 10^-to (truncating when to < from).
Wide Rescale(uint64_t value, uint8_t from, uint8_t to)
{
    if (to >= from)
        return static_cast<Wide>(value) * PowerOfTen(to - from);
    return value / PowerOfTen(from - to);
}

}  // namespace

uint64_t PowerOfTen(unsigned exponent)
{
    uint64_t result = 1;
    for (unsigned i = 0; i < exponent && i < 19; ++i)
        result *= 10;
    return result;
}

BCD::BCD() : BCD(4, 0, 0) {}

BCD::BCD(uint8_t width, uint8_t decimals, uint64_t value)
    : width_(ClampWidth(width)), decimals_(ClampDecimals(decimals))
{
    scale_ = PowerOfTen(decimals_);
    largest_ = PowerOfTen(2u * width_) - 1;
    SetValue(value);
}

void BCD::SetValue(uint64_t value)
{
    StoreWide(value);
}

void BCD::StoreWide(Wide value)
{
    if (value > largest_)
        value -= largest_;
    if (value > largest_)
        value %= static_cast<Wide>(largest_) + 1;
    value_ = static_cast<uint64_t>(value);
}

void BCD::SetReal(double x)
{
    if (!(x > 0)) {  // negative, zero or not a number
        value_ = 0;
        return;
    }
    // More whole units than the field holds (checked before any conversion, so the text below
    // stays short and no integer can overflow).
    if (x >= static_cast<double>(largest_ / scale_) + 1.0) {
        value_ = largest_;
        return;
    }
    // The shortest decimal text that reads back as x: "1.15", not 1.149999...; the digits are then
    // taken exactly, and those beyond the decimals are dropped.
    char text[64];
    auto result = std::to_chars(text, text + sizeof text, x, std::chars_format::fixed);
    if (result.ec != std::errc()) {
        value_ = 0;
        return;
    }
    Wide units = 0;
    unsigned fraction_digits = 0;
    bool in_fraction = false;
    for (const char* p = text; p != result.ptr; ++p) {
        if (*p == '.') {
            in_fraction = true;
            continue;
        }
        if (*p < '0' || *p > '9')
            continue;
        if (in_fraction) {
            if (fraction_digits == decimals_)
                break;
            ++fraction_digits;
        }
        units = units * 10 + static_cast<unsigned>(*p - '0');
    }
    for (; fraction_digits < decimals_; ++fraction_digits)
        units *= 10;
    value_ = units > largest_ ? largest_ : static_cast<uint64_t>(units);
}

BCD BCD::FromReal(double x, uint8_t width, uint8_t decimals)
{
    BCD number(width, decimals);
    number.SetReal(x);
    return number;
}

double BCD::ToReal() const
{
    return static_cast<double>(value_) / static_cast<double>(scale_);
}

void BCD::Pack(uint8_t* out) const
{
    PackTo(out, width_);
}

void BCD::PackTo(uint8_t* out, uint8_t width) const
{
    uint64_t rest = value_;
    for (int i = width - 1; i >= 0; --i) {
        uint8_t low = rest % 10;
        rest /= 10;
        uint8_t high = rest % 10;
        rest /= 10;
        out[i] = static_cast<uint8_t>((high << 4) | low);
    }
}

BCD BCD::Unpack(const uint8_t* data, uint8_t width, uint8_t decimals)
{
    BCD number(width, decimals);
    uint64_t value = 0;
    for (uint8_t i = 0; i < number.width_; ++i) {
        uint8_t high = data[i] >> 4;
        uint8_t low = data[i] & 0x0F;
        if (high > 9 || low > 9)
            throw Gallion_error("Not valid BCD data");
        value = value * 100 + high * 10 + low;
    }
    number.value_ = value;
    return number;
}

BCD& BCD::operator+=(const BCD& other)
{
    Wide sum = static_cast<Wide>(value_) + Rescale(other.value_, other.decimals_, decimals_);
    StoreWide(sum);
    return *this;
}

int BCD::Compare(const BCD& other) const
{
    uint8_t common = decimals_ > other.decimals_ ? decimals_ : other.decimals_;
    Wide mine = Rescale(value_, decimals_, common);
    Wide theirs = Rescale(other.value_, other.decimals_, common);
    if (mine < theirs)
        return -1;
    return mine > theirs ? 1 : 0;
}

BCD BCD::Multiply(const BCD& volume, const BCD& price, uint8_t amount_width, uint8_t amount_decimals)
{
    BCD amount(amount_width, amount_decimals);
    // units = volume x price x amount scale / volume scale / price scale, truncated. Splitting the
    // division keeps every intermediate within 128 bits for any widths and decimals:
    // v x p < 10^36, the divisor d < 10^17, r x amount scale < 10^25.
    Wide product = static_cast<Wide>(volume.value_) * price.value_;
    Wide divisor = static_cast<Wide>(volume.scale_) * price.scale_;
    Wide quotient = product / divisor;
    Wide remainder = product % divisor;
    if (quotient > static_cast<Wide>(amount.largest_) * 2) {
        amount.value_ = amount.largest_;  // far beyond any field: the highest value it can show
        return amount;
    }
    amount.StoreWide(quotient * amount.scale_ + remainder * amount.scale_ / divisor);
    return amount;
}

BCD BCD::Divide(const BCD& amount, const BCD& price, uint8_t volume_width, uint8_t volume_decimals)
{
    BCD volume(volume_width, volume_decimals);
    if (price.value_ == 0)
        return volume;
    // volume units = amount / price, in 10^-volume_decimals, formed before any division.
    Wide numerator = static_cast<Wide>(amount.value_) * price.scale_ * volume.scale_;
    Wide denominator = static_cast<Wide>(price.value_) * amount.scale_;
    volume.StoreWide(numerator / denominator);
    return volume;
}

bool BCD::WithinMargin(const BCD& target, const BCD& reached, const BCD& margin)
{
    uint8_t common = std::max({target.decimals_, reached.decimals_, margin.decimals_});
    Wide goal = Rescale(target.value_, target.decimals_, common);
    Wide done = Rescale(reached.value_, reached.decimals_, common);
    Wide allowed = Rescale(margin.value_, margin.decimals_, common);
    return goal <= done || goal - done <= allowed;
}

std::string BCD::Text() const
{
    std::string text = std::to_string(value_ / scale_);
    if (decimals_ > 0) {
        std::string fraction = std::to_string(value_ % scale_);
        text += '.';
        text.append(decimals_ - fraction.size(), '0');
        text += fraction;
    }
    return text;
}
