#include "zarn/zarn_message_displayer.h"

#include <algorithm>
#include <limits>

#include "zarn/zarn_interpreter.h"

namespace {

constexpr uint8_t kPollNumberedZero = 0x20;
constexpr uint8_t kEot = 0x70;

}  // namespace

std::unique_ptr<Message> Zarn_feed_protocol::CopyToPost(const Message& block, int direction)
{
    const size_t length = std::min<size_t>(block.length, block.bytes.size());
    if (length == 0)
        return nullptr;
    if (length >= 2 && (block.bytes[1] == kPollNumberedZero || block.bytes[1] == kEot))
        return nullptr;
    auto copy = std::make_unique<Message>(block);
    copy->length = static_cast<uint16_t>(length);
    copy->direction = direction;
    return copy;
}

std::string Zarn_feed_protocol::Text(const Message& block, bool interpreted)
{
    return interpreted ? ZarnInterpretedText(block) : ZarnHexText(block);
}

Message_displayer::Message_displayer() : Feed_thread(std::numeric_limits<size_t>::max()) {}
