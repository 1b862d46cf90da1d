#pragma once
// The controller's side of the Zarn link tests: one pump line behind a Zarn_IO on a
// pseudo-terminal, with the pump side played by the test (it owns the receive queue and posts
// replies through the line as the pump thread would).
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/pump_settings.h"
#include "support/pty_controller.h"
#include "support/zarn_controller.h"
#include "zarn/zarn_message.h"
#include "zarn/zarn_io.h"
#include "zarn/zarn_line.h"

constexpr uint8_t kPump1 = 0x50;
constexpr int kReplyMs = 3000;
constexpr int kQuietMs = 150;

// A block as the pump builds it: ADR and CTRL left for the line, then the transactions.
inline std::unique_ptr<Message> PumpBlock(const Bytes& transactions)
{
    auto block = std::make_unique<Message>();
    block->length = static_cast<uint16_t>(2 + transactions.size());
    for (size_t i = 0; i < transactions.size(); ++i)
        block->bytes[2 + i] = transactions[i];
    return block;
}

// Collects what the I/O thread hands to the communication feed.
class RecordingSink : public Block_sink {
public:
    void Post(const Message& block, int direction) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        records_.push_back({Bytes(block.bytes.begin(), block.bytes.begin() + block.length), direction});
    }
    std::vector<std::pair<Bytes, int>> Records() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<Bytes, int>> records_;
};

class LinkTest : public ::testing::Test {
protected:
    // Echo handling is off unless a test asks for it: the controller here does not echo.
    void SetUp() override { Start(std::optional<bool>(false)); }

    void TearDown() override { Stop(); }

    // handle_returning: the echo handling to ask for, none to take the settings' default.
    void Start(std::optional<bool> handle_returning)
    {
        line_ = std::make_unique<Zarn_line>(kPump1, received_, 5);
        io_ = std::make_unique<Zarn_IO>(pty_.SlavePath(), false, sink_,
                                        handle_returning.value_or(Pump_settings{}.handle_returning_messages));
        io_->Start();
        ASSERT_EQ(io_->RegisterPump(line_.get()), 0);
    }

    void Stop()
    {
        if (io_)
            io_->UnregisterPump(line_.get());
        io_.reset();
        line_.reset();
    }

    void Restart(std::optional<bool> handle_returning)
    {
        Stop();
        received_.Clear();
        pty_.Drain();
        Start(handle_returning);
    }

    // One block as it came on the line, up to its SF (a 0xFA after 0x10 is stuffed data).
    Bytes ReadBlock(int timeout_ms = kReplyMs) { return ReadZarnLineBlock(pty_, timeout_ms); }

    Bytes Exchange(const Bytes& sent)
    {
        pty_.Send(sent);
        return ReadBlock();
    }

    Bytes Poll(uint8_t address = kPump1) { return Exchange(ZarnControlBlock(address, 0x20)); }

    void ExpectNoAnswer(const Bytes& sent)
    {
        pty_.Send(sent);
        EXPECT_TRUE(pty_.Silent(kQuietMs)) << "an answer came where none was due";
    }

    void Ack(uint8_t number) { ExpectNoAnswer(ZarnControlBlock(kPump1, static_cast<uint8_t>(0xC0 | number))); }

    // Posts the replies, polls, and returns the DATA block on the line.
    Bytes PostAndPoll(const Bytes& transactions)
    {
        line_->PostReply(PumpBlock(transactions));
        return Poll();
    }

    // The line bytes of the DATA block numbered `number` carrying `transactions`.
    static Bytes PumpData(uint8_t number, const Bytes& transactions)
    {
        return ZarnDataBlock(kPump1, number, transactions);
    }

    PtyController pty_;
    Message_queue received_;
    RecordingSink sink_;
    std::unique_ptr<Zarn_line> line_;
    std::unique_ptr<Zarn_IO> io_;
};
