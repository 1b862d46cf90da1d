#include "support/zarn_controller.h"

#include <algorithm>
#include <chrono>

Bytes ZarnOnLine(const Bytes& block)
{
    Bytes line;
    line.reserve(block.size() + 2);
    for (uint8_t byte : block) {
        if (byte == kZarnSF)
            line.push_back(kZarnDLE);
        line.push_back(byte);
    }
    line.push_back(kZarnSF);
    return line;
}

Bytes ZarnWithCrc(Bytes block)
{
    const uint16_t crc = ZarnCrc16(block.data(), block.size());
    block.push_back(static_cast<uint8_t>(crc & 0xFF));
    block.push_back(static_cast<uint8_t>(crc >> 8));
    block.push_back(kZarnETX);
    return block;
}

Bytes ZarnDataBlock(uint8_t address, uint8_t number, const Bytes& transactions)
{
    Bytes block{address, static_cast<uint8_t>(0x30 | number)};
    block.insert(block.end(), transactions.begin(), transactions.end());
    return ZarnOnLine(ZarnWithCrc(std::move(block)));
}

Bytes ZarnControlBlock(uint8_t address, uint8_t control)
{
    return ZarnOnLine({address, control});
}

bool ZarnBlockComplete(const Bytes& line_bytes)
{
    const size_t n = line_bytes.size();
    return n >= 1 && line_bytes[n - 1] == kZarnSF && (n == 1 || line_bytes[n - 2] != kZarnDLE);
}

Bytes ZarnUnstuffed(const Bytes& line_bytes)
{
    Bytes block;
    for (uint8_t byte : line_bytes) {
        if (byte == kZarnSF && !block.empty() && block.back() == kZarnDLE) {
            block.back() = kZarnSF;
            continue;
        }
        if (byte == kZarnSF)
            break;
        block.push_back(byte);
    }
    return block;
}

bool ZarnCrcMatches(const Bytes& block)
{
    if (block.size() < 5)
        return false;
    const size_t end = block.size() - 3;
    const uint16_t crc = ZarnCrc16(block.data(), end);
    return block[end] == (crc & 0xFF) && block[end + 1] == (crc >> 8);
}

std::vector<ZarnTransaction> ZarnTransactions(const Bytes& block)
{
    std::vector<ZarnTransaction> list;
    if (block.size() < 5)
        return list;
    const size_t end = block.size() - 3;
    for (size_t i = 2; i + 1 < end;) {
        const size_t length = block[i + 1];
        list.push_back({block[i], Bytes(block.begin() + static_cast<long>(i + 2),
                                        block.begin() + static_cast<long>(std::min(end, i + 2 + length)))});
        i += 2 + length;
    }
    return list;
}

Bytes Packed(uint64_t value, int width)
{
    Bytes bytes(static_cast<size_t>(width));
    for (int i = width - 1; i >= 0; --i) {
        const uint8_t low = value % 10;
        value /= 10;
        const uint8_t high = value % 10;
        value /= 10;
        bytes[static_cast<size_t>(i)] = static_cast<uint8_t>((high << 4) | low);
    }
    return bytes;
}

uint64_t Unpacked(const Bytes& bytes, size_t from, size_t width)
{
    uint64_t value = 0;
    for (size_t i = from; i < from + width && i < bytes.size(); ++i)
        value = value * 100 + (bytes[i] >> 4) * 10 + (bytes[i] & 0x0F);
    return value;
}

Bytes Cd1(uint8_t code) { return {1, 1, code}; }
Bytes Cd2(const Bytes& nozzles) { return Join({{2, static_cast<uint8_t>(nozzles.size())}, nozzles}); }
Bytes Cd3(uint64_t units) { return Join({{3, 4}, Packed(units, 4)}); }
Bytes Cd4(uint64_t units) { return Join({{4, 4}, Packed(units, 4)}); }
Bytes Cd5(const std::vector<uint64_t>& prices)
{
    Bytes t{5, static_cast<uint8_t>(3 * prices.size())};
    for (uint64_t price : prices) {
        const Bytes field = Packed(price, 3);
        t.insert(t.end(), field.begin(), field.end());
    }
    return t;
}
Bytes Cd101(uint8_t counter) { return {101, 1, counter}; }

Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes ReadZarnLineBlock(ControllerLine& line, int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    Bytes bytes;
    while (!ZarnBlockComplete(bytes)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        const std::optional<uint8_t> byte = line.ReadByte(static_cast<int>(left.count()));
        if (!byte)
            break;
        bytes.push_back(*byte);
    }
    return bytes;
}

std::optional<Bytes> ReadZarnBlock(ControllerLine& line, int timeout_ms)
{
    const Bytes bytes = ReadZarnLineBlock(line, timeout_ms);
    if (!ZarnBlockComplete(bytes))
        return std::nullopt;
    return ZarnUnstuffed(bytes);
}

std::optional<Bytes> ZarnController::Poll(uint8_t address, int timeout_ms)
{
    line_.Send(ZarnControlBlock(address, 0x20));
    return ReadBlock(timeout_ms);
}

void ZarnController::Ack(uint8_t address, uint8_t data_control)
{
    line_.Send(ZarnControlBlock(address, static_cast<uint8_t>(0xC0 | (data_control & 0x0F))));
}

bool ZarnController::SendData(uint8_t address, const Bytes& transactions, int ack_timeout_ms)
{
    uint8_t& number = next_number_[address];
    line_.Send(ZarnDataBlock(address, number, transactions));
    const std::optional<Bytes> ack = ReadBlock(ack_timeout_ms);
    const bool acked = ack && *ack == Bytes{address, static_cast<uint8_t>(0xC0 | number)};
    number = number == 15 ? 1 : number + 1;
    return acked;
}

bool ZarnController::ProgramNozzleOne(uint8_t address, int ack_timeout_ms)
{
    Bytes prices{0x05, 45};
    for (int nozzle = 0; nozzle < 15; ++nozzle)
        prices.insert(prices.end(), {0x00, 0x01, 0x00});
    return SendData(address, {0x02, 0x01, 0x01}, ack_timeout_ms) && SendData(address, prices, ack_timeout_ms);
}

int ZarnController::LastStatus(const std::vector<ZarnTransaction>& list)
{
    int status = -1;
    for (const ZarnTransaction& t : list) {
        if (t.code == 1 && t.data.size() == 1)
            status = t.data[0];
    }
    return status;
}
