#include "zarn/zarn_message_displayer.h"

#include <algorithm>
#include <limits>

#include "zarn/zarn_interpreter.h"

namespace {

constexpr uint8_t kPollNumberedZero = 0x20;
constexpr uint8_t kEot = 0x70;

}  // namespace

std::string Zarn_feed_protocol::Text(const Message& block, bool interpreted)
{
    return interpreted ? ZarnInterpretedText(block) : ZarnHexText(block);
}

// A Zarn loop has one log per pump at most, and at most 16 pumps; the list itself sets no limit.
Message_displayer::Message_displayer() : feed_(std::numeric_limits<size_t>::max()) {}

Message_displayer::~Message_displayer() = default;

void Message_displayer::Post(const Message& block, int direction)
{
    const size_t length = std::min<size_t>(block.length, block.bytes.size());
    if (length == 0 || !feed_.Wanted())
        return;  // nothing, or nobody to read it
    // The steady traffic of an idle line (POLL numbered 0 and its EOT answer) is left out.
    if (length >= 2 && (block.bytes[1] == kPollNumberedZero || block.bytes[1] == kEot))
        return;
    auto copy = std::make_unique<Message>(block);
    copy->length = static_cast<uint16_t>(length);
    copy->direction = direction;
    feed_.Post(std::move(copy));
}

bool Message_displayer::AddLogger(const std::string& file_name, uint8_t address, bool interpreted)
{
    return feed_.AddLog([&] { return std::make_unique<Logger>(file_name, address, interpreted); });
}
