#pragma once
#include <functional>
#include <thread>

#include "platform/thread.h"

// The thread of one automation, for either protocol: it runs the protocol's customer (`steps`) at
// the lowest priority from construction to destruction. The steps wait only through WaitMs, so
// destruction ends every wait at once; it then waits for the steps to finish (they hang up a
// nozzle they took out) at normal priority, so an idle CPU is not needed for the last steps.
//
// Declare it as the last member of the automater that owns the steps: it then starts once the
// rest is built and is stopped before anything the steps use goes.
class Automation_thread {
public:
    explicit Automation_thread(std::function<void()> steps);
    ~Automation_thread();
    Automation_thread(const Automation_thread&) = delete;
    Automation_thread& operator=(const Automation_thread&) = delete;

    // Waits at least a millisecond, so that no loop of waits can spin on a zero duration. False
    // once the automation is being stopped.
    bool WaitMs(int milliseconds);
    bool Stopping() const { return stop_.IsSet(); }

private:
    void Run();

    std::function<void()> steps_;
    Event stop_{true, false};
    ThreadPriorityHandle priority_;  // raised to normal before the owner waits for the thread
    std::thread thread_;
};
