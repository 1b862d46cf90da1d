#pragma once
// The controller's side of the pump tests: one Zarn_pump behind a Zarn_IO on a pseudo-terminal.
// The test polls, acknowledges the pump's DATA blocks, sends command blocks and reads the
// replies byte for byte; pump operations stand in for the operator. Every read has a deadline.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/pump_settings.h"
#include "platform/clock.h"
#include "support/pty_controller.h"
#include "support/zarn_controller.h"
#include "zarn/zarn_io.h"
#include "zarn/zarn_pump.h"
#include "support/wait.h"

namespace pump_test {

constexpr uint8_t kAddress = 0x50;
constexpr int kReplyMs = 3000;

using Reply = ZarnTransaction;

class PumpTest : public ::testing::Test {
protected:
    // A short cycle and a long poll time-out unless a test changes settings_ first.
    PumpTest()
    {
        settings_.pump_sleep_ms = 5;
        settings_.handle_returning_messages = false;  // this controller does not echo
        settings_.poll_timeout = 600;  // clock jumps in tests stay well inside it
    }

    // The pump with settings_, behind the line.
    void StartPump()
    {
        pump_ = std::make_unique<Zarn_pump>(kAddress, true, settings_);
        io_ = std::make_unique<Zarn_IO>(pty_.SlavePath(), false, no_feed_, settings_.handle_returning_messages);
        io_->Start();
        ASSERT_EQ(io_->RegisterPump(&pump_->Line()), 0);
    }

    void TearDown() override
    {
        if (io_)
            io_->UnregisterPump(&pump_->Line());
        io_.reset();
        pump_.reset();
    }

    // One block from the line, unstuffed and without SF; empty when the deadline passes first.
    Bytes ReadBlock(int timeout_ms = kReplyMs) { return ReadZarnBlock(pty_, timeout_ms).value_or(Bytes{}); }

    // Sends a DATA block numbered 0 (always accepted) and expects its ACK.
    void SendCommands(const Bytes& transactions)
    {
        pty_.Send(ZarnDataBlock(kAddress, 0, transactions));
        const Bytes ack = ReadBlock();
        ASSERT_EQ(ack, (Bytes{kAddress, 0xC0})) << "the command block was not acknowledged";
    }

    // One POLL. A DATA reply is checked (CRC, ETX), acknowledged and returned as its
    // transactions; EOT gives none. `block_count` counts DATA blocks seen.
    std::vector<Reply> PollOnce()
    {
        pty_.Send(ZarnControlBlock(kAddress, 0x20));
        const Bytes block = ReadBlock();
        EXPECT_GE(block.size(), 2u) << "no answer to POLL";
        if (block.size() < 2 || (block[1] >> 4) != 0x3)
            return {};
        ++block_count_;
        last_block_ = block;
        pty_.Send(ZarnControlBlock(kAddress, static_cast<uint8_t>(0xC0 | (block[1] & 0x0F))));
        return Transactions(block);
    }

    // The transactions of a DATA block, whose ETX and CRC are checked.
    static std::vector<Reply> Transactions(const Bytes& block)
    {
        if (block.size() >= 5) {
            EXPECT_EQ(block.back(), kZarnETX);
            EXPECT_TRUE(ZarnCrcMatches(block)) << "a DATA block with a bad CRC";
        }
        return ZarnTransactions(block);
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

    // Polls until the pump answers EOT; returns every transaction that came before.
    std::vector<Reply> PollUntilEot()
    {
        std::vector<Reply> all;
        for (int i = 0; i < 200; ++i) {
            const int blocks_before = block_count_;
            std::vector<Reply> some = PollOnce();
            if (block_count_ == blocks_before)
                return all;  // EOT (or no answer, which PollOnce reports)
            all.insert(all.end(), some.begin(), some.end());
        }
        ADD_FAILURE() << "the pump never ran out of replies";
        return all;
    }

    // Polls until the pump has nothing more to send (EOT).
    void DrainReplies()
    {
        for (int i = 0; i < 200; ++i) {
            pty_.Send(ZarnControlBlock(kAddress, 0x20));
            const Bytes block = ReadBlock();
            ASSERT_GE(block.size(), 2u) << "no answer to POLL";
            if ((block[1] >> 4) != 0x3)
                return;
            pty_.Send(ZarnControlBlock(kAddress, static_cast<uint8_t>(0xC0 | (block[1] & 0x0F))));
        }
        FAIL() << "the pump never ran out of replies";
    }

    static bool HasDc1(const std::vector<Reply>& replies, int status)
    {
        for (const Reply& reply : replies)
            if (reply.code == 1 && reply.data.size() == 1 && reply.data[0] == status)
                return true;
        return false;
    }

    static std::optional<Reply> Last(const std::vector<Reply>& replies, uint8_t trans)
    {
        for (auto it = replies.rbegin(); it != replies.rend(); ++it)
            if (it->code == trans)
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
    uint64_t VolumeUnits() { return static_cast<uint64_t>(std::llround(std::stod(State().volume_text) * 100)); }

    // These tests read the line, not the communication feed.
    struct No_feed : Block_sink {
        void Post(const Message&, int) override {}
    };

    PtyController pty_;
    Pump_settings settings_;
    No_feed no_feed_;
    std::unique_ptr<Zarn_pump> pump_;
    std::unique_ptr<Zarn_IO> io_;
    int block_count_ = 0;
    Bytes last_block_;
};

}  // namespace pump_test
