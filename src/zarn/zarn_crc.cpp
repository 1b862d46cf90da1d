#include "zarn/zarn_crc.h"

#include <array>

namespace {

std::array<uint16_t, 256> BuildCrcTable()
{
    std::array<uint16_t, 256> table{};
    for (unsigned index = 0; index < 256; ++index) {
        uint16_t crc = static_cast<uint16_t>(index);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
        table[index] = crc;
    }
    return table;
}

const std::array<uint16_t, 256>& CrcTable()
{
    static const std::array<uint16_t, 256> table = BuildCrcTable();
    return table;
}

}  // namespace

uint16_t ZarnCrc16(const uint8_t* bytes, size_t count)
{
    const std::array<uint16_t, 256>& table = CrcTable();
    uint16_t crc = 0;
    for (size_t i = 0; i < count; ++i)
        crc = static_cast<uint16_t>((crc >> 8) ^ table[(crc ^ bytes[i]) & 0xFF]);
    return crc;
}

size_t StuffBlock(const uint8_t* block, size_t count, uint8_t* out, size_t out_capacity)
{
    size_t written = 0;
    for (size_t i = 0; i < count; ++i) {
        size_t needed = (block[i] == kZarnSF) ? 2 : 1;
        if (written + needed + 1 > out_capacity)  // keep room for the closing SF
            return 0;
        if (block[i] == kZarnSF)
            out[written++] = kZarnDLE;
        out[written++] = block[i];
    }
    if (written + 1 > out_capacity)
        return 0;
    out[written++] = kZarnSF;
    return written;
}

Zarn_block_cutter::Zarn_block_cutter() : collecting_(std::make_unique<Message>()) {}

void Zarn_block_cutter::StartAfresh()
{
    collecting_->length = 0;
    has_last_byte_ = false;
}

bool Zarn_block_cutter::Feed(uint8_t byte)
{
    Message& block = *collecting_;
    if (byte != kZarnSF) {
        if (block.length >= Message::kMaxBody) {
            StartAfresh();  // the overflowing byte is lost and not remembered either
            return false;
        }
        block.bytes[block.length++] = byte;
        has_last_byte_ = true;
        last_byte_ = byte;
        return false;
    }
    if (has_last_byte_ && last_byte_ == kZarnDLE && block.length > 0) {
        block.bytes[block.length - 1] = kZarnSF;  // 0x10 0xFA is one data byte 0xFA
        last_byte_ = byte;
        return false;
    }
    if (block.length == 0) {
        has_last_byte_ = true;
        last_byte_ = byte;
        return false;
    }
    return true;
}

std::unique_ptr<Message> Zarn_block_cutter::TakeBlock()
{
    std::unique_ptr<Message> block = std::move(collecting_);
    collecting_ = std::make_unique<Message>();
    has_last_byte_ = false;
    block->direction = 0;
    return block;
}
