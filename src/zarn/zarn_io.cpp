#include "zarn/zarn_io.h"

#include <algorithm>

#include "common/settings.h"
#include "spy/loop_port.h"

namespace {

// Beyond this many blocks without the echo of a reply, the wait for it is given up.
constexpr int kMaxEchoMismatches = 10;

bool SameBlock(const Message& a, const Message& b)
{
    return a.length == b.length && std::equal(a.bytes.begin(), a.bytes.begin() + a.length, b.bytes.begin());
}

}  // namespace

Zarn_IO::Zarn_IO(Block_sink* feed, const std::string& port_name, bool spy)
    : feed_(feed)
{
    handle_returning_ = Settings::ReadBool("Zarn", "HandleReturningMessages", true);
    port_ = OpenLoopPort(port_name, spy);
    if (port_->IsVirtual())
        handle_returning_ = false;
    loop_ = std::make_unique<Io_loop>(*port_, [this](uint8_t byte) { OnByte(byte); });
    loop_->Start();
}

Zarn_IO::~Zarn_IO()
{
    loop_->Stop();  // before the router, the cutter and the port go
}

void Zarn_IO::OnByte(uint8_t byte)
{
    if (cutter_.Feed(byte))
        OnBlock(cutter_.TakeBlock());
}

void Zarn_IO::OnBlock(std::unique_ptr<Message> block)
{
    if (handle_returning_ && has_sent_copy_) {
        if (!SwallowedAsEcho(*block))
            ++mismatch_count_;
        return;  // while an echo is awaited nothing is answered
    }
    block->direction = 0;
    if (feed_ != nullptr)
        feed_->Post(*block, 0);
    Message reply;
    if (router_.Route(std::move(block), reply))
        WriteReply(reply);
}

// Decides what a block received while the echo of the last reply is awaited does to that wait.
// True when the block was the echo or the wait is given up; false for a mismatch.
bool Zarn_IO::SwallowedAsEcho(const Message& block)
{
    if (mismatch_count_ > kMaxEchoMismatches || SameBlock(block, sent_copy_)) {
        mismatch_count_ = 0;
        has_sent_copy_ = false;
        return true;
    }
    return false;
}

void Zarn_IO::WriteReply(Message& reply)
{
    const size_t count = StuffBlock(reply.bytes.data(), reply.length, send_buffer_, sizeof send_buffer_);
    if (count == 0)
        return;  // cannot happen for a block that fits a Message
    port_->WriteBuffer(send_buffer_, count);
    reply.direction = 1;
    if (feed_ != nullptr)
        feed_->Post(reply, 1);
    sent_copy_ = reply;
    has_sent_copy_ = true;
}
