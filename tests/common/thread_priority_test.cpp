// Thread priorities: lowest is nice 19 in the normal class, and an owner can raise such a thread
// to normal priority before it waits for it.
#include <linux/capability.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include <gtest/gtest.h>

#include "platform/thread.h"

namespace {

int NiceOf(pid_t tid)
{
    errno = 0;
    return getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
}

// A thread that enters a priority through the handle and stays until released.
class ScopedWorker {
public:
    ScopedWorker(ThreadPriorityHandle& handle, ThreadPriority priority)
        : thread_([this, &handle, priority] {
              ThreadPriorityScope scope(handle, priority);
              entered_.store(true);
              while (!release_.load())
                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
          })
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!entered_.load() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~ScopedWorker()
    {
        release_.store(true);
        thread_.join();
    }
    bool Entered() const { return entered_.load(); }

private:
    std::atomic<bool> entered_{false};
    std::atomic<bool> release_{false};
    std::thread thread_;
};

TEST(ThreadPriorityTest, RefusalIsNoError)
{
    std::thread worker([] {
        SetCurrentThreadPriority(ThreadPriority::TimeCritical);
        SetCurrentThreadPriority(ThreadPriority::Lowest);
        SetCurrentThreadPriority(ThreadPriority::Normal);
    });
    worker.join();
}

TEST(ThreadPriorityTest, LowestIsNice19InTheNormalClassAndTheOwnerRaisesIt)
{
    if (!CanRaiseLoweredThreads())
        GTEST_SKIP() << "this process may not raise a lowered thread (no CAP_SYS_NICE, RLIMIT_NICE < 20)";
    ThreadPriorityHandle handle;
    {
        ScopedWorker worker(handle, ThreadPriority::Lowest);
        ASSERT_TRUE(worker.Entered());
        pid_t tid = handle.ThreadId();
        ASSERT_NE(tid, 0);
        EXPECT_EQ(sched_getscheduler(tid), SCHED_OTHER);  // never SCHED_IDLE
        EXPECT_EQ(NiceOf(tid), 19);

        handle.RaiseToNormal();
        EXPECT_TRUE(handle.Raised());
        EXPECT_EQ(sched_getscheduler(tid), SCHED_OTHER);
        EXPECT_EQ(NiceOf(tid), 0);
    }
    EXPECT_EQ(handle.ThreadId(), 0);  // left: a later raise touches no thread that reuses the id
    handle.RaiseToNormal();
}

TEST(ThreadPriorityTest, ARaiseBeforeTheThreadEntersKeepsItAtNormal)
{
    ThreadPriorityHandle handle;
    handle.RaiseToNormal();
    ScopedWorker worker(handle, ThreadPriority::Lowest);
    ASSERT_TRUE(worker.Entered());
    EXPECT_EQ(sched_getscheduler(handle.ThreadId()), SCHED_OTHER);
    EXPECT_EQ(NiceOf(handle.ThreadId()), 0);
}

TEST(ThreadPriorityTest, AfterResetTheNextThreadLowersItselfAgain)
{
    if (!CanRaiseLoweredThreads())
        GTEST_SKIP() << "this process may not raise a lowered thread";
    ThreadPriorityHandle handle;
    handle.RaiseToNormal();
    handle.Reset();
    EXPECT_FALSE(handle.Raised());
    ScopedWorker worker(handle, ThreadPriority::Lowest);
    ASSERT_TRUE(worker.Entered());
    EXPECT_EQ(NiceOf(handle.ThreadId()), 19);
}

TEST(ThreadPriorityTest, LowestOutOfTheIdleClass)
{
    // A thread the system put in the idle class is taken out of it by Lowest.
    if (!CanRaiseLoweredThreads())
        GTEST_SKIP() << "this process may not raise a lowered thread";
    ThreadPriorityHandle handle;
    std::atomic<int> policy{-1};
    std::atomic<int> nice_value{-100};
    std::thread worker([&] {
        sched_param param{};
        pthread_setschedparam(pthread_self(), SCHED_IDLE, &param);
        ThreadPriorityScope scope(handle, ThreadPriority::Lowest);
        policy.store(sched_getscheduler(0));
        nice_value.store(NiceOf(static_cast<pid_t>(syscall(SYS_gettid))));
    });
    worker.join();
    EXPECT_EQ(policy.load(), SCHED_OTHER);
    EXPECT_EQ(nice_value.load(), 19);
}

// Without the right to raise a thread again, Lowest leaves the thread at normal priority, so an
// owner never waits on a thread it cannot raise. Checked in a child that drops CAP_SYS_NICE.
TEST(ThreadPriorityTest, WithoutTheRightToRaiseLowestStaysNormal)
{
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        rlimit limit{0, 0};
        setrlimit(RLIMIT_NICE, &limit);
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
        if (syscall(SYS_capget, &header, data) != 0)
            _exit(10);
        data[0].effective &= ~(1u << 23);  // CAP_SYS_NICE
        data[0].permitted &= ~(1u << 23);
        if (syscall(SYS_capset, &header, data) != 0)
            _exit(11);
        if (CanRaiseLoweredThreads())
            _exit(12);
        SetCurrentThreadPriority(ThreadPriority::Lowest);
        _exit(NiceOf(static_cast<pid_t>(syscall(SYS_gettid))) == 0 ? 0 : 13);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
