#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/locked_queue.h"

// Frame layout of the current loop: every frame, both ways, is 32 bytes.
namespace cl_frame {
constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;
constexpr size_t kLength = 32;
constexpr uint8_t kAllPumps = 'O';   // destination of a broadcast
constexpr uint8_t kController = 'q';
constexpr uint8_t kFirstPumpAddress = 0x50;  // pump 1
constexpr uint8_t kLastPumpAddress = 0x6F;   // pump 32
constexpr size_t kDestination = 1;
constexpr size_t kSource = 2;
constexpr size_t kType = 4;
constexpr size_t kCrcAdjust = 28;
constexpr size_t kCrcHigh = 29;
constexpr size_t kCrcLow = 30;
constexpr size_t kEtxIndex = 31;
constexpr size_t kCb0ReplyAddress = 21;
constexpr size_t kCb3ReplyAddress = 26;
}  // namespace cl_frame

// One frame: the one being received, a pump's reply, or a copy travelling to the feed.
struct CL_Message {
    std::array<uint8_t, 256> bytes{};
    uint8_t length = 0;      // bytes stored; a complete frame has 32
    int direction = 0;       // 0 received from the line, 1 sent by the simulator
    bool bad_crc = false;    // send this reply with a random CRC
    uint32_t tick = 0;       // millisecond tick when the frame was completed or sent
};

// CRC-16/CCITT-FALSE (polynomial 0x1021, start 0xFFFF, no reflection, no final XOR), computed
// four bits at a time.
uint16_t CL_Crc16(const uint8_t* bytes, size_t count);

// The CRC of a frame: indices 1 to 28, between STX and the CRC bytes.
uint16_t CL_FrameCrc(const CL_Message& frame);

// The address a frame names as the pump that answers: index 21 of a CB0 or index 26 of a CB3
// from the controller; ' ' for every other frame.
uint8_t CL_ReplyAddress(const CL_Message& frame);

// True when address is the frame's destination, its source or its reply address.
bool CL_ConcernsAddress(const CL_Message& frame, uint8_t address);

// A pump address as its pump number: 'P' -> "1", 'Z' -> "11".
std::string CL_PumpNumberText(uint8_t address);

// "<P5 DB0>", "<ALL  CB3 RTU: 12>", "<P3 CB1>" ...
std::string CL_InterpretedText(const CL_Message& frame);

// Every stored byte as two hex digits and a space, then the tick as ten decimal digits.
std::string CL_HexText(const CL_Message& frame);

// A locked first-in first-out list of frames.
using CL_Message_queue = Locked_queue<CL_Message>;
