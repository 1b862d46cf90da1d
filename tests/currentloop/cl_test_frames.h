#pragma once
// Helpers of the current-loop tests: controller frames with a correct CRC, and a loop on a
// pseudo-terminal with the controller's side of the line.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "currentloop/cl_forecourt.h"
#include "currentloop/cl_message.h"
#include "support/pty_controller.h"
#include "support/wait.h"

namespace cltest {

inline uint8_t PumpAddress(int pump_number)
{
    return static_cast<uint8_t>(pump_number + 79);
}

// A 32-byte frame from the controller: STX, destination, 'q', a filler, the type, the data bytes
// given by index (others ' '), CRC over 1-28, ETX.
inline std::vector<uint8_t> ControllerFrame(uint8_t destination, char type, const std::map<size_t, uint8_t>& data = {})
{
    CL_Message m;
    m.length = 32;
    m.bytes[0] = 0x02;
    m.bytes[1] = destination;
    m.bytes[2] = 'q';
    m.bytes[3] = 'P';
    m.bytes[4] = static_cast<uint8_t>(type);
    for (size_t i = 5; i <= 27; ++i)
        m.bytes[i] = ' ';
    for (const auto& [index, value] : data)
        m.bytes[index] = value;
    m.bytes[28] = 0;
    const uint16_t crc = CL_FrameCrc(m);
    m.bytes[29] = static_cast<uint8_t>(crc >> 8);
    m.bytes[30] = static_cast<uint8_t>(crc & 0xFF);
    m.bytes[31] = 0x03;
    return std::vector<uint8_t>(m.bytes.begin(), m.bytes.begin() + 32);
}

// Position of a pump's character in CB0 and CB3.
inline size_t PositionOf(int pump_number)
{
    return static_cast<size_t>(pump_number + 4);
}

// CB3 to one pump: its command (' ' none) and itself as reply address.
inline std::vector<uint8_t> Poll(int pump_number, char command = ' ')
{
    return ControllerFrame(PumpAddress(pump_number), '3',
                           {{PositionOf(pump_number), static_cast<uint8_t>(command)}, {26, PumpAddress(pump_number)}});
}

// CB0 to one pump: price control '2', reply address, a five-digit preset, flags byte.
inline std::vector<uint8_t> Preset(int pump_number, int preset, uint8_t flags)
{
    std::map<size_t, uint8_t> data{{PositionOf(pump_number), '2'}, {21, PumpAddress(pump_number)}, {27, flags}};
    for (size_t i = 0; i < 5; ++i) {
        data[26 - i] = static_cast<uint8_t>('0' + preset % 10);
        preset /= 10;
    }
    return ControllerFrame(PumpAddress(pump_number), '0', data);
}

// CB1 with the price of nozzle 1 (four digits); the other nozzles 0.
inline std::vector<uint8_t> Prices(uint8_t destination, int nozzle1_price)
{
    std::map<size_t, uint8_t> data;
    for (size_t i = 5; i <= 24; ++i)
        data[i] = '0';
    for (size_t i = 0; i < 4; ++i) {
        data[8 - i] = static_cast<uint8_t>('0' + nozzle1_price % 10);
        nozzle1_price /= 10;
    }
    return ControllerFrame(destination, '1', data);
}

inline bool CrcMatches(const std::vector<uint8_t>& frame)
{
    if (frame.size() != 32)
        return false;
    const uint16_t crc = CL_Crc16(frame.data() + 1, 28);
    return frame[29] == (crc >> 8) && frame[30] == (crc & 0xFF);
}

inline int DigitField(const std::vector<uint8_t>& frame, size_t first, size_t count)
{
    int value = 0;
    for (size_t i = 0; i < count; ++i)
        value = value * 10 + (frame[first + i] - '0');
    return value;
}

// Polls until the condition holds for the pump's state, up to five seconds.
// A loop on a pseudo-terminal with short settings, the test playing the controller.
struct Loop {
    explicit Loop(int first = 1, int last = 8, int poll_timeout_seconds = 3600)
    {
        settings.Set("CurrentLoop", "PumpSleepMs", "5");
        settings.Set("CurrentLoop", "PollTimeout", std::to_string(poll_timeout_seconds));
        forecourt = std::make_unique<CL_forecourt>(line.SlavePath(), false, first, last);
    }
    // Sends a frame and returns the 32-byte reply (fewer bytes when none came in time).
    std::vector<uint8_t> Ask(const std::vector<uint8_t>& frame, int timeout_ms = 2000)
    {
        line.Send(frame);
        return line.ReadExactly(32, timeout_ms);
    }
    // Asks until the reply satisfies the condition (the pump rebuilds its reply every cycle).
    std::vector<uint8_t> AskUntil(const std::vector<uint8_t>& frame,
                                  const std::function<bool(const std::vector<uint8_t>&)>& condition)
    {
        std::vector<uint8_t> reply;
        WaitFor([&] {
            reply = Ask(frame);
            return reply.size() == 32 && condition(reply);
        });
        return reply;
    }
    CL_pump& Pump(int slot) { return *forecourt->GetPump(slot); }

    TempSettings settings;
    PtyController line;
    std::unique_ptr<CL_forecourt> forecourt;
};

}  // namespace cltest
