#pragma once
#include <cstdint>
#include <optional>
#include <vector>

// The controller's end of a line in end-to-end tests, whatever carries it (a pseudo-terminal or
// TCP): what the protocol helpers of the tests need to play the controller.
class ControllerLine {
public:
    virtual ~ControllerLine() = default;
    virtual void Send(const std::vector<uint8_t>& bytes) = 0;
    // One byte, or nothing when timeout_ms passes.
    virtual std::optional<uint8_t> ReadByte(int timeout_ms) = 0;
};
