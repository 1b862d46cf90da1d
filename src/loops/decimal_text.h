#pragma once
#include <cstdint>
#include <optional>
#include <string>

// Exact reading of numbers that an operator types into a dialog or a runner command. No binary
// floating point is involved, so "0.29" at two decimals is 29 hundredths, never 28.

// A decimal number in display units ("12", "12.5", "0,29", surrounding blanks allowed; '.' or ','
// as the separator; no sign, no exponent) as a count of units with `decimals` decimals: digits
// beyond them are cut off. Nothing (nullopt) when the text is no such number or the count needs
// more than `max_digits` digits.
std::optional<uint64_t> DecimalTextToUnits(const std::string& text, int decimals, int max_digits);

// A whole number of at most `max_digits` digits (surrounding blanks allowed); an empty text is 0.
std::optional<uint64_t> WholeNumberText(const std::string& text, int max_digits);
