// The pure pieces of the current-loop engine: CRC, number text, the two text forms of a frame,
// the "concerns an address" rule.
#include <gtest/gtest.h>

#include <cstring>

#include "cl_test_frames.h"
#include "currentloop/cl_message.h"
#include "currentloop/cl_pump.h"

namespace {

CL_Message FrameOf(const std::vector<uint8_t>& bytes)
{
    CL_Message m;
    m.length = static_cast<uint8_t>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), m.bytes.begin());
    return m;
}

}  // namespace

TEST(ClCrc, CheckValueAndCoverage)
{
    const char* text = "123456789";
    EXPECT_EQ(0x29B1, CL_Crc16(reinterpret_cast<const uint8_t*>(text), std::strlen(text)));
    EXPECT_EQ(0xFFFF, CL_Crc16(nullptr, 0));

    CL_Message frame = FrameOf(cltest::Poll(3, 'A'));
    const uint16_t crc = CL_FrameCrc(frame);
    CL_Message changed = frame;
    changed.bytes[0] = 0x55;
    changed.bytes[31] = 0x55;
    EXPECT_EQ(crc, CL_FrameCrc(changed)) << "STX and ETX are outside the CRC";
    changed.bytes[28] ^= 0x10;
    EXPECT_NE(crc, CL_FrameCrc(changed)) << "the adjustment byte is inside the CRC";
    changed = frame;
    changed.bytes[1] ^= 0x01;
    EXPECT_NE(crc, CL_FrameCrc(changed));
}

TEST(ClNumberText, PlacesAndEdges)
{
    EXPECT_EQ("12.34", CL_NumberText(1234, 100));
    EXPECT_EQ("0.005", CL_NumberText(5, 1000));
    EXPECT_EQ("7.", CL_NumberText(7, 1));
    EXPECT_EQ("0.00", CL_NumberText(0, 100));
    EXPECT_EQ("21474836.47", CL_NumberText(2147483647, 100));
    EXPECT_EQ("0.00000001", CL_NumberText(1, 100000000));
    EXPECT_EQ("-1.50", CL_NumberText(-150, 100));
    EXPECT_EQ("3.", CL_NumberText(3, 0)) << "a multiplier below 1 counts as 1";
}

TEST(ClTexts, InterpretedForms)
{
    CL_Message reply = FrameOf(cltest::ControllerFrame('q', '0'));
    reply.bytes[2] = cltest::PumpAddress(5);
    EXPECT_EQ("<P5 DB0>", CL_InterpretedText(reply));

    CL_Message poll = FrameOf(cltest::ControllerFrame('O', '3', {{26, cltest::PumpAddress(12)}}));
    EXPECT_EQ("<ALL  CB3 RTU: 12>", CL_InterpretedText(poll));
    EXPECT_EQ("<P3 CB1>", CL_InterpretedText(FrameOf(cltest::Prices(cltest::PumpAddress(3), 0))));
    EXPECT_EQ("<P10 CB2>", CL_InterpretedText(FrameOf(cltest::ControllerFrame(cltest::PumpAddress(10), '2'))));
    EXPECT_EQ("<P2 CB0 >", CL_InterpretedText(FrameOf(cltest::ControllerFrame(cltest::PumpAddress(2), '0'))))
        << "no RTU part when the reply address is a space";
    EXPECT_EQ("<P2 CB0 RTU: 2>", CL_InterpretedText(FrameOf(cltest::Preset(2, 100, 0))));
    EXPECT_EQ("<P1 error>", CL_InterpretedText(FrameOf(cltest::ControllerFrame(cltest::PumpAddress(1), '7'))));
    EXPECT_EQ("32", CL_PumpNumberText('o'));
    EXPECT_EQ("9", CL_PumpNumberText('X'));
    EXPECT_EQ("10", CL_PumpNumberText('Y'));
}

TEST(ClTexts, HexFormWithTenDigitTick)
{
    CL_Message m;
    m.length = 3;
    m.bytes[0] = 0x02;
    m.bytes[1] = 0xAB;
    m.bytes[2] = 0x03;
    m.tick = 1234567;
    EXPECT_EQ("02 AB 03 0001234567", CL_HexText(m));
    m.tick = 4294967295u;
    EXPECT_EQ("02 AB 03 4294967295", CL_HexText(m));

    CL_Message frame = FrameOf(cltest::Poll(1));
    EXPECT_EQ(96u + 10u, CL_HexText(frame).size());
}

TEST(ClTexts, ConcernsAddress)
{
    const uint8_t pump3 = cltest::PumpAddress(3);
    EXPECT_TRUE(CL_ConcernsAddress(FrameOf(cltest::ControllerFrame('O', '3', {{26, pump3}})), pump3));
    EXPECT_FALSE(CL_ConcernsAddress(FrameOf(cltest::ControllerFrame('O', '1', {{26, pump3}})), pump3))
        << "a CB1 has no reply address";
    EXPECT_TRUE(CL_ConcernsAddress(FrameOf(cltest::ControllerFrame('O', '0', {{21, pump3}})), pump3));
    CL_Message reply = FrameOf(cltest::ControllerFrame('q', '0', {{21, pump3}}));
    reply.bytes[2] = cltest::PumpAddress(4);
    EXPECT_TRUE(CL_ConcernsAddress(reply, cltest::PumpAddress(4)));
    EXPECT_FALSE(CL_ConcernsAddress(reply, pump3)) << "replies have no reply address";
}

TEST(ClMessageQueue, FirstInFirstOut)
{
    CL_Message_queue queue;
    EXPECT_EQ(nullptr, queue.Take());
    for (uint8_t i = 1; i <= 3; ++i) {
        auto m = std::make_unique<CL_Message>();
        m->length = i;
        queue.Append(std::move(m));
    }
    EXPECT_EQ(3u, queue.Size());
    for (uint8_t i = 1; i <= 3; ++i)
        EXPECT_EQ(i, queue.Take()->length);
    EXPECT_EQ(nullptr, queue.Take());
}
