// libFuzzer entry of the configuration-decoder harness (config_decode_harness.h).
#include "config_decode_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return RunConfigurationDecodeInput(data, size);
}
