#include "zarn/zarn_io.h"

#include <algorithm>

#include "spy/loop_port.h"
#include "zarn/zarn_trace.h"

namespace {

// Beyond this many blocks without the echo of a reply, the wait for it is given up.
constexpr int kMaxEchoMismatches = 10;

bool SameBlock(const Message& a, const Message& b)
{
    return a.length == b.length && std::equal(a.bytes.begin(), a.bytes.begin() + a.length, b.bytes.begin());
}

}  // namespace

Zarn_IO::Zarn_IO(const std::string& port_name, bool spy, Block_sink& feed, bool handle_returning_messages)
    : feed_(feed), handle_returning_(handle_returning_messages), trace_(ZarnTraceDescriber())
{
    port_ = OpenLoopPort(port_name, spy);
    if (port_->IsVirtual())
        handle_returning_ = false;
    loop_ = std::make_unique<Io_loop>(
        *port_, [this](uint8_t byte) { OnByte(byte); }, [this] { OnNewPeer(); });
}

void Zarn_IO::Start()
{
    loop_->Start();
}

Zarn_IO::~Zarn_IO()
{
    loop_->Stop();  // before the router, the cutter and the port go
}

void Zarn_IO::OnByte(uint8_t byte)
{
    if (byte != kZarnSF && cutter_.Collected() >= Message::kMaxBody) {
        // The cutter drops everything collected together with this byte.
        KeepRawByte(byte);
        if (trace_.Active())
            TraceRaw(Trace_verdict::overflow, -1, TraceClockMicros());
        raw_length_ = 0;
        raw_cut_ = 0;
        cutter_.Feed(byte);
        return;
    }
    if (!(byte == kZarnSF && cutter_.Collected() == 0))  // a lone SF is no part of any block
        KeepRawByte(byte);
    if (cutter_.Feed(byte)) {
        OnBlock(cutter_.TakeBlock());
        raw_length_ = 0;
        raw_cut_ = 0;
    }
}

// A new controller starts with an empty block: the half block the last one left is dropped.
void Zarn_IO::OnNewPeer()
{
    cutter_.StartAfresh();
    raw_length_ = 0;
    raw_cut_ = 0;
}

void Zarn_IO::KeepRawByte(uint8_t byte)
{
    if (raw_length_ < raw_.size())
        raw_[raw_length_++] = byte;
    else
        ++raw_cut_;
}

void Zarn_IO::OnBlock(std::unique_ptr<Message> block)
{
    const bool tracing = trace_.Active();
    const int64_t received_at = tracing ? TraceClockMicros() : 0;
    Trace_outcome outcome;
    if (handle_returning_ && has_sent_copy_) {
        outcome.received = TakeAsEcho(*block);
        if (tracing)
            TraceRaw(outcome.received, -1, received_at);
        return;  // while an echo is awaited nothing is answered
    }
    block->direction = 0;
    feed_.Post(*block, 0);
    Message reply;
    const size_t written = router_.Route(std::move(block), reply, &outcome) ? WriteReply(reply) : 0;
    // The trace is told after the reply is on the line, so it never delays the answer.
    if (!tracing)
        return;
    TraceRaw(outcome.received, outcome.expected, received_at);
    if (written > 0)
        trace_.Record(1, reply.bytes[0], outcome.reply, outcome.expected, TraceClockMicros(), send_buffer_, written);
}

void Zarn_IO::TraceRaw(Trace_verdict verdict, int expected, int64_t wall_us)
{
    const uint8_t address = raw_length_ > 0 ? raw_[0] : 0;
    trace_.Record(0, address, verdict, expected, wall_us, raw_.data(), raw_length_ + raw_cut_);
}

// Decides what a block received while the echo of the last reply is awaited does to that wait:
// the echo ends it, so does the block after more than kMaxEchoMismatches mismatches; any other
// block is a mismatch. Nothing of it is answered.
Trace_verdict Zarn_IO::TakeAsEcho(const Message& block)
{
    if (mismatch_count_ > kMaxEchoMismatches) {
        mismatch_count_ = 0;
        has_sent_copy_ = false;
        return Trace_verdict::echo_wait_given_up;
    }
    if (SameBlock(block, sent_copy_)) {
        mismatch_count_ = 0;
        has_sent_copy_ = false;
        return Trace_verdict::echo;
    }
    ++mismatch_count_;
    return Trace_verdict::echo_mismatch;
}

// Returns the number of line bytes written (0 when nothing was).
size_t Zarn_IO::WriteReply(Message& reply)
{
    const size_t count = StuffBlock(reply.bytes.data(), reply.length, send_buffer_, sizeof send_buffer_);
    if (count == 0)
        return 0;  // cannot happen for a block that fits a Message
    port_->WriteBuffer(send_buffer_, count);
    reply.direction = 1;
    feed_.Post(reply, 1);
    sent_copy_ = reply;
    has_sent_copy_ = true;
    return count;
}
