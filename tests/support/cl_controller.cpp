#include "support/cl_controller.h"

#include "currentloop/cl_message.h"

namespace cl_kit {

uint8_t PumpAddress(int pump_number)
{
    return static_cast<uint8_t>(cl_frame::kFirstPumpAddress - 1 + pump_number);
}

size_t PositionOf(int pump_number)
{
    return static_cast<size_t>(pump_number + 4);
}

std::vector<uint8_t> ControllerFrame(uint8_t destination, char type, const std::map<size_t, uint8_t>& data)
{
    CL_Message m;
    m.length = cl_frame::kLength;
    m.bytes[0] = cl_frame::kStx;
    m.bytes[cl_frame::kDestination] = destination;
    m.bytes[cl_frame::kSource] = cl_frame::kController;
    m.bytes[3] = 'P';
    m.bytes[cl_frame::kType] = static_cast<uint8_t>(type);
    for (size_t i = 5; i < cl_frame::kCrcAdjust; ++i)
        m.bytes[i] = ' ';
    for (const auto& [index, value] : data)
        m.bytes[index] = value;
    m.bytes[cl_frame::kCrcAdjust] = 0;
    const uint16_t crc = CL_FrameCrc(m);
    m.bytes[cl_frame::kCrcHigh] = static_cast<uint8_t>(crc >> 8);
    m.bytes[cl_frame::kCrcLow] = static_cast<uint8_t>(crc & 0xFF);
    m.bytes[cl_frame::kEtxIndex] = cl_frame::kEtx;
    return std::vector<uint8_t>(m.bytes.begin(), m.bytes.begin() + cl_frame::kLength);
}

std::vector<uint8_t> Poll(int pump_number, char command)
{
    return ControllerFrame(PumpAddress(pump_number), '3',
                           {{PositionOf(pump_number), static_cast<uint8_t>(command)},
                            {cl_frame::kCb3ReplyAddress, PumpAddress(pump_number)}});
}

std::vector<uint8_t> Preset(int pump_number, int preset, uint8_t flags)
{
    std::map<size_t, uint8_t> data{
        {PositionOf(pump_number), '2'}, {cl_frame::kCb0ReplyAddress, PumpAddress(pump_number)}, {27, flags}};
    for (size_t i = 0; i < 5; ++i) {
        data[26 - i] = static_cast<uint8_t>('0' + preset % 10);
        preset /= 10;
    }
    return ControllerFrame(PumpAddress(pump_number), '0', data);
}

std::vector<uint8_t> Prices(uint8_t destination, int nozzle1_price)
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

bool CrcMatches(const std::vector<uint8_t>& frame)
{
    if (frame.size() != cl_frame::kLength)
        return false;
    const uint16_t crc = CL_Crc16(frame.data() + 1, 28);
    return frame[cl_frame::kCrcHigh] == (crc >> 8) && frame[cl_frame::kCrcLow] == (crc & 0xFF);
}

int DigitField(const std::vector<uint8_t>& frame, size_t first, size_t count)
{
    int value = 0;
    for (size_t i = 0; i < count; ++i)
        value = value * 10 + (frame[first + i] - '0');
    return value;
}

}  // namespace cl_kit
