// libFuzzer entry of the current-loop line-stream harness (cl_stream_harness.h).
#include "cl_stream_harness.h"
#include "fuzz_settings.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    static Fuzz_settings settings;
    WriteCurrentLoopStreamSettings();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return RunCurrentLoopStreamInput(data, size);
}
