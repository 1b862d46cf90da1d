#include "currentloop/cl_message.h"

#include <cstdio>

#include "engine/pump_address.h"
#include "platform/text.h"

namespace {

// The CRC of each 4-bit value.
constexpr uint16_t kCrcNibbleTable[16] = {
    0x0000, 0x1021, 0x2042, 0x3063, 0x4084, 0x50A5, 0x60C6, 0x70E7,
    0x8108, 0x9129, 0xA14A, 0xB16B, 0xC18C, 0xD1AD, 0xE1CE, 0xF1EF,
};

uint16_t ShiftNibble(uint16_t crc)
{
    const unsigned out = crc >> 12;
    return static_cast<uint16_t>((crc << 4) ^ kCrcNibbleTable[out]);
}

}  // namespace

uint16_t CL_Crc16(const uint8_t* bytes, size_t count)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < count; ++i) {
        crc = static_cast<uint16_t>(crc ^ (bytes[i] << 8));
        crc = ShiftNibble(crc);
        crc = ShiftNibble(crc);
    }
    return crc;
}

uint16_t CL_FrameCrc(const CL_Message& frame)
{
    return CL_Crc16(frame.bytes.data() + 1, cl_frame::kCrcAdjust);
}

uint8_t CL_ReplyAddress(const CL_Message& frame)
{
    if (frame.bytes[cl_frame::kSource] != cl_frame::kController)
        return ' ';
    switch (frame.bytes[cl_frame::kType]) {
    case '0':
        return frame.bytes[cl_frame::kCb0ReplyAddress];
    case '3':
        return frame.bytes[cl_frame::kCb3ReplyAddress];
    default:
        return ' ';
    }
}

bool CL_ConcernsAddress(const CL_Message& frame, uint8_t address)
{
    return frame.bytes[cl_frame::kDestination] == address || frame.bytes[cl_frame::kSource] == address ||
           CL_ReplyAddress(frame) == address;
}

std::string CL_PumpNumberText(uint8_t address)
{
    // Arithmetic on 8 bits: any byte gives some defined characters.
    if (address > 'X') {
        const int number = PumpNumberOf(address);
        return {static_cast<char>('0' + number / 10), static_cast<char>('0' + number % 10)};
    }
    return std::string(1, static_cast<char>(static_cast<uint8_t>(address - 31)));
}

std::string CL_InterpretedText(const CL_Message& frame)
{
    const uint8_t destination = frame.bytes[cl_frame::kDestination];
    if (destination == cl_frame::kController)
        return "<P" + CL_PumpNumberText(frame.bytes[cl_frame::kSource]) + " DB0>";

    std::string text = destination == cl_frame::kAllPumps ? "<ALL " : "<P" + CL_PumpNumberText(destination);
    switch (frame.bytes[cl_frame::kType]) {
    case '0':
        text += " CB0 ";
        if (frame.bytes[cl_frame::kCb0ReplyAddress] != ' ')
            text += "RTU: " + CL_PumpNumberText(frame.bytes[cl_frame::kCb0ReplyAddress]);
        return text + ">";
    case '1':
        return text + " CB1>";
    case '2':
        return text + " CB2>";
    case '3':
        text += " CB3 ";
        if (frame.bytes[cl_frame::kCb3ReplyAddress] != ' ')
            text += "RTU: " + CL_PumpNumberText(frame.bytes[cl_frame::kCb3ReplyAddress]);
        return text + ">";
    default:
        return text + " error>";
    }
}

std::string CL_HexText(const CL_Message& frame)
{
    char tick[16];
    std::snprintf(tick, sizeof tick, "%010u", static_cast<unsigned>(frame.tick));
    return HexText(frame.bytes.data(), frame.length) + tick;
}
