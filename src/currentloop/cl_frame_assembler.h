#pragma once
#include <cstdint>

#include "currentloop/cl_message.h"

// Collects the bytes of the line into frames. An STX starts a frame afresh (whatever was
// collected is dropped); bytes outside a frame are ignored; an ETX ends the frame once at least
// 32 bytes were stored. The length is an 8-bit counter: a frame that runs past 255 bytes without
// a closing ETX starts storing again at index 0, so a frame never leaves its 256-byte record.
class CL_frame_assembler {
public:
    // Feeds one line byte. True when it ended a frame; Frame() holds that frame until the next
    // Feed, which starts collecting afresh.
    bool Feed(uint8_t byte);
    CL_Message& Frame() { return frame_; }
    // Drops what was collected: bytes are ignored again until the next STX.
    void Reset();

private:
    CL_Message frame_;
    bool inside_frame_ = false;
    bool complete_ = false;
};
