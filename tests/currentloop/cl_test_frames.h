#pragma once
// The loop of the current-loop tests: a forecourt on a pseudo-terminal with short settings, the
// test playing the controller with the frames of the controller kit.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "currentloop/cl_forecourt.h"
#include "support/cl_controller.h"
#include "support/pty_controller.h"
#include "support/quick_settings.h"
#include "support/wait.h"

namespace cltest {

using namespace cl_kit;

// A loop on a pseudo-terminal with short settings, the test playing the controller. Its pumps are
// created with `settings`, which a test may change first: forecourt->CreatePump(slot, settings).
struct Loop {
    explicit Loop(int first = 1, int last = 8, int poll_timeout_seconds = 3600)
    {
        settings.poll_timeout = poll_timeout_seconds;
        forecourt = std::make_unique<CL_forecourt>(line.SlavePath(), false, first, last, settings);
    }
    // Sends a frame and returns the 32-byte reply (fewer bytes when none came in time).
    std::vector<uint8_t> Ask(const std::vector<uint8_t>& frame, int timeout_ms = 2000)
    {
        line.Send(frame);
        return line.ReadExactly(32, timeout_ms);
    }
    // Asks until the reply satisfies the condition (the pump rebuilds its reply every cycle).
    std::vector<uint8_t> AskUntil(const std::vector<uint8_t>& frame,
                                  const std::function<bool(const std::vector<uint8_t>&)>& condition)
    {
        std::vector<uint8_t> reply;
        WaitFor([&] {
            reply = Ask(frame);
            return reply.size() == 32 && condition(reply);
        });
        return reply;
    }
    CL_pump& Pump(int slot) { return *forecourt->GetPump(slot); }

    Pump_settings settings = QuickPumpSettings();
    PtyController line;
    std::unique_ptr<CL_forecourt> forecourt;
};

}  // namespace cltest
