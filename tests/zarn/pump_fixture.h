#pragma once
// The controller's side of the pump tests: one Zarn_pump behind a Zarn_IO on a pseudo-terminal.
// The test polls, acknowledges the pump's DATA blocks, sends command blocks and reads the
// replies byte for byte; pump operations stand in for the operator. Every read has a deadline.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "support/pty_controller.h"
#include "zarn/zarn_crc.h"
#include "zarn/zarn_io.h"
#include "zarn/zarn_pump.h"
#include "support/wait.h"

namespace pump_test {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kAddress = 0x50;
constexpr int kReplyMs = 3000;

struct Reply {
    uint8_t trans = 0;
    Bytes data;
};

// Waits until `condition` holds, checking every 2 ms, for at most timeout_ms.
// A packed BCD field of `width` bytes holding `value`.
inline Bytes Packed(uint64_t value, int width)
{
    Bytes bytes(static_cast<size_t>(width));
    for (int i = width - 1; i >= 0; --i) {
        uint8_t low = value % 10;
        value /= 10;
        uint8_t high = value % 10;
        value /= 10;
        bytes[static_cast<size_t>(i)] = static_cast<uint8_t>((high << 4) | low);
    }
    return bytes;
}

inline uint64_t Unpacked(const Bytes& bytes, size_t from, size_t width)
{
    uint64_t value = 0;
    for (size_t i = from; i < from + width && i < bytes.size(); ++i)
        value = value * 100 + (bytes[i] >> 4) * 10 + (bytes[i] & 0x0F);
    return value;
}

// Transaction builders for the controller's commands.
inline Bytes Cd1(uint8_t code) { return {1, 1, code}; }
inline Bytes Cd2(const Bytes& nozzles)
{
    Bytes t;
    t.reserve(nozzles.size() + 2);
    t.push_back(2);
    t.push_back(static_cast<uint8_t>(nozzles.size()));
    t.insert(t.end(), nozzles.begin(), nozzles.end());
    return t;
}
inline Bytes Cd3(uint64_t units) { Bytes t{3, 4}; for (uint8_t b : Packed(units, 4)) t.push_back(b); return t; }
inline Bytes Cd4(uint64_t units) { Bytes t{4, 4}; for (uint8_t b : Packed(units, 4)) t.push_back(b); return t; }
inline Bytes Cd5(const std::vector<uint64_t>& prices)
{
    Bytes t{5, static_cast<uint8_t>(3 * prices.size())};
    for (uint64_t price : prices)
        for (uint8_t b : Packed(price, 3))
            t.push_back(b);
    return t;
}
inline Bytes Cd101(uint8_t counter) { return {101, 1, counter}; }
inline Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

class PumpTest : public ::testing::Test {
protected:
    // A short cycle and a long poll time-out unless a test overrides them.
    void StartPump(const std::map<std::string, std::string>& settings = {})
    {
        settings_ = std::make_unique<TempSettings>();
        settings_->Set("Zarn", "PumpSleepMs", "5");
        settings_->Set("Zarn", "HandleReturningMessages", "0");  // this controller does not echo
        settings_->Set("Zarn", "PollTimeout", "600");  // clock jumps in tests stay well inside it
        for (const auto& [key, value] : settings)
            settings_->Set("Zarn", key, value);
        pump_ = std::make_unique<Zarn_pump>(kAddress, true);
        io_ = std::make_unique<Zarn_IO>(nullptr, pty_.SlavePath(), false);
        ASSERT_EQ(io_->RegisterPump(&pump_->Line()), 0);
    }

    void TearDown() override
    {
        if (io_)
            io_->UnregisterPump(&pump_->Line());
        io_.reset();
        pump_.reset();
        settings_.reset();
    }

    // One block from the line, unstuffed and without SF; empty when the deadline passes first.
    Bytes ReadBlock(int timeout_ms = kReplyMs)
    {
        Bytes block;
        for (;;) {
            std::optional<uint8_t> byte = pty_.ReadByte(timeout_ms);
            if (!byte)
                return {};
            if (*byte == kZarnSF && !block.empty() && block.back() == kZarnDLE) {
                block.back() = kZarnSF;
                continue;
            }
            if (*byte == kZarnSF)
                return block;
            block.push_back(*byte);
        }
    }

    static Bytes OnLine(Bytes body)
    {
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
        return line;
    }

    // Sends a DATA block numbered 0 (always accepted) and expects its ACK.
    void SendCommands(const Bytes& transactions)
    {
        Bytes body{kAddress, 0x30};
        body.insert(body.end(), transactions.begin(), transactions.end());
        pty_.Send(OnLine(body));
        const Bytes ack = ReadBlock();
        ASSERT_EQ(ack, (Bytes{kAddress, 0xC0})) << "the command block was not acknowledged";
    }

    // One POLL. A DATA reply is checked (CRC, ETX), acknowledged and returned as its
    // transactions; EOT gives none. `block_count` counts DATA blocks seen.
    std::vector<Reply> PollOnce()
    {
        pty_.Send({kAddress, 0x20, kZarnSF});
        const Bytes block = ReadBlock();
        EXPECT_GE(block.size(), 2u) << "no answer to POLL";
        if (block.size() < 2 || (block[1] >> 4) != 0x3)
            return {};
        ++block_count_;
        last_block_ = block;
        pty_.Send({kAddress, static_cast<uint8_t>(0xC0 | (block[1] & 0x0F)), kZarnSF});
        return Transactions(block);
    }

    static std::vector<Reply> Transactions(const Bytes& block)
    {
        std::vector<Reply> replies;
        if (block.size() < 5)
            return replies;
        const size_t end = block.size() - 3;
        EXPECT_EQ(block.back(), kZarnETX);
        const uint16_t crc = ZarnCrc16(block.data(), end);
        EXPECT_EQ(block[end], crc & 0xFF);
        EXPECT_EQ(block[end + 1], crc >> 8);
        for (size_t i = 2; i + 1 < end;) {
            const size_t lng = block[i + 1];
            Reply reply;
            reply.trans = block[i];
            reply.data.assign(block.begin() + static_cast<long>(i + 2),
                              block.begin() + static_cast<long>(std::min(end, i + 2 + lng)));
            replies.push_back(reply);
            i += 2 + lng;
        }
        return replies;
    }

    // Polls until `done` holds for the replies collected so far (which it is given); fails the
    // test after 5 s. Returns everything collected.
    std::vector<Reply> PollUntil(const std::function<bool(const std::vector<Reply>&)>& done, int timeout_ms = 5000)
    {
        std::vector<Reply> all;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!done(all)) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "the expected replies did not come";
                return all;
            }
            std::vector<Reply> some = PollOnce();
            all.insert(all.end(), some.begin(), some.end());
            if (some.empty())
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return all;
    }

    // Polls until a DC1 with `status` arrives.
    std::vector<Reply> PollUntilStatus(int status)
    {
        return PollUntil([status](const std::vector<Reply>& replies) { return HasDc1(replies, status); });
    }

    // Polls until the pump has nothing more to send (EOT).
    void DrainReplies()
    {
        for (int i = 0; i < 200; ++i) {
            pty_.Send({kAddress, 0x20, kZarnSF});
            const Bytes block = ReadBlock();
            ASSERT_GE(block.size(), 2u) << "no answer to POLL";
            if ((block[1] >> 4) != 0x3)
                return;
            pty_.Send({kAddress, static_cast<uint8_t>(0xC0 | (block[1] & 0x0F)), kZarnSF});
        }
        FAIL() << "the pump never ran out of replies";
    }

    static bool HasDc1(const std::vector<Reply>& replies, int status)
    {
        for (const Reply& reply : replies)
            if (reply.trans == 1 && reply.data.size() == 1 && reply.data[0] == status)
                return true;
        return false;
    }

    static std::optional<Reply> Last(const std::vector<Reply>& replies, uint8_t trans)
    {
        for (auto it = replies.rbegin(); it != replies.rend(); ++it)
            if (it->trans == trans)
                return *it;
        return std::nullopt;
    }

    Zarn_pump_state State()
    {
        Zarn_pump_state state;
        EXPECT_TRUE(pump_->GetState(state));
        return state;
    }

    // Controller set-up of a priced, allowed nozzle 1 at 1.50 (and its authorisation).
    void AuthorizeNozzleOne(const Bytes& extra = {})
    {
        SendCommands(Join({Cd2({1}), Cd5({150}), extra, Cd1(6)}));
        PollUntilStatus(kStatusAuthorized);
        ASSERT_TRUE(pump_->SelectNozzle(1));
        pump_->LiftNozzle();
    }

    // Returns once a pump cycle that started after this call has run its filling step: a cycle
    // answers a request only after its filling step, and the second answer (DC7, which nothing
    // else produces) comes from a cycle that began after the first one ended.
    void SyncWithPumpCycle()
    {
        for (int i = 0; i < 2; ++i) {
            SendCommands(Cd1(kCd1ReturnParameters));
            PollUntil([](const std::vector<Reply>& replies) { return Last(replies, 7).has_value(); });
        }
    }

    // Moves the clocks forward by `ms` and waits until a cycle has seen the jump.
    void AdvanceAndSettle(int64_t ms, const std::function<bool()>& seen)
    {
        AdvanceClockForTest(ms);
        ASSERT_TRUE(WaitFor(seen)) << "no pump cycle saw the clock move";
    }

    // The filled volume in units (0.01 l).
    uint64_t VolumeUnits() { return static_cast<uint64_t>(std::llround(std::stod(State().filled_volume) * 100)); }

    PtyController pty_;
    std::unique_ptr<TempSettings> settings_;
    std::unique_ptr<Zarn_pump> pump_;
    std::unique_ptr<Zarn_IO> io_;
    int block_count_ = 0;
    Bytes last_block_;
};

}  // namespace pump_test
