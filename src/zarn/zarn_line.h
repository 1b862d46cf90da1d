#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <random>

#include "engine/pump_thread.h"
#include "platform/random_seed.h"
#include "engine/wire_trace.h"
#include "zarn/zarn_message.h"

// Reply blocks of one pump waiting for a POLL. Posting applies the merging rules: at most one
// DC2 waits (a newer DC2 overwrites it in place), transactions are appended to the last queued
// block while the result still fits one block, DC101 and rubbish blocks stand alone.
//
// The queue holds at most kMaxBlocks blocks. In normal operation it holds a few: a pump queues a
// handful of short transactions per cycle, which merge into one block, and a polling controller
// takes a block per POLL; even a controller that stops polling for the whole poll time-out (5 s,
// 200 cycles) leaves far fewer than kMaxBlocks. Only a controller that keeps sending commands but
// never takes the replies fills it; then the oldest waiting block is dropped for each new one
// (the newest status is what such a controller will want when it comes back), and Post says so.
class Outgoing_message_queue {
public:
    static constexpr size_t kMaxBlocks = 256;  // at most 256 x 258 bytes, about 66 KB, per pump

    // Returns how many waiting blocks were dropped to make room (0 or 1).
    int Post(std::unique_ptr<Message> block, bool standalone = false);
    std::unique_ptr<Message> Take();  // nullptr when empty
    bool Empty() const;
    size_t Size() const;
    void Clear();

    // The most bytes of ADR, CTRL and transactions a reply block may hold, alone or merged, so
    // that the finished block with CRC and ETX still fits what a receiver collects before SF.
    // Longer blocks are refused.
    static constexpr size_t kMaxReplyBody = Message::kMaxBody - 3;

private:
    struct Entry {
        std::unique_ptr<Message> block;
        bool standalone = false;
    };

    bool TryReplaceQueuedDc2(const Message& block);
    bool TryAppendToLast(const Message& block);
    void RememberLastDc2(Message& block, size_t from);

    mutable std::mutex mutex_;
    std::deque<Entry> entries_;
    Message* dc2_block_ = nullptr;  // the block holding the remembered DC2, or none
    size_t dc2_offset_ = 0;         // where that DC2 transaction starts in it
};

// The link state of one pump: answers POLL, ACK, NAK and DATA blocks, keeps the sequence numbers,
// holds the pending reply until it is acknowledged, and queues the pump's replies.
//
// Threads: HandleBlock runs on the I/O thread; PostReply, PollTimedOut and SetLinkError on the
// pump thread. The I/O thread never takes the pump's lock: accepted DATA blocks go to the pump
// through its receive queue (a locked Message_queue), and the pump's thread is woken for them.
class Zarn_line {
public:
    // `pump_thread` (may be none) is woken when a DATA block enters the receive queue and when the
    // pump comes back online.
    Zarn_line(uint8_t address, Message_queue& receive_queue, int poll_timeout_seconds,
              Pump_thread* pump_thread = nullptr);

    // Handles a block addressed to this pump. Returns true and fills `reply` with the block to
    // write (before stuffing and SF) when there is one. `outcome`, when given, learns the verdicts
    // on the block and the reply (for the wire trace); it changes nothing on the line.
    bool HandleBlock(std::unique_ptr<Message> block, Message& reply, Trace_outcome* outcome = nullptr);

    // Queues a reply built by the pump (ADR and CTRL are filled in here). `standalone` keeps the
    // block apart from others (rubbish replies). Returns how many waiting replies were dropped
    // because the queue was full (the pump counts them as receive errors).
    int PostReply(std::unique_ptr<Message> block, bool standalone = false);
    size_t QueuedReplies() const { return outgoing_.Size(); }

    bool PollTimedOut() const;
    // The pump thread's sleep after a cycle that found the poll deadline passed or not
    // (Poll_deadline::SleepLimitMs).
    int64_t PollSleepLimitMs(bool cycle_found_expired) { return poll_deadline_.SleepLimitMs(cycle_found_expired); }
    void SetLinkError(int code, int count);  // 100 ignore, 101 bad CRC, 102 bad sequence
    uint8_t Address() const { return address_; }

private:
    bool HandleAck();
    bool HandleNak(uint8_t number, Message& reply, Trace_outcome& outcome);
    bool HandlePoll(Message& reply, Trace_outcome& outcome);
    bool HandleData(std::unique_ptr<Message> block, Message& reply, Trace_outcome& outcome);
    void SendNew(std::unique_ptr<Message> block, Message& reply, Trace_outcome& outcome);
    void ControlReply(uint8_t control, Message& reply) const;
    uint8_t WrongSequenceNumber(uint8_t right);
    uint16_t WrongCrc(uint16_t right);

    const uint8_t address_;
    Message_queue& receive_queue_;
    Pump_thread* const pump_thread_;
    Outgoing_message_queue outgoing_;
    Poll_deadline poll_deadline_;

    // Link errors still to inject; set by the pump thread, used up by the I/O thread.
    std::atomic<int> ignore_count_{0};
    std::atomic<int> bad_crc_count_{0};
    std::atomic<int> bad_sequence_count_{0};

    // Link state, only touched by HandleBlock under mutex_.
    std::mutex mutex_;
    std::unique_ptr<Message> pending_;
    uint8_t next_sequence_ = 0;
    uint8_t expected_sequence_ = 0;
    int retries_ = 0;
    std::mt19937 random_;
};
