// libFuzzer entry of the current-loop line-stream harness (cl_stream_harness.h).
#include "cl_stream_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return RunCurrentLoopStreamInput(data, size);
}
