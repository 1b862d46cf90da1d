#include "zarn/zarn_line.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "zarn/zarn_crc.h"

namespace {

constexpr uint8_t kDataControl = 0x30;
constexpr uint8_t kNakControl = 0x50;
constexpr uint8_t kEotControl = 0x70;
constexpr uint8_t kAckControl = 0xC0;
constexpr uint8_t kDc2Code = 2;
constexpr uint8_t kDc2DataLength = 8;
constexpr size_t kDc2Size = 2 + kDc2DataLength;  // code, length, data
constexpr uint8_t kDc101Code = 101;
constexpr int kMaxResends = 5;

// Block sequence numbers run 1..15 after the first 0.
uint8_t FollowingSequenceNumber(uint8_t number)
{
    return number >= 15 ? 1 : static_cast<uint8_t>(number + 1);
}

// The code of the block's first transaction, or none for a block without transactions.
std::optional<uint8_t> FirstTransactionCode(const Message& block)
{
    if (block.length < 3)
        return std::nullopt;
    return block.bytes[2];
}

// True when the block holds exactly one DC2 transaction of the usual size.
bool IsLoneDc2(const Message& block)
{
    return block.length == 2 + kDc2Size && block.bytes[2] == kDc2Code && block.bytes[3] == kDc2DataLength;
}

// Takes one unit from a link-error counter when it has any left.
bool TryConsume(std::atomic<int>& count)
{
    int value = count.load();
    while (value > 0) {
        if (count.compare_exchange_weak(value, value - 1))
            return true;
    }
    return false;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Outgoing_message_queue

int Outgoing_message_queue::Post(std::unique_ptr<Message> block, bool standalone)
{
    if (!block || block->length < 2 || block->length > kMaxReplyBody)
        return 0;  // not a block this queue can ever send
    std::unique_ptr<Message> dropped;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!standalone) {
        if (TryReplaceQueuedDc2(*block) || TryAppendToLast(*block))
            return 0;
    }
    if (entries_.size() >= kMaxBlocks) {
        dropped = std::move(entries_.front().block);
        entries_.pop_front();
        if (dc2_block_ == dropped.get())
            dc2_block_ = nullptr;
    }
    entries_.push_back(Entry{std::move(block), standalone});
    if (!standalone)
        RememberLastDc2(*entries_.back().block, 2);
    return dropped ? 1 : 0;
}

bool Outgoing_message_queue::TryReplaceQueuedDc2(const Message& block)
{
    if (dc2_block_ == nullptr || !IsLoneDc2(block))
        return false;
    std::memcpy(&dc2_block_->bytes[dc2_offset_], &block.bytes[2], kDc2Size);
    return true;
}

bool Outgoing_message_queue::TryAppendToLast(const Message& block)
{
    if (entries_.empty() || entries_.back().standalone || block.length <= 2)
        return false;
    Message& last = *entries_.back().block;
    if (FirstTransactionCode(block) == kDc101Code || FirstTransactionCode(last) == kDc101Code)
        return false;
    size_t added = block.length - 2u;
    if (last.length + added > kMaxReplyBody)
        return false;
    size_t old_length = last.length;
    std::memcpy(&last.bytes[old_length], &block.bytes[2], added);
    last.length = static_cast<uint16_t>(old_length + added);
    last.transaction_count = static_cast<uint8_t>(std::min(255, last.transaction_count + block.transaction_count));
    RememberLastDc2(last, old_length);
    return true;
}

// Walks the transactions of `block` from offset `from` and remembers the last well-formed DC2
// among them. A transaction whose length runs past the block ends the walk.
void Outgoing_message_queue::RememberLastDc2(Message& block, size_t from)
{
    size_t offset = from;
    while (offset + 2 <= block.length) {
        size_t size = 2u + block.bytes[offset + 1];
        if (offset + size > block.length)
            break;
        if (block.bytes[offset] == kDc2Code && size == kDc2Size) {
            dc2_block_ = &block;
            dc2_offset_ = offset;
        }
        offset += size;
    }
}

std::unique_ptr<Message> Outgoing_message_queue::Take()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (entries_.empty())
        return nullptr;
    std::unique_ptr<Message> block = std::move(entries_.front().block);
    entries_.pop_front();
    if (dc2_block_ == block.get())
        dc2_block_ = nullptr;
    return block;
}

bool Outgoing_message_queue::Empty() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.empty();
}

size_t Outgoing_message_queue::Size() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

void Outgoing_message_queue::Clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
    dc2_block_ = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Zarn_line

Zarn_line::Zarn_line(uint8_t address, Message_queue& receive_queue, int poll_timeout_seconds,
                     Pump_thread* pump_thread)
    : address_(address),
      receive_queue_(receive_queue),
      pump_thread_(pump_thread),
      poll_deadline_(poll_timeout_seconds, pump_thread),
      random_(RandomSeed(address))
{
}

bool Zarn_line::HandleBlock(std::unique_ptr<Message> block, Message& reply, Trace_outcome* outcome_wanted)
{
    Trace_outcome unused;
    Trace_outcome& outcome = outcome_wanted != nullptr ? *outcome_wanted : unused;
    if (!block || block->length < 2 || block->length > Message::kCapacity) {
        outcome.received = Trace_verdict::too_short;
        return false;  // no room for ADR and CTRL: dropped
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (TryConsume(ignore_count_)) {
        outcome.received = Trace_verdict::ignored;
        return false;
    }

    // Restarted first, so that a pump woken by the block below already counts as polled.
    poll_deadline_.Restart();
    const uint8_t control = block->bytes[1];
    const uint8_t number = control & 0x0F;
    bool has_reply = false;
    switch (control >> 4) {
    case 0xC:
        has_reply = HandleAck();
        break;
    case 0x5:
        has_reply = HandleNak(number, reply, outcome);
        break;
    case 0x2:
        has_reply = HandlePoll(reply, outcome);
        break;
    case 0x3:
        has_reply = HandleData(std::move(block), reply, outcome);
        break;
    case 0xE:  // taken without any reply
        break;
    default:  // unknown kinds: no reply
        outcome.received = Trace_verdict::malformed;
        break;
    }
    return has_reply;
}

bool Zarn_line::HandleAck()
{
    pending_.reset();
    retries_ = 0;
    return false;
}

bool Zarn_line::HandleNak(uint8_t number, Message& reply, Trace_outcome& outcome)
{
    next_sequence_ = number;
    if (!pending_)
        return false;
    const uint8_t resend_number = FollowingSequenceNumber(number);
    Message& block = *pending_;
    block.bytes[1] = static_cast<uint8_t>(kDataControl | resend_number);
    const size_t crc_position = block.length - 3u;  // a pending block always ends in CRC and ETX
    const uint16_t crc = ZarnCrc16(block.bytes.data(), crc_position);
    block.bytes[crc_position] = static_cast<uint8_t>(crc & 0xFF);
    block.bytes[crc_position + 1] = static_cast<uint8_t>(crc >> 8);
    next_sequence_ = resend_number;
    reply = block;
    outcome.reply = Trace_verdict::resent;
    return true;
}

bool Zarn_line::HandlePoll(Message& reply, Trace_outcome& outcome)
{
    if (pending_) {
        if (retries_ < kMaxResends) {
            ++retries_;
            reply = *pending_;
            outcome.reply = Trace_verdict::resent;
            return true;
        }
        pending_.reset();  // the master never acknowledged it: give up
        retries_ = 0;
        outcome.received = Trace_verdict::retries_exhausted;
        return false;
    }
    std::unique_ptr<Message> block = outgoing_.Take();
    if (!block) {
        ControlReply(kEotControl, reply);
        return true;
    }
    SendNew(std::move(block), reply, outcome);
    return true;
}

// Numbers a block taken from the outgoing queue, appends CRC and ETX and makes it the pending
// block (with the injected sequence or CRC error when one is due).
void Zarn_line::SendNew(std::unique_ptr<Message> block, Message& reply, Trace_outcome& outcome)
{
    uint8_t number = next_sequence_;
    if (TryConsume(bad_sequence_count_)) {
        number = WrongSequenceNumber(number);
        outcome.reply = Trace_verdict::wrong_sequence_injected;
    }
    block->bytes[0] = address_;
    block->bytes[1] = static_cast<uint8_t>(kDataControl | number);

    const size_t body = block->length;  // at most kMaxReplyBody, so CRC and ETX fit
    uint16_t crc = ZarnCrc16(block->bytes.data(), body);
    if (TryConsume(bad_crc_count_)) {
        crc = WrongCrc(crc);
        outcome.reply = Trace_verdict::bad_crc_injected;
    }
    block->bytes[body] = static_cast<uint8_t>(crc & 0xFF);
    block->bytes[body + 1] = static_cast<uint8_t>(crc >> 8);
    block->bytes[body + 2] = kZarnETX;
    block->length = static_cast<uint16_t>(body + 3);

    reply = *block;
    pending_ = std::move(block);
    retries_ = 0;
    next_sequence_ = FollowingSequenceNumber(next_sequence_);
}

bool Zarn_line::HandleData(std::unique_ptr<Message> block, Message& reply, Trace_outcome& outcome)
{
    const size_t length = block->length;
    if (length < 5) {
        outcome.received = Trace_verdict::too_short;
        return false;  // no room for CRC and ETX: not a DATA block we can check
    }
    const size_t crc_position = length - 3;
    const uint16_t computed = ZarnCrc16(block->bytes.data(), crc_position);
    const uint16_t received = static_cast<uint16_t>(block->bytes[crc_position] | (block->bytes[crc_position + 1] << 8));
    if (computed != received) {
        outcome.received = Trace_verdict::bad_crc;
        return false;  // the master repeats it
    }

    const uint8_t number = block->bytes[1] & 0x0F;
    if (number != expected_sequence_ && number != 0) {
        ControlReply(static_cast<uint8_t>(kNakControl | number), reply);
        outcome.received = Trace_verdict::wrong_sequence;
        outcome.reply = Trace_verdict::nak;
        outcome.expected = expected_sequence_;
        expected_sequence_ = 0;  // from now on only a block numbered 0 resynchronises
        return true;
    }
    block->length = static_cast<uint16_t>(crc_position);
    block->direction = 0;
    const bool taken = receive_queue_.Append(std::move(block));
    if (pump_thread_ != nullptr)
        pump_thread_->Wake();
    if (!taken) {
        // The pump is far behind (its receive queue is full; it counts the refusal). Without an
        // ACK the master sends the block again, as after a bad CRC: no command is lost.
        outcome.received = Trace_verdict::overflow;
        return false;
    }
    ControlReply(static_cast<uint8_t>(kAckControl | number), reply);
    expected_sequence_ = FollowingSequenceNumber(number);
    return true;
}

void Zarn_line::ControlReply(uint8_t control, Message& reply) const
{
    reply.bytes[0] = address_;
    reply.bytes[1] = control;
    reply.length = 2;
    reply.transaction_count = 1;
    reply.direction = 0;
}

uint8_t Zarn_line::WrongSequenceNumber(uint8_t right)
{
    if (right < 1 || right > 15)
        return static_cast<uint8_t>(std::uniform_int_distribution<int>(1, 15)(random_));
    int number = std::uniform_int_distribution<int>(1, 14)(random_);
    if (number >= right)
        ++number;
    return static_cast<uint8_t>(number);
}

uint16_t Zarn_line::WrongCrc(uint16_t right)
{
    int value = std::uniform_int_distribution<int>(0, 0xFFFE)(random_);
    if (value >= right)
        ++value;
    return static_cast<uint16_t>(value);
}

int Zarn_line::PostReply(std::unique_ptr<Message> block, bool standalone)
{
    if (!block || block->length < 2 || block->length > Outgoing_message_queue::kMaxReplyBody)
        return 0;
    block->bytes[0] = address_;
    block->bytes[1] = kDataControl;
    return outgoing_.Post(std::move(block), standalone);
}

bool Zarn_line::PollTimedOut() const
{
    return poll_deadline_.Expired();
}

void Zarn_line::SetLinkError(int code, int count)
{
    const int value = std::max(0, count);
    switch (code) {
    case 100:
        ignore_count_ = value;
        bad_crc_count_ = 0;
        bad_sequence_count_ = 0;
        break;
    case 101:
        ignore_count_ = 0;
        bad_crc_count_ = value;
        bad_sequence_count_ = 0;
        break;
    case 102:
        ignore_count_ = 0;
        bad_crc_count_ = 0;
        bad_sequence_count_ = value;
        break;
    default:
        break;
    }
}
