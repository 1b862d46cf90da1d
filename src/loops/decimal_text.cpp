#include "loops/decimal_text.h"

namespace {

std::string Trimmed(const std::string& text)
{
    const size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos)
        return "";
    const size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Appends digits to a count while it keeps at most max_digits significant digits.
bool AppendDigits(const std::string& digits, int max_digits, uint64_t& value, int& significant)
{
    for (char c : digits) {
        if (!IsDigit(c))
            return false;
        if (value == 0 && c == '0')
            continue;  // leading zeros are not significant
        if (++significant > max_digits)
            return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

}  // namespace

std::optional<uint64_t> DecimalTextToUnits(const std::string& text, int decimals, int max_digits)
{
    const std::string number = Trimmed(text);
    const size_t separator = number.find_first_of(".,");
    const std::string whole = number.substr(0, separator);
    std::string fraction = separator == std::string::npos ? "" : number.substr(separator + 1);
    if (whole.empty() && fraction.empty())
        return std::nullopt;  // empty, or a separator alone
    for (char c : fraction)
        if (!IsDigit(c))
            return std::nullopt;  // a second separator, a sign or a letter after the separator
    fraction.resize(static_cast<size_t>(decimals), '0');  // cut off or pad to the decimals
    uint64_t value = 0;
    int significant = 0;
    if (!AppendDigits(whole, max_digits, value, significant) || !AppendDigits(fraction, max_digits, value, significant))
        return std::nullopt;
    return value;
}

std::optional<uint64_t> WholeNumberText(const std::string& text, int max_digits)
{
    uint64_t value = 0;
    int significant = 0;
    if (!AppendDigits(Trimmed(text), max_digits, value, significant))
        return std::nullopt;
    return value;
}
