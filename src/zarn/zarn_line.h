#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>

#include "common/timeout.h"
#include "zarn/message.h"

// Reply blocks of one pump waiting for a POLL. Posting applies the merging rules: at most one
// DC2 waits (a newer DC2 overwrites it in place), transactions are appended to the last queued
// block while the result still fits one block, DC101 and rubbish blocks stand alone.
class Outgoing_message_queue {
public:
    void Post(std::unique_ptr<Message> block, bool standalone = false);
    std::unique_ptr<Message> Take();  // nullptr when empty
    bool Empty() const;
    void Clear();

private:
    // The link layer's own fields.
};

// The link state of one pump: answers POLL, ACK, NAK and DATA blocks, keeps the sequence numbers,
// holds the pending reply until it is acknowledged, and queues the pump's replies.
//
// Threads: HandleBlock runs on the I/O thread; PostReply, PollTimedOut and SetLinkError on the
// pump thread. The I/O thread never takes the pump's lock: accepted DATA blocks go to the pump
// through its receive queue (a locked Message_queue).
class Zarn_line {
public:
    Zarn_line(uint8_t address, Message_queue& receive_queue, int poll_timeout_seconds);

    // Handles a block addressed to this pump. Returns true and fills `reply` with the block to
    // write (before stuffing and SF) when there is one.
    bool HandleBlock(std::unique_ptr<Message> block, Message& reply);

    // Queues a reply built by the pump (ADR and CTRL are filled in here). `standalone` keeps the
    // block apart from others (rubbish replies).
    void PostReply(std::unique_ptr<Message> block, bool standalone = false);

    bool PollTimedOut() const;
    void SetLinkError(int code, int count);  // 100 ignore, 101 bad CRC, 102 bad sequence
    uint8_t Address() const { return address_; }
};
