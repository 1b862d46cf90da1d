#pragma once
#include "zarn/zarn_message.h"

// Where the I/O thread sends copies of the blocks it receives (direction 0) and sends
// (direction 1): the loop's communication feed. Post must not block on disk or windows.
class Block_sink {
public:
    virtual ~Block_sink() = default;
    virtual void Post(const Message& block, int direction) = 0;
};
