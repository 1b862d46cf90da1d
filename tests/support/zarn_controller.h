#pragma once
// The forecourt controller's side of a Zarn line, for the tests, the benchmarks and the fuzz
// seeds: blocks as the controller puts them on the line (CRC low byte first, ETX, a DLE before
// every SF inside, the closing SF), blocks read back with a deadline, and a controller that
// numbers its DATA blocks per address. The CRC is the engine's own pure function.
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <vector>

#include "support/controller_line.h"
#include "zarn/zarn_crc.h"

using Bytes = std::vector<uint8_t>;

// One transaction of a DATA block: its code and its data bytes.
struct ZarnTransaction {
    uint8_t code = 0;
    Bytes data;
};

// The line bytes of a block: DLE before every SF in it, then the closing SF.
Bytes ZarnOnLine(const Bytes& block);
// The block with its CRC (low byte first) and ETX appended.
Bytes ZarnWithCrc(Bytes block);
// A DATA block on the line: ADR, CTRL 0x30 + number, the transactions, CRC, ETX, SF.
Bytes ZarnDataBlock(uint8_t address, uint8_t number, const Bytes& transactions);
// A control block on the line (POLL 0x20, ACK 0xC0 + n, NAK 0x50 + n, EOT 0x70 + n).
Bytes ZarnControlBlock(uint8_t address, uint8_t control);
// True when the line bytes end with an SF that no DLE precedes (a whole block).
bool ZarnBlockComplete(const Bytes& line_bytes);
// The block of the line bytes: DLE SF becomes the data byte SF, the closing SF goes.
Bytes ZarnUnstuffed(const Bytes& line_bytes);
// True when the two bytes before the last of an unstuffed DATA block (the CRC before its ETX)
// are the CRC of what precedes them.
bool ZarnCrcMatches(const Bytes& block);
// The transactions of an unstuffed DATA block (ADR, CTRL, transactions, CRC, ETX); the data of a
// transaction cut short by the CRC is what the block holds.
std::vector<ZarnTransaction> ZarnTransactions(const Bytes& block);

// A packed BCD field of `width` bytes holding `value`, and the value of such a field.
Bytes Packed(uint64_t value, int width);
uint64_t Unpacked(const Bytes& bytes, size_t from, size_t width);
// The controller's command transactions: CD1 command, CD2 allowed nozzles, CD3 volume preset,
// CD4 amount preset (in units), CD5 unit prices, CD101 a totals request.
Bytes Cd1(uint8_t code);
Bytes Cd2(const Bytes& nozzles);
Bytes Cd3(uint64_t units);
Bytes Cd4(uint64_t units);
Bytes Cd5(const std::vector<uint64_t>& prices);
Bytes Cd101(uint8_t counter);
// The parts one after the other.
Bytes Join(std::initializer_list<Bytes> parts);

// The bytes of one block as they came on the line, up to and including its closing SF; whatever
// came when timeout_ms passes first.
Bytes ReadZarnLineBlock(ControllerLine& line, int timeout_ms);
// One block from the line, unstuffed and without SF; none when timeout_ms passes first.
std::optional<Bytes> ReadZarnBlock(ControllerLine& line, int timeout_ms);

// A controller on one line: polls, acknowledges, and sends DATA blocks numbered per address
// (1 to 15 in turn after the first, numbered 0).
class ZarnController {
public:
    explicit ZarnController(ControllerLine& line) : line_(line) {}

    // One block from the line, unstuffed and without SF; none when the deadline passes first.
    std::optional<Bytes> ReadBlock(int timeout_ms = 3000) { return ReadZarnBlock(line_, timeout_ms); }
    // Sends a POLL and returns the reply block; none on silence.
    std::optional<Bytes> Poll(uint8_t address, int timeout_ms = 3000);
    // Acknowledges a DATA block the pump sent (its CTRL byte gives the number).
    void Ack(uint8_t address, uint8_t data_control);
    // Sends a DATA block with the next number of that address; true when it is acknowledged
    // within ack_timeout_ms.
    bool SendData(uint8_t address, const Bytes& transactions, int ack_timeout_ms = 3000);
    // Allows nozzle 1 and gives every nozzle the unit price 1.00 (price decimals 2).
    bool ProgramNozzleOne(uint8_t address, int ack_timeout_ms = 3000);

    // The status of the last DC1 among the transactions, or -1.
    static int LastStatus(const std::vector<ZarnTransaction>& list);

protected:
    ControllerLine& line_;

private:
    std::array<uint8_t, 256> next_number_{};
};
