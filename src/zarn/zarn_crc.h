#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "zarn/zarn_message.h"

// Byte values of the Zarn line framing.
constexpr uint8_t kZarnSF = 0xFA;     // end of block
constexpr uint8_t kZarnDLE = 0x10;    // stuffing prefix before a data byte 0xFA
constexpr uint8_t kZarnETX = 0x03;    // after the CRC of a DATA block

// CRC-16 with the reflected polynomial 0xA001, initial value 0, no final exclusive-or.
// The check value of the ASCII text "123456789" is 0xBB3D.
uint16_t ZarnCrc16(const uint8_t* bytes, size_t count);

// Worst case of StuffBlock's output for a block of `count` bytes: every byte stuffed, plus SF.
constexpr size_t StuffedSize(size_t count) { return 2 * count + 1; }

// Writes a block as it goes on the line: 0x10 before every 0xFA of the block, then the closing
// SF. Returns the number of bytes written, or 0 when `out_capacity` is too small.
size_t StuffBlock(const uint8_t* block, size_t count, uint8_t* out, size_t out_capacity);

// Cuts the incoming byte stream into blocks. A 0xFA ends the block unless the byte before it on
// the line was 0x10, in which case the stored 0x10 becomes the data byte 0xFA. A block never
// grows beyond Message::kMaxBody bytes: the byte that would overflow it is lost together with the
// bytes collected so far, and collection starts afresh with no memory of a previous byte.
class Zarn_block_cutter {
public:
    Zarn_block_cutter();

    // Feeds one line byte. True when it completed a block; TakeBlock then hands it over.
    bool Feed(uint8_t byte);
    // The completed block (unstuffed, without SF); collection starts a new empty block.
    std::unique_ptr<Message> TakeBlock();
    // Bytes of the block being collected.
    size_t Collected() const { return collecting_->length; }
    // Drops what was collected: the next byte starts a new block.
    void StartAfresh();

private:

    std::unique_ptr<Message> collecting_;
    bool has_last_byte_ = false;
    uint8_t last_byte_ = 0;
};
