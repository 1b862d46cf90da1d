#pragma once
#include <cstdint>
#include <memory>

#include "engine/io_loop.h"

#include "zarn/zarn_message.h"
#include "zarn/zarn_line.h"

// Maps each address byte to the line of the pump registered there (the shared Address_table: a
// line is never used after it has been unregistered; its owner unregisters before destroying it).
class Zarn_router {
public:
    // 0, or 1 when the address is already taken (or the line is null); then nothing changes.
    int Register(Zarn_line* line);
    // 0, or 2 when the line's address holds no line of this pump; then nothing changes.
    int Unregister(Zarn_line* line);
    // Hands the block to the line at its address. True with `reply` filled when the line answers;
    // false for a block without room for ADR and CTRL or for an address nobody registered.
    // `outcome`, when given, learns the verdicts (a block for nobody is not_addressed).
    bool Route(std::unique_ptr<Message> block, Message& reply, Trace_outcome* outcome = nullptr);

private:
    Address_table<Zarn_line> lines_;
};
