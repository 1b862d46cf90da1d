// The windows program under load: the main window with 4 Zarn loops of 16 pumps each (every loop
// on its own pseudo-terminal), the first loop shown with its communication view on and flooded by
// a controller (a separate process) that polls and acknowledges all 16 pumps as fast as the line
// answers. Measured while the flood runs and then with no traffic:
//  - the latency of the user-interface thread: every 10 ms a helper thread posts an event to the
//    window thread; the figure is the time from posting to handling (p50, p99, max);
//  - the CPU time of the program (every thread of this process; the controller is not in it).
//
//   bench_ui_load [SECONDS_PER_PHASE]   (default 10)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "loops/pump_loop.h"
#include "screens/tcl_loop.h"
#include "shell/formmain.h"
#include "shell/loop_holder.h"

namespace {

using bench::Bytes;

constexpr int kLoops = 4;
constexpr int kPumps = 16;

// The controller of the flooded loop: polls pump after pump and acknowledges every DATA block,
// until killed.
[[noreturn]] void Flood(bench::Pty& line)
{
    for (;;) {
        for (int pump = 1; pump <= kPumps; ++pump) {
            const uint8_t address = static_cast<uint8_t>(pump + 79);
            line.Send(ZarnControlBlock(address, 0x20));
            Bytes reply;
            try {
                reply = line.ReadAnswer(ZarnBlockComplete, 1000);
            } catch (const std::exception&) {
                continue;
            }
            if (reply.size() >= 2 && (reply[1] & 0xF0) == 0x30)
                line.Send(ZarnControlBlock(address, static_cast<uint8_t>(0xC0 | (reply[1] & 0x0F))));
        }
    }
}

struct Latencies {
    std::mutex mutex;
    std::vector<double> ms;
};

// Posts a timestamped call to the window thread every 10 ms until `stop`.
void Probe(QObject* target, Latencies& latencies, const std::atomic<bool>& stop)
{
    while (!stop) {
        const int64_t posted = bench::NowNs();
        QMetaObject::invokeMethod(
            target,
            [posted, &latencies] {
                const double ms = static_cast<double>(bench::NowNs() - posted) / 1e6;
                std::lock_guard<std::mutex> lock(latencies.mutex);
                latencies.ms.push_back(ms);
            },
            Qt::QueuedConnection);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

double Percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, static_cast<size_t>(fraction * static_cast<double>(values.size())));
    return values[index];
}

// Runs the event loop for `seconds` while the probe posts; prints one row.
void MeasurePhase(QApplication& app, QObject* target, const char* name, int seconds)
{
    Latencies latencies;
    std::atomic<bool> stop{false};
    const int64_t cpu_before = bench::ProcessCpuNs();
    const int64_t wall_before = bench::NowNs();
    std::thread probe(Probe, target, std::ref(latencies), std::cref(stop));
    QTimer::singleShot(seconds * 1000, &app, [&app] { app.exit(0); });
    app.exec();
    stop = true;
    probe.join();
    const double cpu_percent = 100.0 * static_cast<double>(bench::ProcessCpuNs() - cpu_before) /
                               static_cast<double>(bench::NowNs() - wall_before);
    std::lock_guard<std::mutex> lock(latencies.mutex);
    std::printf("| %-28s | %6zu | %8.2f | %8.2f | %8.2f | %6.1f %% |\n", name, latencies.ms.size(),
                Percentile(latencies.ms, 0.5), Percentile(latencies.ms, 0.99),
                latencies.ms.empty() ? 0.0 : *std::max_element(latencies.ms.begin(), latencies.ms.end()),
                cpu_percent);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    if (!getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    bench::Settings_file settings("[Zarn]\nHandleReturningMessages=0\n[Main]\nAutoLoad=0\nAutoSave=0\n");

    std::vector<std::unique_ptr<bench::Pty>> lines;
    for (int i = 0; i < kLoops; ++i)
        lines.push_back(std::make_unique<bench::Pty>());

    QApplication app(argc, argv);
    TfMain window;
    for (int i = 0; i < kLoops; ++i) {
        std::unique_ptr<Pump_loop> loop = CreateLoop(Protocol::zarn, lines[i]->SlavePath(), false, 1, kPumps);
        for (int position = 0; position < kPumps; ++position)
            loop->AddPump(position);
        window.AddPage(MakeLoopPage(std::move(loop), window.Dialogs()));
    }
    window.show();
    window.LoopHolder()->setCurrentIndex(0);  // the flooded loop is the one shown

    std::printf("main window, %d Zarn loops x %d pumps, the first shown and flooded, %d s per phase\n\n", kLoops,
                kPumps, seconds);
    std::printf("| %-28s | %6s | %8s | %8s | %8s | %8s |\n", "phase", "events", "p50 ms", "p99 ms", "max ms",
                "CPU");
    std::printf("|---|---:|---:|---:|---:|---:|\n");

    const pid_t controller = fork();
    if (controller == 0)
        Flood(*lines[0]);
    MeasurePhase(app, &window, "flood on loop 1, view on", seconds);
    kill(controller, SIGKILL);
    waitpid(controller, nullptr, 0);

    lines[0]->Drain(200);
    MeasurePhase(app, &window, "no traffic", seconds);
    window.ShutDown();
    return 0;
}
