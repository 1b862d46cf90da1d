// libFuzzer entry of the Zarn transaction-decoder harness (zarn_transactions_harness.h).
#include "zarn_transactions_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return RunZarnTransactionsInput(data, size);
}
