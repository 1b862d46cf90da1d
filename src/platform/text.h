#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Every byte as two upper-case hexadecimal digits followed by one space: {0x50, 0x20} -> "50 20 ".
std::string HexText(const uint8_t* bytes, size_t count);

// The text as a JSON string, quotes included: '"', '\\' and control characters escaped.
std::string JsonString(const std::string& text);
