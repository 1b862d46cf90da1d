#include "zarn/zarn_router.h"

int Zarn_router::Register(Zarn_line* line)
{
    if (line == nullptr)
        return 1;
    return lines_.Register(line->Address(), line) ? 0 : 1;
}

int Zarn_router::Unregister(Zarn_line* line)
{
    if (line == nullptr)
        return 2;
    return lines_.Unregister(line->Address(), line) ? 0 : 2;
}

bool Zarn_router::Route(std::unique_ptr<Message> block, Message& reply, Trace_outcome* outcome)
{
    if (!block || block->length < 2) {
        if (outcome != nullptr)
            outcome->received = Trace_verdict::too_short;
        return false;
    }
    bool answered = false;
    const uint8_t address = block->bytes[0];
    const bool addressed =
        lines_.With(address, [&](Zarn_line& line) { answered = line.HandleBlock(std::move(block), reply, outcome); });
    if (!addressed && outcome != nullptr)
        outcome->received = Trace_verdict::not_addressed;
    return answered;
}
