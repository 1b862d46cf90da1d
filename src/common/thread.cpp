#include "common/thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>

namespace {

void SetSchedulingPolicy(int policy, int priority)
{
    sched_param param{};
    param.sched_priority = priority;
    pthread_setschedparam(pthread_self(), policy, &param);  // refusal is not an error
}

void SetThreadNice(int nice_value)
{
    // On Linux setpriority with a thread id changes only that thread.
    pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
    setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice_value);  // refusal is not an error
}

}  // namespace

void SetCurrentThreadPriority(ThreadPriority priority)
{
    switch (priority) {
    case ThreadPriority::TimeCritical:
        // Above every normal thread, yet below the system's own real-time threads.
        SetSchedulingPolicy(SCHED_FIFO, sched_get_priority_min(SCHED_FIFO) + 9);
        break;
    case ThreadPriority::Normal:
        SetSchedulingPolicy(SCHED_OTHER, 0);
        SetThreadNice(0);
        break;
    case ThreadPriority::Lowest: {
        sched_param param{};
        if (pthread_setschedparam(pthread_self(), SCHED_IDLE, &param) != 0)
            SetThreadNice(19);
        break;
    }
    }
}

Event::Event(bool manual_reset, bool initially_set) : manual_reset_(manual_reset), set_(initially_set) {}

void Event::Set()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        set_ = true;
    }
    if (manual_reset_)
        changed_.notify_all();
    else
        changed_.notify_one();
}

void Event::Reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = false;
}

bool Event::IsSet() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return set_;
}

bool Event::Wait(int timeout_ms)
{
    std::unique_lock<std::mutex> lock(mutex_);
    auto is_set = [this] { return set_; };
    if (timeout_ms < 0)
        changed_.wait(lock, is_set);
    else if (!changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), is_set))
        return false;
    if (!manual_reset_)
        set_ = false;
    return true;
}
