// Turnaround: how long a controller waits from writing a request to holding the complete answer.
// Three exchanges, each measured against Gallion and, in the same run and interleaved round by
// round, against a minimal responder on its own pseudo-terminal (a thread that reads the request
// byte by byte and writes the answer Gallion gave, byte for byte): the floor of this machine.
//
//   Zarn POLL -> EOT
//   Zarn POLL -> DATA (a DC3 made pending before each round by selecting a nozzle; acknowledged
//                     after the round, outside the measurement)
//   current-loop CB3 -> DB0 (32 bytes)
//
// Conditions: 8 pumps on each loop, the measured pump's traffic logged to a file by the feed,
// and a thread draining the communication view every 200 ms as the main window does.
//
// Usage: bench_turnaround [ROUNDS] [trace]   (default 5000 per exchange)
// With "trace", both loops also write their wire trace to a file the whole time, so the figures
// show what tracing costs the controller.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "platform/thread.h"
#include "currentloop/cl_forecourt.h"
#include "currentloop/cl_message.h"
#include "zarn/zarn_forecourt.h"

using bench::Bytes;
using bench::NowNs;

namespace {

// Answers every complete request on its own pseudo-terminal with a fixed answer. Reads one byte
// per call (as the loops' I/O threads did before they took every byte that had arrived at once),
// at the same priority as they run.
class Floor_responder {
public:
    using Complete = std::function<bool(const Bytes&)>;

    Floor_responder(Complete request_complete, Bytes answer)
        : request_complete_(std::move(request_complete)), answer_(std::move(answer))
    {
        fd_ = open(line_.SlavePath().c_str(), O_RDWR | O_NOCTTY);
        if (fd_ < 0 || pipe(stop_pipe_) != 0)
            throw std::runtime_error("cannot open the floor responder's line");
        bench::MakeRaw(fd_);
        thread_ = std::thread([this] { Run(); });
    }
    ~Floor_responder()
    {
        const uint8_t wake = 1;
        (void)!write(stop_pipe_[1], &wake, 1);
        thread_.join();
        close(fd_);
        close(stop_pipe_[0]);
        close(stop_pipe_[1]);
    }
    bench::Pty& Line() { return line_; }

private:
    void Run()
    {
        SetCurrentThreadPriority(ThreadPriority::TimeCritical);
        Bytes request;
        for (;;) {
            pollfd entries[2] = {{fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
            if (poll(entries, 2, -1) <= 0)
                continue;
            if (entries[1].revents)
                return;
            uint8_t byte = 0;
            if (read(fd_, &byte, 1) != 1)
                continue;
            request.push_back(byte);
            if (request_complete_(request)) {
                (void)!write(fd_, answer_.data(), answer_.size());
                request.clear();
            }
        }
    }

    bench::Pty line_;
    Complete request_complete_;
    const Bytes answer_;
    int fd_ = -1;
    int stop_pipe_[2] = {-1, -1};
    std::thread thread_;
};

int64_t Exchange(bench::Pty& line, const Bytes& request, const std::function<bool(const Bytes&)>& complete,
                 const Bytes* expected)
{
    const int64_t start = NowNs();
    line.Send(request);
    const Bytes answer = line.ReadAnswer(complete);
    const int64_t elapsed = NowNs() - start;
    if (expected && answer != *expected)
        throw std::runtime_error("an unexpected answer");
    return elapsed;
}

void Report(const char* name, const std::vector<int64_t>& gallion, const std::vector<int64_t>& floor)
{
    const bench::Figures g = bench::Summarise(gallion);
    const bench::Figures f = bench::Summarise(floor);
    std::printf("%-26s %-8s %8.1f %8.1f %8.1f %9.1f\n", name, "Gallion", g.min_us, g.median_us, g.p99_us, g.max_us);
    std::printf("%-26s %-8s %8.1f %8.1f %8.1f %9.1f\n", "", "floor", f.min_us, f.median_us, f.p99_us, f.max_us);
    std::printf("%-26s %-8s %8.2f %8.2f %8.2f %9.2f   median %s the floor, p99 %s 300 us\n", "", "ratio",
                g.min_us / f.min_us, g.median_us / f.median_us, g.p99_us / f.p99_us, g.max_us / f.max_us,
                g.median_us <= f.median_us ? "at or below" : "NOT at or below", g.p99_us < 300 ? "under" : "NOT under");
}

// The feed's view is drained every 200 ms, as the main window's timer does.
class View_drainer {
public:
    View_drainer(Zarn_forecourt& zarn, CL_forecourt& current_loop) : zarn_(zarn), current_loop_(current_loop)
    {
        thread_ = std::thread([this] { Run(); });
    }
    ~View_drainer()
    {
        stop_.Set();
        thread_.join();
    }
    size_t Characters() const { return characters_; }

private:
    // Each fetch hands out one block's text; the view fetches until nothing is left.
    void Run()
    {
        while (!stop_.Wait(200)) {
            for (std::string text = zarn_.FetchCommunicationText(); !text.empty(); text = zarn_.FetchCommunicationText())
                characters_ += text.size();
            for (std::string text = current_loop_.FetchCommunicationText(); !text.empty();
                 text = current_loop_.FetchCommunicationText())
                characters_ += text.size();
        }
    }
    Zarn_forecourt& zarn_;
    CL_forecourt& current_loop_;
    Event stop_{true, false};
    std::atomic<size_t> characters_{0};
    std::thread thread_;
};

// Polls pump 1 and acknowledges until it has nothing more to say (EOT).
void EmptyZarnQueue(bench::Pty& line)
{
    for (int i = 0; i < 100; ++i) {
        line.Send(ZarnControlBlock(0x50, 0x20));
        const Bytes answer = line.ReadAnswer(ZarnBlockComplete);
        if ((answer[1] & 0xF0) == 0x70)
            return;
        line.Send(ZarnControlBlock(0x50, static_cast<uint8_t>(0xC0 | (answer[1] & 0x0F))));
    }
    throw std::runtime_error("pump 1 never ran out of replies");
}

}  // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(100, std::atoi(argv[1])) : 5000;
    const bool trace = argc > 2 && std::string(argv[2]) == "trace";
    const Pump_settings settings = bench::PumpSettings();
    const std::filesystem::path logs = std::filesystem::temp_directory_path() / ("gallion-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(logs);

    bench::Pty zarn_line;
    bench::Pty cl_line;
    Zarn_forecourt zarn(zarn_line.SlavePath(), false, 1, 8, settings);
    CL_forecourt current_loop(cl_line.SlavePath(), false, 1, 8, settings);
    for (int i = 0; i < 8; ++i) {
        zarn.CreatePump(i, false, settings);
        current_loop.CreatePump(i, settings);
    }
    zarn.SetCommunicationOn(true);
    current_loop.SetCommunicationOn(true);
    zarn.StartLogging(0, (logs / "zarn-pump1.log").string(), true);
    current_loop.StartLogging(0, (logs / "cl-pump1.log").string(), true);
    View_drainer drainer(zarn, current_loop);
    if (trace) {
        zarn.Trace().Start((logs / "zarn.jsonl").string());
        current_loop.Trace().Start((logs / "cl.jsonl").string());
    }

    const Bytes poll = ZarnControlBlock(0x50, 0x20);
    const Bytes cb3 = cl_kit::Poll(1);
    int result = 0;
    try {
        // POLL -> EOT.
        EmptyZarnQueue(zarn_line);
        zarn_line.Send(poll);
        const Bytes eot = zarn_line.ReadAnswer(ZarnBlockComplete);
        std::vector<int64_t> gallion, floor;
        {
            Floor_responder responder(ZarnBlockComplete, eot);
            for (int i = 0; i < rounds; ++i) {
                floor.push_back(Exchange(responder.Line(), poll, ZarnBlockComplete, &eot));
                gallion.push_back(Exchange(zarn_line, poll, ZarnBlockComplete, &eot));
            }
        }
        std::printf("%d rounds per exchange, times in microseconds, wire trace %s\n", rounds, trace ? "on" : "off");
        std::printf("%-26s %-8s %8s %8s %8s %9s\n", "exchange", "", "min", "median", "p99", "max");
        Report("Zarn POLL -> EOT", gallion, floor);

        // POLL -> pending DATA (DC3), acknowledged outside the measurement.
        Zarn_pump& pump = *zarn.GetPump(0);
        pump.SelectNozzle(1);
        zarn_line.Send(poll);
        const Bytes data = zarn_line.ReadAnswer(ZarnBlockComplete);
        zarn_line.Send(ZarnControlBlock(0x50, static_cast<uint8_t>(0xC0 | (data[1] & 0x0F))));
        gallion.clear();
        floor.clear();
        {
            Floor_responder responder(ZarnBlockComplete, data);
            for (int i = 0; i < rounds; ++i) {
                floor.push_back(Exchange(responder.Line(), poll, ZarnBlockComplete, &data));
                pump.SelectNozzle(1 + (i + 1) % 2);  // queues the DC3 at once, on this thread
                const int64_t start = NowNs();
                zarn_line.Send(poll);
                const Bytes answer = zarn_line.ReadAnswer(ZarnBlockComplete);
                gallion.push_back(NowNs() - start);
                if ((answer[1] & 0xF0) != 0x30)
                    throw std::runtime_error("POLL did not bring the pending DATA block");
                zarn_line.Send(ZarnControlBlock(0x50, static_cast<uint8_t>(0xC0 | (answer[1] & 0x0F))));
            }
        }
        Report("Zarn POLL -> DATA (DC3)", gallion, floor);

        // CB3 -> DB0.
        cl_line.Send(cb3);
        const Bytes db0 = cl_line.ReadAnswer(cl_kit::FrameComplete);
        gallion.clear();
        floor.clear();
        {
            Floor_responder responder(cl_kit::FrameComplete, db0);
            for (int i = 0; i < rounds; ++i) {
                floor.push_back(Exchange(responder.Line(), cb3, cl_kit::FrameComplete, &db0));
                gallion.push_back(Exchange(cl_line, cb3, cl_kit::FrameComplete, nullptr));
            }
        }
        Report("current loop CB3 -> DB0", gallion, floor);
        std::printf("communication view drained: %zu characters\n", drainer.Characters());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_turnaround: %s\n", error.what());
        result = 1;
    }
    if (trace) {
        const uint64_t drops = zarn.Trace().DropCount() + current_loop.Trace().DropCount();
        zarn.Trace().Stop();
        current_loop.Trace().Stop();
        size_t lines = 0;
        for (const char* name : {"zarn.jsonl", "cl.jsonl"}) {
            std::ifstream in(logs / name);
            for (std::string line; std::getline(in, line);)
                ++lines;
        }
        std::printf("wire trace: %zu lines written, %llu frames dropped\n", lines,
                    static_cast<unsigned long long>(drops));
    }
    zarn.StopLogging(0);
    current_loop.StopLogging(0);
    std::filesystem::remove_all(logs);
    return result;
}
