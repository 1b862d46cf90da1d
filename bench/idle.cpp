// Idle cost: loops full of pumps, no traffic. For 1, 4 and 8 loops of each protocol (16 Zarn
// pumps or 8 current-loop pumps a loop), each in a fresh child process: the process's CPU time per
// second of wall time over the measured span, and the resident memory the loops added, both per
// pump. Loops use virtual ports, so no controller is needed. A last row gives the floor of a
// thread per pump: 128 threads that only wait on an Event every 25 ms.
//
// Usage: bench_idle [SECONDS]   (default 10 per configuration)
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "common/thread.h"
#include "currentloop/cl_forecourt.h"
#include "zarn/zarn_forecourt.h"

namespace {

struct Idle_figures {
    double cpu_percent_per_pump = 0;  // of one core
    double kib_per_pump = 0;
};

template <typename Forecourt, typename MakePumps>
Idle_figures Measure(int loops, int pumps_per_loop, int seconds, MakePumps make_pumps)
{
    const long rss_before = bench::ResidentKiB();
    std::vector<std::unique_ptr<Forecourt>> forecourts;
    for (int i = 0; i < loops; ++i) {
        forecourts.push_back(std::make_unique<Forecourt>("pty", false, 1, pumps_per_loop));
        make_pumps(*forecourts.back(), pumps_per_loop);
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));  // every thread has started and settled
    const long rss_after = bench::ResidentKiB();
    const int64_t cpu_start = bench::ProcessCpuNs();
    const int64_t wall_start = bench::NowNs();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu = static_cast<double>(bench::ProcessCpuNs() - cpu_start);
    const double wall = static_cast<double>(bench::NowNs() - wall_start);
    const int pumps = loops * pumps_per_loop;
    return {100.0 * cpu / wall / pumps, static_cast<double>(rss_after - rss_before) / pumps};
}

Idle_figures MeasureZarn(int loops, int seconds)
{
    return Measure<Zarn_forecourt>(loops, 16, seconds, [](Zarn_forecourt& forecourt, int count) {
        for (int i = 0; i < count; ++i)
            forecourt.CreatePump(i, false);
    });
}

Idle_figures MeasureCurrentLoop(int loops, int seconds)
{
    return Measure<CL_forecourt>(loops, 8, seconds, [](CL_forecourt& forecourt, int count) {
        for (int i = 0; i < count; ++i)
            forecourt.CreatePump(i);
    });
}

// The floor of the design: threads that do nothing but wait on an Event for 25 ms ("PumpSleepMs"
// by default) again and again, as a pump thread does between its cycles.
Idle_figures MeasureBareThreads(int threads, int seconds)
{
    struct Sleeper {
        Event stop{true, false};
        std::thread thread;
    };
    const long rss_before = bench::ResidentKiB();
    std::vector<std::unique_ptr<Sleeper>> sleepers;
    for (int i = 0; i < threads; ++i) {
        auto sleeper = std::make_unique<Sleeper>();
        Event& stop = sleeper->stop;
        sleeper->thread = std::thread([&stop] {
            while (!stop.Wait(25)) {
            }
        });
        sleepers.push_back(std::move(sleeper));
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long rss_after = bench::ResidentKiB();
    const int64_t cpu_start = bench::ProcessCpuNs();
    const int64_t wall_start = bench::NowNs();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu = static_cast<double>(bench::ProcessCpuNs() - cpu_start);
    const double wall = static_cast<double>(bench::NowNs() - wall_start);
    for (auto& sleeper : sleepers) {
        sleeper->stop.Set();
        sleeper->thread.join();
    }
    return {100.0 * cpu / wall / threads, static_cast<double>(rss_after - rss_before) / threads};
}

// Runs one configuration in a child process, so each starts from the same clean memory.
void RunChild(const char* protocol, int loops, int pumps_per_loop, int seconds)
{
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        bench::Settings_file settings("");
        const std::string name = protocol;
        const Idle_figures f = name == "Zarn"           ? MeasureZarn(loops, seconds)
                               : name == "Current loop" ? MeasureCurrentLoop(loops, seconds)
                                                        : MeasureBareThreads(loops * pumps_per_loop, seconds);
        std::printf("%-13s %5d %6d %14.4f %8s %12.1f %8s\n", protocol, loops, loops * pumps_per_loop,
                    f.cpu_percent_per_pump, f.cpu_percent_per_pump < 0.05 ? "yes" : "NO", f.kib_per_pump,
                    f.kib_per_pump < 100 ? "yes" : "NO");
        std::fflush(stdout);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
}

}  // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    std::printf("%d s per configuration; CPU in %% of one core per pump (target < 0.05), resident KiB per pump "
                "(target < 100)\n",
                seconds);
    std::printf("%-13s %5s %6s %14s %8s %12s %8s\n", "protocol", "loops", "pumps", "CPU %/pump", "target", "KiB/pump",
                "target");
    for (int loops : {1, 4, 8})
        RunChild("Zarn", loops, 16, seconds);
    for (int loops : {1, 4, 8})
        RunChild("Current loop", loops, 8, seconds);
    RunChild("bare threads", 1, 128, seconds);
    return 0;
}
