// CRC-16, stuffing on sending and the block cutter that undoes it on reception.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "zarn/zarn_crc.h"

using Bytes = std::vector<uint8_t>;

namespace {

uint16_t Crc(const Bytes& bytes) { return ZarnCrc16(bytes.data(), bytes.size()); }

Bytes Stuff(const Bytes& block)
{
    Bytes out(StuffedSize(block.size()));
    out.resize(StuffBlock(block.data(), block.size(), out.data(), out.size()));
    return out;
}

// Feeds the line bytes and returns every block the cutter completed.
std::vector<Bytes> Cut(const Bytes& line)
{
    Zarn_block_cutter cutter;
    std::vector<Bytes> blocks;
    for (uint8_t byte : line) {
        if (cutter.Feed(byte)) {
            std::unique_ptr<Message> block = cutter.TakeBlock();
            blocks.emplace_back(block->bytes.begin(), block->bytes.begin() + block->length);
        }
    }
    return blocks;
}

}  // namespace

TEST(LinkCrc, CheckValueAndKnownValues)
{
    const char* text = "123456789";
    EXPECT_EQ(ZarnCrc16(reinterpret_cast<const uint8_t*>(text), std::strlen(text)), 0xBB3D);
    EXPECT_EQ(Crc({}), 0x0000);
    EXPECT_EQ(Crc({0x01}), 0xC0C1);  // table entry 1 of the reflected 0xA001 polynomial
    EXPECT_EQ(Crc({0xFF}), 0x4040);
    // Incremental property: a block followed by its CRC (low byte first) leaves remainder 0.
    Bytes block{0x50, 0x30, 0x01, 0x01, 0x02};
    uint16_t crc = Crc(block);
    block.push_back(static_cast<uint8_t>(crc & 0xFF));
    block.push_back(static_cast<uint8_t>(crc >> 8));
    EXPECT_EQ(Crc(block), 0x0000);
}

TEST(LinkStuffing, EveryFaGetsAPrefixAndTheBlockEndsInSf)
{
    EXPECT_EQ(Stuff({0x50, 0x70}), (Bytes{0x50, 0x70, 0xFA}));
    EXPECT_EQ(Stuff({0x50, 0xFA, 0x01}), (Bytes{0x50, 0x10, 0xFA, 0x01, 0xFA}));
    EXPECT_EQ(Stuff({0xFA, 0xFA}), (Bytes{0x10, 0xFA, 0x10, 0xFA, 0xFA}));
    // A data 0x10 followed by 0xFA still gets its own prefix, or the receiver would read one 0xFA.
    EXPECT_EQ(Stuff({0x50, 0x10, 0xFA}), (Bytes{0x50, 0x10, 0x10, 0xFA, 0xFA}));
}

TEST(LinkStuffing, RefusesAnOutputBufferThatIsTooSmall)
{
    Bytes block{0xFA, 0xFA};
    uint8_t out[4];
    EXPECT_EQ(StuffBlock(block.data(), block.size(), out, sizeof out), 0u);
    uint8_t exact[5];
    EXPECT_EQ(StuffBlock(block.data(), block.size(), exact, sizeof exact), 5u);
}

TEST(LinkCutter, StuffedBlocksComeBackUnchanged)
{
    const std::vector<Bytes> blocks{
        {0x50, 0x20},
        {0x50, 0x31, 0xFA, 0x10, 0xFA, 0x10, 0x10, 0x03},
        {0xFA, 0xFA, 0xFA},
        {0x51, 0x10, 0xFA, 0x10, 0xFA, 0x03},
    };
    Bytes line;
    for (const Bytes& block : blocks) {
        Bytes stuffed = Stuff(block);
        line.insert(line.end(), stuffed.begin(), stuffed.end());
    }
    EXPECT_EQ(Cut(line), blocks);
}

TEST(LinkCutter, DecodesTheUnprefixedFormAndIgnoresEmptyBlocks)
{
    // The older form of a data 0x10 0xFA (no extra prefix) decodes to one 0xFA.
    EXPECT_EQ(Cut({0x50, 0x10, 0xFA, 0x01, 0xFA}), (std::vector<Bytes>{{0x50, 0xFA, 0x01}}));
    // SF with nothing collected ends nothing; a stuffed 0xFA after a completed block starts afresh.
    EXPECT_EQ(Cut({0xFA, 0xFA, 0x50, 0x20, 0xFA, 0xFA}), (std::vector<Bytes>{{0x50, 0x20}}));
    // 0xFA, 0xFA after a 0x10: the first is data, the second ends the block.
    EXPECT_EQ(Cut({0x50, 0x10, 0xFA, 0xFA}), (std::vector<Bytes>{{0x50, 0xFA}}));
    // A block may start with a stuffed 0xFA.
    EXPECT_EQ(Cut({0x50, 0xFA, 0x10, 0xFA, 0xFA}), (std::vector<Bytes>{{0x50}, {0xFA}}));
}

TEST(LinkCutter, OverflowDiscardsTheBlockAndLosesTheByte)
{
    // 255 bytes fit; the 256th byte throws all away and is lost itself.
    Bytes line(Message::kMaxBody, 0x00);
    line.push_back(0x10);  // lost: must not turn the next 0xFA into data
    line.push_back(0xFA);  // nothing collected: ignored
    line.insert(line.end(), {0x50, 0x20, 0xFA});
    EXPECT_EQ(Cut(line), (std::vector<Bytes>{{0x50, 0x20}}));

    Bytes full(Message::kMaxBody, 0x33);
    Bytes exactly_full = full;
    exactly_full.push_back(0xFA);
    std::vector<Bytes> cut = Cut(exactly_full);
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_EQ(cut[0], full);

    Bytes run(300, 0x00);  // a long run without SF: the block holds what came after the overflow
    run.push_back(0xFA);
    cut = Cut(run);
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_EQ(cut[0].size(), 300u - (Message::kMaxBody + 1));
}
