#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/locked_queue.h"

// One Zarn block, from ADR onward, unstuffed and without the closing SF. Room for 255 bytes of
// ADR, CTRL and transactions plus CRC (2 bytes) and ETX.
struct Message {
    static constexpr size_t kMaxBody = 255;             // ADR, CTRL and transactions
    static constexpr size_t kCapacity = kMaxBody + 3;   // plus CRC and ETX

    std::array<uint8_t, kCapacity> bytes{};
    uint16_t length = 0;             // valid bytes
    uint8_t transaction_count = 1;   // transactions merged into the block
    int direction = 0;               // 0 received from the master, 1 sent by the simulator
};

// A locked first-in first-out list of blocks.
using Message_queue = Locked_queue<Message>;
