#pragma once
// A received DATA block's transactions through the decoder, with any decimals, and the block's
// interpreted text both ways.
//
// Input: bytes 0-2 are the volume, amount and price decimals; the rest is the block from ADR on
// (as the line hands it to a pump: CRC and ETX removed).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "zarn/zarn_interpreter.h"
#include "zarn/zarn_transactions.h"

inline int RunZarnTransactionsInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    Zarn_decimals decimals;
    decimals.volume = data[0];
    decimals.amount = data[1];
    decimals.price = data[2];
    Message block;
    block.length = static_cast<uint16_t>(std::min(size - 3, block.bytes.size()));
    std::memcpy(block.bytes.data(), data + 3, block.length);

    Transaction_reader reader(block, decimals);
    try {
        bool decode_prices = true;
        while (!reader.AtEnd()) {
            Zarn_command command = reader.Next(decode_prices);
            if (command.kind == Zarn_command::Kind::Cd9)
                reader.SetDecimals(command.decimals);
            if (command.kind == Zarn_command::Kind::Cd5 && command.prices.size() > 15)
                abort();  // a price list never names more nozzles than a pump has
            decode_prices = !decode_prices;
        }
    } catch (const std::exception&) {
        // Malformed transactions raise the pump's receive error: expected for most inputs.
    }
    (void)ZarnInterpretedText(block.bytes.data(), block.length, 0);
    (void)ZarnInterpretedText(block.bytes.data(), block.length, 1);
    return 0;
}
