#pragma once
// The forecourt controller's side of a current loop, for the tests, the benchmarks and the fuzz
// seeds: 32-byte controller frames with the engine's own CRC, and the checks of a pump's reply.
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace cl_kit {

// The line address of pump 1 to 32 (0x50 to 0x6F).
uint8_t PumpAddress(int pump_number);
// Position of a pump's character in CB0 and CB3.
size_t PositionOf(int pump_number);

// A 32-byte frame from the controller: STX, destination, 'q', a filler, the type, the data bytes
// given by index (others ' '), CRC over 1-28, ETX.
std::vector<uint8_t> ControllerFrame(uint8_t destination, char type, const std::map<size_t, uint8_t>& data = {});
// CB3 to one pump: its command (' ' none) and itself as reply address.
std::vector<uint8_t> Poll(int pump_number, char command = ' ');
// CB0 to one pump: price control '2', reply address, a five-digit preset, flags byte.
std::vector<uint8_t> Preset(int pump_number, int preset, uint8_t flags);
// CB1 with the price of nozzle 1 (four digits); the other nozzles 0.
std::vector<uint8_t> Prices(uint8_t destination, int nozzle1_price);

// True when a 32-byte frame carries the CRC of its bytes 1-28.
bool CrcMatches(const std::vector<uint8_t>& frame);
// The decimal number in count digit characters from first.
int DigitField(const std::vector<uint8_t>& frame, size_t first, size_t count);
// True once 32 bytes (a whole frame) are there.
inline bool FrameComplete(const std::vector<uint8_t>& bytes) { return bytes.size() >= 32; }

}  // namespace cl_kit
