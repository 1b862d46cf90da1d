#pragma once
#include <condition_variable>
#include <mutex>

#include <sys/types.h>

// The three thread priorities of the engines. Best effort: where the system refuses, the thread
// keeps its normal priority and nothing is reported.
//
// Lowest is nice 19 in the normal scheduling class (never the idle class, which starves a thread
// whenever anything else runs). Raising a thread's nice value back needs CAP_SYS_NICE or an
// RLIMIT_NICE of at least 20; a process that has neither could never raise a lowered thread
// again, so there Lowest leaves the thread at normal priority (see CanRaiseLoweredThreads).
enum class ThreadPriority { TimeCritical, Normal, Lowest };
void SetCurrentThreadPriority(ThreadPriority priority);

// True when this process may take a thread from nice 19 back to nice 0.
bool CanRaiseLoweredThreads();

// Lets an owner raise one of its threads to normal priority before it waits for that thread, so
// that nothing waits on the backlog of a starved thread. The thread enters its priority through a
// ThreadPriorityScope on this handle (which records the thread); the owner calls RaiseToNormal()
// before it stops and joins the thread. Thread-safe; a raise before the thread has entered its
// priority is kept: the thread then never lowers itself.
class ThreadPriorityHandle {
public:
    // Called on the thread itself: sets its priority and records it for RaiseToNormal.
    void Enter(ThreadPriority priority);
    // Called on the thread itself before it ends: its id may be reused afterwards.
    void Leave();
    // From any thread: the recorded thread runs at normal priority from now on, and stays there
    // (so does a thread that enters later, until Reset).
    void RaiseToNormal();
    // For an owner that starts a new thread on the same handle after it stopped the last one:
    // the next thread lowers itself again.
    void Reset();
    bool Raised() const;
    // The recorded thread's kernel id, 0 when no thread is inside a scope (tests read its priority).
    pid_t ThreadId() const;

private:
    mutable std::mutex mutex_;
    pid_t tid_ = 0;
    bool raised_ = false;
};

// Enters a priority through the handle for the life of the scope (the first line of a thread's
// function): ThreadPriorityScope priority(priority_handle_, ThreadPriority::Lowest);
class ThreadPriorityScope {
public:
    ThreadPriorityScope(ThreadPriorityHandle& handle, ThreadPriority priority);
    ~ThreadPriorityScope();
    ThreadPriorityScope(const ThreadPriorityScope&) = delete;
    ThreadPriorityScope& operator=(const ThreadPriorityScope&) = delete;

private:
    ThreadPriorityHandle& handle_;
};

// An event: a flag with waiters. An auto-reset event lets one Wait() through and clears itself;
// a manual-reset event stays set until Reset().
class Event {
public:
    Event(bool manual_reset, bool initially_set);
    void Set();
    void Reset();
    bool IsSet() const;
    // Waits until the event is set or timeout_ms passes (negative: no limit). True when it was set.
    bool Wait(int timeout_ms = -1);

private:
    const bool manual_reset_;
    bool set_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
};
