// How long removing a busy loop takes on a busy machine: a Zarn loop of 16 pumps, every pump
// logged (interpreted) and automated (Heavy), the port recording as a spy port, a controller
// polling every pump as fast as the line takes it, and CPU hogs (one per processor, separate
// processes at normal priority) beside it. After the load period the controller stops and the
// loop is destroyed; the time of that destruction is the figure, with what the logs held before
// and after (the backlog the removal wrote).
//
//   bench_removal [LOAD_SECONDS] [HOGS]    (defaults 10 and the number of processors)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "spy/spy_control.h"
#include "zarn/zarn_forecourt.h"

namespace {

using bench::Bytes;

uintmax_t FolderBytes(const std::filesystem::path& folder)
{
    uintmax_t total = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.is_regular_file())
            total += entry.file_size();
    return total;
}

std::vector<pid_t> StartHogs(int count)
{
    std::vector<pid_t> hogs;
    for (int i = 0; i < count; ++i) {
        pid_t child = fork();
        if (child == 0) {
            volatile unsigned long spin = 0;
            for (;;)
                spin = spin + 1;
        }
        if (child > 0)
            hogs.push_back(child);
    }
    return hogs;
}

void StopHogs(const std::vector<pid_t>& hogs)
{
    for (pid_t hog : hogs)
        kill(hog, SIGKILL);
    for (pid_t hog : hogs)
        waitpid(hog, nullptr, 0);
}

// Plays a busy controller for pumps 1-16 as fast as the line takes it: programs each pump once
// (nozzle 1 allowed, unit price 1.00), then round and round polls it, acknowledges every data
// block and authorises it again, so the automated pumps fill and report all the time. An answer
// that does not come within 200 ms is given up: on to the next.
class Flooding_controller {
public:
    explicit Flooding_controller(bench::Pty& line) : controller_(line) { thread_ = std::thread([this] { Run(); }); }
    ~Flooding_controller() { Stop(); }
    void Stop()
    {
        stop_.store(true);
        if (thread_.joinable())
            thread_.join();
    }
    uint64_t Exchanges() const { return exchanges_.load(); }

private:
    static constexpr int kAnswerMs = 200;

    void Run()
    {
        for (uint8_t address = 0x50; address < 0x60 && !stop_.load(); ++address)
            controller_.ProgramNozzleOne(address, kAnswerMs);
        while (!stop_.load()) {
            for (uint8_t address = 0x50; address < 0x60 && !stop_.load(); ++address) {
                const std::optional<Bytes> answer = controller_.Poll(address, kAnswerMs);
                if (answer) {
                    ++exchanges_;
                    if (answer->size() >= 2 && ((*answer)[1] & 0xF0) == 0x30)
                        controller_.Ack(address, (*answer)[1]);
                }
                if (controller_.SendData(address, Cd1(6), kAnswerMs))  // authorise
                    ++exchanges_;
            }
        }
    }

    ZarnController controller_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> exchanges_{0};
    std::thread thread_;
};

}  // namespace

int main(int argc, char** argv)
{
    const int load_seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    const int hog_count = argc > 2 ? std::max(0, std::atoi(argv[2])) : static_cast<int>(std::thread::hardware_concurrency());
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("gallion-bench-removal-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    bench::Settings_file spy_settings("[SpyPort]\nOutputDirectory=" + folder.string() + "/\nMaxFileSize=100000000\n");
    const Pump_settings settings = bench::PumpSettings();

    bench::Pty line;
    auto loop = std::make_unique<Zarn_forecourt>(line.SlavePath(), true, 1, 16, settings);
    for (int i = 0; i < 16; ++i) {
        loop->CreatePump(i, true, settings);
        loop->StartLogging(i, (folder / ("pump" + std::to_string(i + 1) + ".log")).string(), true);
        loop->StartAutomation(i, 3);
    }
    StartSpy(line.SlavePath());
    loop->SetCommunicationOn(true);  // the feed (and with it the logs) runs, as in a window
    loop->SetInterpreted(true);

    std::vector<pid_t> hogs = StartHogs(hog_count);
    Flooding_controller controller(line);
    // The communication view is drained every 200 ms, as the main window's timer does.
    std::atomic<bool> load_over{false};
    std::thread view([&] {
        while (!load_over.load()) {
            while (!loop->FetchCommunicationText().empty()) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    std::this_thread::sleep_for(std::chrono::seconds(load_seconds));
    controller.Stop();
    load_over.store(true);
    view.join();
    const uintmax_t before = FolderBytes(folder);
    const int64_t start = bench::NowNs();
    loop.reset();
    const int64_t removal_ns = bench::NowNs() - start;
    const uintmax_t after = FolderBytes(folder);
    StopHogs(hogs);

    std::printf("loop removal: 16 Zarn pumps logged and automated, spy on, %d s of flooding (%llu exchanges), %d CPU hogs\n",
                load_seconds, static_cast<unsigned long long>(controller.Exchanges()), hog_count);
    std::printf("  files before removal %8.1f MB, after %8.1f MB (written by the removal: %.1f MB)\n", before / 1e6,
                after / 1e6, (after - before) / 1e6);
    std::printf("  removal took %.1f ms\n", removal_ns / 1e6);
    if (std::getenv("GALLION_BENCH_KEEP"))
        std::printf("  files kept in %s\n", folder.string().c_str());
    else
        std::filesystem::remove_all(folder);
    return 0;
}
