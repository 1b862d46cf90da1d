#pragma once
// The forecourt controller's side of the Zarn loop tests: polls pumps, acknowledges their DATA
// blocks, sends commands and reads the replies byte for byte from a pseudo-terminal. Every read
// has a deadline.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "support/pty_controller.h"
#include "zarn/zarn_crc.h"
#include "support/wait.h"

using Bytes = std::vector<uint8_t>;

struct Transaction {
    uint8_t code;
    Bytes data;
};

class ZarnMaster {
public:
    explicit ZarnMaster(ControllerLine& line) : pty_(line) {}

    // One block from the line, unstuffed and without SF; none when the deadline passes first.
    std::optional<Bytes> ReadBlock(int timeout_ms = 3000)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        Bytes block;
        bool after_dle = false;
        for (;;) {
            const int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  deadline - std::chrono::steady_clock::now()).count());
            if (left <= 0)
                return std::nullopt;
            const std::optional<uint8_t> byte = pty_.ReadByte(left);
            if (!byte)
                return std::nullopt;
            if (*byte == kZarnSF && after_dle) {
                block.back() = kZarnSF;
                after_dle = false;
                continue;
            }
            if (*byte == kZarnSF)
                return block;
            block.push_back(*byte);
            after_dle = *byte == kZarnDLE;
        }
    }

    // Sends a POLL (numbered 0) and returns the reply block; none on silence.
    std::optional<Bytes> Poll(uint8_t address, int timeout_ms = 3000)
    {
        pty_.Send({address, 0x20, kZarnSF});
        return ReadBlock(timeout_ms);
    }

    // Polls and acknowledges a DATA reply. Returns its transactions (none for EOT); std::nullopt
    // on silence.
    std::optional<std::vector<Transaction>> PollAndAck(uint8_t address, int timeout_ms = 3000)
    {
        const std::optional<Bytes> reply = Poll(address, timeout_ms);
        if (!reply)
            return std::nullopt;
        if (reply->size() < 2 || (*reply)[0] != address) {
            ADD_FAILURE() << "unexpected reply to POLL of " << int(address);
            return std::vector<Transaction>{};
        }
        if (((*reply)[1] & 0xF0) != 0x30)
            return std::vector<Transaction>{};
        pty_.Send({address, static_cast<uint8_t>(0xC0 | ((*reply)[1] & 0x0F)), kZarnSF});
        return Transactions(*reply);
    }

    // Sends a DATA block with the next sequence number of that address; true when it is ACKed.
    bool SendData(uint8_t address, const Bytes& transactions)
    {
        uint8_t& number = next_number_[address];
        Bytes body{address, static_cast<uint8_t>(0x30 | number)};
        body.insert(body.end(), transactions.begin(), transactions.end());
        const uint16_t crc = ZarnCrc16(body.data(), body.size());
        body.push_back(static_cast<uint8_t>(crc & 0xFF));
        body.push_back(static_cast<uint8_t>(crc >> 8));
        body.push_back(kZarnETX);
        Bytes line;
        for (uint8_t byte : body) {
            if (byte == kZarnSF)
                line.push_back(kZarnDLE);
            line.push_back(byte);
        }
        line.push_back(kZarnSF);
        pty_.Send(line);
        const std::optional<Bytes> ack = ReadBlock();
        const bool acked = ack && *ack == Bytes{address, static_cast<uint8_t>(0xC0 | number)};
        number = number == 15 ? 1 : number + 1;
        return acked;
    }

    // The transactions of a stored DATA block (ADR, CTRL, transactions, CRC, ETX).
    static std::vector<Transaction> Transactions(const Bytes& block)
    {
        std::vector<Transaction> list;
        if (block.size() < 5)
            return list;
        const size_t end = block.size() - 3;
        for (size_t pos = 2; pos + 2 <= end && pos + 2 + block[pos + 1] <= end; pos += 2 + block[pos + 1])
            list.push_back({block[pos], Bytes(block.begin() + pos + 2, block.begin() + pos + 2 + block[pos + 1])});
        return list;
    }

    // The status of the last DC1 among the transactions, or -1.
    static int LastStatus(const std::vector<Transaction>& list)
    {
        int status = -1;
        for (const Transaction& t : list) {
            if (t.code == 1 && t.data.size() == 1)
                status = t.data[0];
        }
        return status;
    }

    // Allows nozzle 1 and gives every nozzle the unit price 1.00 (price decimals 2).
    bool ProgramNozzleOne(uint8_t address)
    {
        Bytes prices{0x05, 45};
        for (int nozzle = 0; nozzle < 15; ++nozzle) {
            prices.push_back(0x00);
            prices.push_back(0x01);
            prices.push_back(0x00);
        }
        return SendData(address, {0x02, 0x01, 0x01}) && SendData(address, prices);
    }

private:
    ControllerLine& pty_;
    std::array<uint8_t, 256> next_number_{};
};
