#include "zarn/zarn_trace.h"

#include <cstdio>
#include <memory>

#include "zarn/zarn_crc.h"
#include "zarn/zarn_interpreter.h"

namespace {

// The block the raw bytes make, or nullptr when they end no block (an overflow, or bytes cut).
std::unique_ptr<Message> BlockOf(const Trace_frame& frame)
{
    if (frame.cut > 0)
        return nullptr;
    Zarn_block_cutter cutter;
    for (size_t i = 0; i < frame.length; ++i) {
        if (cutter.Feed(frame.bytes[i]))
            return cutter.TakeBlock();
    }
    return nullptr;
}

std::string KindText(uint8_t control)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%X0", control >> 4);
    return text;
}

}  // namespace

std::string Zarn_trace_describer::Text(const Trace_frame& frame) const
{
    std::unique_ptr<Message> block = BlockOf(frame);
    if (!block)
        return "";
    return ZarnInterpretedText(block->bytes.data(), block->length, frame.direction);
}

std::string Zarn_trace_describer::Why(const Trace_frame& frame) const
{
    std::unique_ptr<Message> block = BlockOf(frame);
    const int number = block && block->length >= 2 ? (block->bytes[1] & 0x0F) : -1;
    const std::string expected = std::to_string(frame.expected);
    switch (frame.verdict) {
    case Trace_verdict::wrong_sequence:
        return "block number " + std::to_string(number) + ", expected " + expected + " (or 0)";
    case Trace_verdict::nak:
        return "wrong block number " + std::to_string(number) + ", expected " + expected + " (or 0)";
    case Trace_verdict::malformed:
        return block && block->length >= 2 ? "unknown block kind " + KindText(block->bytes[1]) : "";
    case Trace_verdict::too_short:
        return block ? std::to_string(block->length) + " bytes before SF" : "";
    case Trace_verdict::overflow:
        return "more than " + std::to_string(Message::kMaxBody) + " bytes without SF";
    default:
        return "";
    }
}

const Trace_describer& ZarnTraceDescriber()
{
    static const Zarn_trace_describer describer;
    return describer;
}
