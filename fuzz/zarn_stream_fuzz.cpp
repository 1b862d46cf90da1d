// libFuzzer entry of the Zarn line-stream harness (zarn_stream_harness.h).
#include "zarn_stream_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return RunZarnStreamInput(data, size);
}
