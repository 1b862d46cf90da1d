#pragma once
// Small pieces shared by the benchmarks: a pseudo-terminal pair in raw mode, reads with a
// deadline, a monotonic clock, a settings file of their own, the settings of their pumps, figures
// of this process, the summary of a set of times. The frames and blocks come from the controller
// kit (tests/support).
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/pump_settings.h"
#include "support/cl_controller.h"
#include "support/controller_line.h"
#include "support/zarn_controller.h"

namespace bench {

using Bytes = std::vector<uint8_t>;

inline int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline void MakeRaw(int fd)
{
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
}

// A pseudo-terminal pair: the benchmark's controller talks on the master; the slave's path is
// the port name of the loop (or of the floor responder). The slave stays open here as well, so
// the line stays up whoever opens and closes it.
class Pty : public ControllerLine {
public:
    Pty()
    {
        char name[256] = {};
        if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        slave_path_ = name;
        MakeRaw(master_);
        MakeRaw(slave_);
    }
    ~Pty()
    {
        close(master_);
        close(slave_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& SlavePath() const { return slave_path_; }

    void Send(const Bytes& bytes) override
    {
        if (write(master_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            throw std::runtime_error("write to the pseudo-terminal failed");
    }

    // One byte, or nothing when timeout_ms passes (for the controller kit's block reads).
    std::optional<uint8_t> ReadByte(int timeout_ms) override
    {
        pollfd entry{master_, POLLIN, 0};
        uint8_t byte = 0;
        if (poll(&entry, 1, timeout_ms) <= 0 || read(master_, &byte, 1) != 1)
            return std::nullopt;
        return byte;
    }

    // Reads until `complete` says the bytes so far are a whole answer; throws after timeout_ms.
    template <typename Complete>
    Bytes ReadAnswer(Complete complete, int timeout_ms = 2000)
    {
        Bytes bytes;
        const int64_t deadline = NowNs() + int64_t{timeout_ms} * 1000000;
        while (!complete(bytes)) {
            const int64_t left_ms = (deadline - NowNs()) / 1000000;
            if (left_ms < 0)
                throw std::runtime_error("no complete answer in time");
            pollfd entry{master_, POLLIN, 0};
            if (poll(&entry, 1, static_cast<int>(left_ms) + 1) <= 0)
                continue;
            uint8_t buffer[512];
            const ssize_t n = read(master_, buffer, sizeof buffer);
            if (n > 0)
                bytes.insert(bytes.end(), buffer, buffer + n);
        }
        return bytes;
    }

    // Throws away whatever arrives within quiet_ms.
    void Drain(int quiet_ms = 50)
    {
        pollfd entry{master_, POLLIN, 0};
        uint8_t buffer[512];
        while (poll(&entry, 1, quiet_ms) > 0 && read(master_, buffer, sizeof buffer) > 0) {
        }
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slave_path_;
};

// A settings file of the benchmark's own (GALLION_INI), removed at the end.
class Settings_file {
public:
    explicit Settings_file(const std::string& contents)
    {
        char pattern[] = "/tmp/gallion-bench-ini-XXXXXX";
        const int fd = mkstemp(pattern);
        if (fd < 0)
            throw std::runtime_error("cannot create a settings file");
        close(fd);
        path_ = pattern;
        std::ofstream(path_) << contents;
        setenv("GALLION_INI", path_.c_str(), 1);
    }
    ~Settings_file() { std::remove(path_.c_str()); }

private:
    std::string path_;
};

// The settings of the benchmarks' loops and pumps: the defaults, except that a Zarn line does not
// wait for echoes (a pseudo-terminal does not echo).
inline Pump_settings PumpSettings()
{
    Pump_settings settings;
    settings.handle_returning_messages = false;
    return settings;
}

// CPU time (user and system, every thread) of this process in nanoseconds.
inline int64_t ProcessCpuNs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto ns = [](const timeval& t) { return int64_t{t.tv_sec} * 1000000000 + int64_t{t.tv_usec} * 1000; };
    return ns(usage.ru_utime) + ns(usage.ru_stime);
}

// Resident memory of this process in KiB (VmRSS of /proc/self/status).
inline long ResidentKiB()
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

// Minimum, median, 99th percentile and maximum of a set of times, in microseconds.
struct Figures {
    double min_us = 0, median_us = 0, p99_us = 0, max_us = 0;
};

inline Figures Summarise(std::vector<int64_t> ns)
{
    std::sort(ns.begin(), ns.end());
    auto at = [&](double q) { return ns[std::min(ns.size() - 1, static_cast<size_t>(q * (ns.size() - 1) + 0.5))] / 1000.0; };
    return {ns.front() / 1000.0, at(0.5), at(0.99), ns.back() / 1000.0};
}

}  // namespace bench
