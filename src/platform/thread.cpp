#include "platform/thread.h"

#include <linux/capability.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>

namespace {

constexpr int kLowestNice = 19;
constexpr int kCapSysNice = 23;  // CAP_SYS_NICE

pid_t CurrentThreadId()
{
    return static_cast<pid_t>(syscall(SYS_gettid));
}

void SetSchedulingPolicy(int policy, int priority)
{
    sched_param param{};
    param.sched_priority = priority;
    pthread_setschedparam(pthread_self(), policy, &param);  // refusal is not an error
}

// On Linux the scheduling calls with a thread id change only that thread, so one thread can set
// another's priority. Refusal is not an error.
void SetThreadNice(pid_t tid, int nice_value)
{
    setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice_value);
}

void SetThreadNormal(pid_t tid)
{
    sched_param param{};
    sched_setscheduler(tid, SCHED_OTHER, &param);
    SetThreadNice(tid, 0);
}

void SetThreadLowest(pid_t tid)
{
    if (!CanRaiseLoweredThreads())
        return;  // it could never be raised again: it stays at normal priority
    sched_param param{};
    sched_setscheduler(tid, SCHED_OTHER, &param);  // out of the idle or a real-time class
    SetThreadNice(tid, kLowestNice);
}

bool HasEffectiveCapability(int capability)
{
    __user_cap_header_struct header{};
    header.version = _LINUX_CAPABILITY_VERSION_3;
    header.pid = 0;
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    return (data[capability / 32].effective & (1u << (capability % 32))) != 0;
}

}  // namespace

bool CanRaiseLoweredThreads()
{
    // The nice value a thread may be set back to is 20 - RLIMIT_NICE; nice 0 needs 20 or more.
    rlimit limit{};
    if (getrlimit(RLIMIT_NICE, &limit) == 0 && (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= 20))
        return true;
    return HasEffectiveCapability(kCapSysNice);
}

void SetCurrentThreadPriority(ThreadPriority priority)
{
    switch (priority) {
    case ThreadPriority::TimeCritical:
        // Above every normal thread, yet below the system's own real-time threads.
        SetSchedulingPolicy(SCHED_FIFO, sched_get_priority_min(SCHED_FIFO) + 9);
        break;
    case ThreadPriority::Normal:
        SetThreadNormal(CurrentThreadId());
        break;
    case ThreadPriority::Lowest:
        SetThreadLowest(CurrentThreadId());
        break;
    }
}

void ThreadPriorityHandle::Enter(ThreadPriority priority)
{
    std::lock_guard<std::mutex> lock(mutex_);
    tid_ = CurrentThreadId();
    if (raised_ && priority == ThreadPriority::Lowest)
        priority = ThreadPriority::Normal;  // the owner is already waiting for this thread
    SetCurrentThreadPriority(priority);
}

void ThreadPriorityHandle::Leave()
{
    std::lock_guard<std::mutex> lock(mutex_);
    tid_ = 0;
}

void ThreadPriorityHandle::RaiseToNormal()
{
    // The lock keeps the thread from leaving (and its id from being reused) during the call.
    std::lock_guard<std::mutex> lock(mutex_);
    raised_ = true;
    if (tid_ != 0)
        SetThreadNormal(tid_);
}

void ThreadPriorityHandle::Reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    raised_ = false;
}

bool ThreadPriorityHandle::Raised() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return raised_;
}

pid_t ThreadPriorityHandle::ThreadId() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return tid_;
}

ThreadPriorityScope::ThreadPriorityScope(ThreadPriorityHandle& handle, ThreadPriority priority) : handle_(handle)
{
    handle_.Enter(priority);
}

ThreadPriorityScope::~ThreadPriorityScope()
{
    handle_.Leave();
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
