// libFuzzer entry of the Zarn line-stream harness (zarn_stream_harness.h).
#include "fuzz_settings.h"
#include "zarn_stream_harness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    static Fuzz_settings settings;
    WriteZarnStreamSettings();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return RunZarnStreamInput(data, size);
}
