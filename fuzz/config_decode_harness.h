#pragma once
// Configuration-file bytes through the decoder. What decodes whole must encode again and decode
// to the same records: a file the program accepts is a file it can write back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/error.h"
#include "config/configuration.h"

inline int RunConfigurationDecodeInput(const uint8_t* data, size_t size)
{
    const std::vector<uint8_t> bytes(data, data + size);
    const Decode_result decoded = DecodeConfiguration(bytes);
    if (!decoded.error.empty())
        return 0;
    std::vector<uint8_t> encoded;
    try {
        encoded = EncodeConfiguration(decoded.configuration);
    } catch (const Gallion_error&) {
        abort();  // the decoder accepted what the encoder cannot write
    }
    const Decode_result again = DecodeConfiguration(encoded);
    if (!again.error.empty() || !(again.configuration == decoded.configuration))
        abort();
    return 0;
}
