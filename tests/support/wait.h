#pragma once
#include <chrono>
#include <functional>
#include <thread>

// Waits until `condition` holds, looking every 2 ms; false when `timeout_ms` passed first. The
// condition is asked once more at the deadline, so a slow machine never fails a test that only
// needed the last look. Tests wait this way instead of sleeping for a guessed time.
inline bool WaitFor(const std::function<bool()>& condition, int timeout_ms = 5000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return condition();
}
