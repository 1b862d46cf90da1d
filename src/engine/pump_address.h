#pragma once
#include <cstdint>

// Both protocols address pump number n on the line as the byte n + 79 (pump 1 is 'P', 0x50).
constexpr int kPumpAddressOffset = 79;

// The line address of a pump number, taken modulo 256 as a byte.
constexpr uint8_t PumpAddressOf(int pump_number)
{
    return static_cast<uint8_t>(pump_number + kPumpAddressOffset);
}

// The pump number of a line address.
constexpr int PumpNumberOf(uint8_t address)
{
    return address - kPumpAddressOffset;
}
