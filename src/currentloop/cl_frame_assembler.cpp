#include "currentloop/cl_frame_assembler.h"

void CL_frame_assembler::Reset()
{
    frame_.length = 0;
    inside_frame_ = false;
    complete_ = false;
}

bool CL_frame_assembler::Feed(uint8_t byte)
{
    if (complete_)
        Reset();
    if (byte == cl_frame::kStx) {
        inside_frame_ = true;
        frame_.length = 0;
    }
    if (!inside_frame_)
        return false;
    frame_.bytes[frame_.length] = byte;
    ++frame_.length;  // an 8-bit counter: after 255 storing starts again at index 0
    complete_ = byte == cl_frame::kEtx && frame_.length >= cl_frame::kLength;
    return complete_;
}
