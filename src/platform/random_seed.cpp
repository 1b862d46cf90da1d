#include "platform/random_seed.h"

#include <atomic>
#include <chrono>
#include <random>

uint32_t RandomSeed(uint32_t salt)
{
    static std::atomic<uint32_t> counter{0};
    uint32_t device_value = 0;
    try {
        std::random_device device;
        device_value = device();
    } catch (...) {
        // No random device: the clock and the counter still make the seeds differ.
    }
    const auto now = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    const uint32_t count = counter.fetch_add(1, std::memory_order_relaxed);
    return device_value ^ static_cast<uint32_t>(now) ^ static_cast<uint32_t>(now >> 32) ^ (count * 0x9E3779B9u) ^ salt;
}
