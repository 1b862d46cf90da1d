// Idle cost: loops full of pumps with nothing to do. Each configuration runs in a fresh child
// process; after one second for the threads to settle it measures, over the given span:
//   - the CPU time of the pump threads (each thread's own run time from the scheduler), per pump;
//   - the CPU time of the whole loop (every thread of the process but the benchmark's controller),
//     per pump: the pumps, the I/O threads answering and the feed;
//   - the resident memory the loops added, per pump.
// Configurations:
//   - 1, 4 and 8 loops of 16 Zarn pumps or of 8 current-loop pumps on virtual ports, no controller;
//   - one loop of 16 Zarn pumps and one of 8 current-loop pumps (the most a loop holds) with a
//     controller that polls every pump in turn, as fast as a 9600-baud line allows (a Zarn POLL
//     and its EOT take 6 bytes, a CB3 and its DB0 64 bytes, at 11 bits a byte), and acknowledges
//     the DATA blocks of Zarn pumps;
//   - the floor of the old design: 128 threads that only wait on an Event for 25 ms again and again.
//
// Usage: bench_idle [SECONDS]   (default 20 per configuration)
#include <dirent.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "platform/thread.h"
#include "currentloop/cl_forecourt.h"
#include "currentloop/cl_message.h"
#include "zarn/zarn_forecourt.h"

namespace {

struct Idle_figures {
    double pump_threads_percent = 0;  // of one core, per pump
    double loop_percent = 0;          // of one core, per pump
    double kib_per_pump = 0;
    long exchanges = 0;               // controller round trips during the span
};

std::set<pid_t> ThreadIds()
{
    std::set<pid_t> ids;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr)
        return ids;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            ids.insert(static_cast<pid_t>(std::atol(entry->d_name)));
    }
    closedir(dir);
    return ids;
}

// The time a thread of this process has run, in nanoseconds (the scheduler's own count).
int64_t ThreadRunNs(pid_t id)
{
    std::ifstream in("/proc/self/task/" + std::to_string(id) + "/schedstat");
    long long run_ns = 0;
    in >> run_ns;
    return run_ns;
}

int64_t ThreadsRunNs(const std::set<pid_t>& ids)
{
    int64_t total = 0;
    for (pid_t id : ids)
        total += ThreadRunNs(id);
    return total;
}

// 8 data bits, parity, start and stop bit at 9600 baud.
constexpr int64_t kNsPerLineByte = 11LL * 1000000000 / 9600;

// Plays a controller that polls every pump of a loop in turn, waiting after each exchange as long
// as its bytes would take on a 9600-baud line.
class Polling_controller {
public:
    using Exchange = std::function<size_t(bench::Pty&, int pump)>;  // returns the bytes on the line

    Polling_controller(bench::Pty& line, int pumps, Exchange exchange)
        : line_(line), pumps_(pumps), exchange_(std::move(exchange))
    {
        thread_ = std::thread([this] { Run(); });
        while (thread_id_ == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~Polling_controller()
    {
        stop_ = true;
        thread_.join();
    }
    pid_t ThreadId() const { return thread_id_; }
    long Exchanges() const { return exchanges_; }

private:
    void Run()
    {
        thread_id_ = static_cast<pid_t>(syscall(SYS_gettid));
        for (int pump = 0; !stop_; pump = (pump + 1) % pumps_) {
            const size_t bytes = exchange_(line_, pump);
            ++exchanges_;
            std::this_thread::sleep_for(std::chrono::nanoseconds(static_cast<int64_t>(bytes) * kNsPerLineByte));
        }
    }

    bench::Pty& line_;
    const int pumps_;
    const Exchange exchange_;
    std::atomic<bool> stop_{false};
    std::atomic<pid_t> thread_id_{0};
    std::atomic<long> exchanges_{0};
    std::thread thread_;
};

size_t ZarnPollExchange(bench::Pty& line, int pump)
{
    const uint8_t address = static_cast<uint8_t>(0x50 + pump);
    line.Send(ZarnControlBlock(address, 0x20));
    const bench::Bytes answer = line.ReadAnswer(ZarnBlockComplete);
    if (answer.size() >= 2 && (answer[1] & 0xF0) == 0x30) {  // a DATA block: acknowledged
        line.Send(ZarnControlBlock(address, static_cast<uint8_t>(0xC0 | (answer[1] & 0x0F))));
        return 3 + answer.size() + 3;
    }
    return 3 + answer.size();
}

size_t ClPollExchange(bench::Pty& line, int pump)
{
    line.Send(cl_kit::Poll(pump + 1));  // no command, itself as reply address
    return 32 + line.ReadAnswer(cl_kit::FrameComplete).size();
}

struct Loop_setup {
    std::function<void()> make_loops;  // creates the forecourts without pumps
    std::function<void()> make_pumps;
    int pumps = 0;
    std::function<std::unique_ptr<Polling_controller>()> start_controller;  // none: no controller
};

Idle_figures Measure(const Loop_setup& setup, int seconds)
{
    const long rss_before = bench::ResidentKiB();
    setup.make_loops();
    const std::set<pid_t> without_pumps = ThreadIds();
    setup.make_pumps();
    std::set<pid_t> pump_threads;
    for (pid_t id : ThreadIds())
        if (!without_pumps.count(id))
            pump_threads.insert(id);
    std::unique_ptr<Polling_controller> controller = setup.start_controller ? setup.start_controller() : nullptr;
    std::this_thread::sleep_for(std::chrono::seconds(1));  // every thread has started and settled
    const long rss_after = bench::ResidentKiB();

    auto controller_ns = [&] { return controller ? ThreadRunNs(controller->ThreadId()) : 0; };
    const long exchanges_start = controller ? controller->Exchanges() : 0;
    const int64_t pumps_start = ThreadsRunNs(pump_threads);
    const int64_t process_start = bench::ProcessCpuNs() - controller_ns();
    const int64_t wall_start = bench::NowNs();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double pumps_ns = static_cast<double>(ThreadsRunNs(pump_threads) - pumps_start);
    const double loop_ns = static_cast<double>(bench::ProcessCpuNs() - controller_ns() - process_start);
    const double wall = static_cast<double>(bench::NowNs() - wall_start);
    const long exchanges = controller ? controller->Exchanges() - exchanges_start : 0;
    controller.reset();

    Idle_figures figures;
    figures.pump_threads_percent = 100.0 * pumps_ns / wall / setup.pumps;
    figures.loop_percent = 100.0 * loop_ns / wall / setup.pumps;
    figures.kib_per_pump = static_cast<double>(rss_after - rss_before) / setup.pumps;
    figures.exchanges = exchanges;
    return figures;
}

template <typename Forecourt>
Loop_setup Setup(std::vector<std::unique_ptr<Forecourt>>& forecourts, int loops, int pumps_per_loop,
                 const std::string& port_name, const std::function<void(Forecourt&, int)>& create_pump)
{
    Loop_setup setup;
    setup.pumps = loops * pumps_per_loop;
    setup.make_loops = [&forecourts, loops, pumps_per_loop, port_name] {
        for (int i = 0; i < loops; ++i)
            forecourts.push_back(
                std::make_unique<Forecourt>(port_name, false, 1, pumps_per_loop, bench::PumpSettings()));
    };
    setup.make_pumps = [&forecourts, pumps_per_loop, create_pump] {
        for (auto& forecourt : forecourts)
            for (int slot = 0; slot < pumps_per_loop; ++slot)
                create_pump(*forecourt, slot);
    };
    return setup;
}

void CreateZarnPump(Zarn_forecourt& forecourt, int slot)
{
    forecourt.CreatePump(slot, false, bench::PumpSettings());
}

void CreateClPump(CL_forecourt& forecourt, int slot)
{
    forecourt.CreatePump(slot, bench::PumpSettings());
}

Idle_figures MeasureZarn(int loops, bool polled, int seconds)
{
    bench::Pty line;
    std::vector<std::unique_ptr<Zarn_forecourt>> forecourts;
    Loop_setup setup = Setup<Zarn_forecourt>(forecourts, loops, 16, polled ? line.SlavePath() : "pty", CreateZarnPump);
    if (polled)
        setup.start_controller = [&line] { return std::make_unique<Polling_controller>(line, 16, ZarnPollExchange); };
    return Measure(setup, seconds);
}

Idle_figures MeasureCurrentLoop(int loops, bool polled, int seconds)
{
    bench::Pty line;
    std::vector<std::unique_ptr<CL_forecourt>> forecourts;
    Loop_setup setup = Setup<CL_forecourt>(forecourts, loops, 8, polled ? line.SlavePath() : "pty", CreateClPump);
    if (polled)
        setup.start_controller = [&line] { return std::make_unique<Polling_controller>(line, 8, ClPollExchange); };
    return Measure(setup, seconds);
}

// The floor of the old design: threads that do nothing but wait on an Event for 25 ms
// ("PumpSleepMs" by default) again and again, as a pump thread did between its cycles.
Idle_figures MeasureBareThreads(int threads, int seconds)
{
    struct Sleeper {
        Event stop{true, false};
        std::thread thread;
    };
    std::vector<std::unique_ptr<Sleeper>> sleepers;
    Loop_setup setup;
    setup.pumps = threads;
    setup.make_loops = [] {};
    setup.make_pumps = [&sleepers, threads] {
        for (int i = 0; i < threads; ++i) {
            auto sleeper = std::make_unique<Sleeper>();
            Event& stop = sleeper->stop;
            sleeper->thread = std::thread([&stop] {
                while (!stop.Wait(25)) {
                }
            });
            sleepers.push_back(std::move(sleeper));
        }
    };
    const Idle_figures figures = Measure(setup, seconds);
    for (auto& sleeper : sleepers) {
        sleeper->stop.Set();
        sleeper->thread.join();
    }
    return figures;
}

// Runs one configuration in a child process, so each starts from the same clean memory.
void RunChild(const std::string& protocol, int loops, int pumps_per_loop, bool polled, int seconds)
{
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        const Idle_figures f = protocol == "Zarn"           ? MeasureZarn(loops, polled, seconds)
                               : protocol == "Current loop" ? MeasureCurrentLoop(loops, polled, seconds)
                                                            : MeasureBareThreads(loops * pumps_per_loop, seconds);
        std::printf("%-13s %-10s %5d %6d %12.4f %8s %12.4f %10.1f %10ld\n", protocol.c_str(),
                    polled ? "polled" : "none", loops, loops * pumps_per_loop, f.pump_threads_percent,
                    f.pump_threads_percent < 0.005 ? "yes" : "NO", f.loop_percent, f.kib_per_pump, f.exchanges);
        std::fflush(stdout);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
}

}  // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    std::printf("%d s per configuration; CPU in %% of one core per pump: the pump threads (target < 0.005) and "
                "the whole loop (pumps, I/O, feed); resident KiB per pump (target < 100)\n",
                seconds);
    std::printf("%-13s %-10s %5s %6s %12s %8s %12s %10s %10s\n", "protocol", "controller", "loops", "pumps",
                "pump CPU %", "target", "loop CPU %", "KiB/pump", "exchanges");
    for (int loops : {1, 4, 8})
        RunChild("Zarn", loops, 16, false, seconds);
    RunChild("Zarn", 1, 16, true, seconds);
    for (int loops : {1, 4, 8})
        RunChild("Current loop", loops, 8, false, seconds);
    RunChild("Current loop", 1, 8, true, seconds);
    RunChild("bare threads", 1, 128, false, seconds);
    return 0;
}
