#include "engine/automation_thread.h"

#include <algorithm>

Automation_thread::Automation_thread(std::function<void()> steps) : steps_(std::move(steps))
{
    thread_ = std::thread(&Automation_thread::Run, this);
}

Automation_thread::~Automation_thread()
{
    priority_.RaiseToNormal();
    stop_.Set();
    if (thread_.joinable())
        thread_.join();
}

bool Automation_thread::WaitMs(int milliseconds)
{
    return !stop_.Wait(std::max(1, milliseconds));
}

void Automation_thread::Run()
{
    ThreadPriorityScope priority(priority_, ThreadPriority::Lowest);
    steps_();
}
