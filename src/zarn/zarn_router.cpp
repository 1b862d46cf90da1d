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

bool Zarn_router::Route(std::unique_ptr<Message> block, Message& reply)
{
    if (!block || block->length < 2)
        return false;
    bool answered = false;
    const uint8_t address = block->bytes[0];
    lines_.With(address, [&](Zarn_line& line) { answered = line.HandleBlock(std::move(block), reply); });
    return answered;
}
