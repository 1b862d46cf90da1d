#include "zarn/zarn_router.h"

int Zarn_router::Register(Zarn_line* line)
{
    if (line == nullptr)
        return 1;
    std::lock_guard<std::mutex> lock(mutex_);
    Zarn_line*& entry = lines_[line->Address()];
    if (entry != nullptr)
        return 1;
    entry = line;
    return 0;
}

int Zarn_router::Unregister(Zarn_line* line)
{
    if (line == nullptr)
        return 2;
    std::lock_guard<std::mutex> lock(mutex_);
    Zarn_line*& entry = lines_[line->Address()];
    if (entry != line)
        return 2;
    entry = nullptr;
    return 0;
}

bool Zarn_router::Route(std::unique_ptr<Message> block, Message& reply)
{
    if (!block || block->length < 2)
        return false;
    std::lock_guard<std::mutex> lock(mutex_);
    Zarn_line* line = lines_[block->bytes[0]];
    if (line == nullptr)
        return false;
    return line->HandleBlock(std::move(block), reply);
}
