// Turnaround over TCP on loopback against a pseudo-terminal: the same loop kinds, the same
// requests, interleaved round by round, so both lines see the same machine. Then the same
// current-loop exchange with line-speed pacing on, on both lines: the time a controller waits
// for a 32-byte reply when it leaves at 9600 baud.
//
//   Zarn POLL -> EOT, current-loop CB3 -> DB0 (32 bytes): unpaced, ROUNDS rounds per line
//   current-loop CB3 -> DB0, paced: ROUNDS / 50 rounds per line (at least 20)
//
// Conditions: 8 pumps on each loop, communication feed off, "HandleReturningMessages" 0.
//
// Usage: bench_tcp_turnaround [ROUNDS]   (default 5000)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "currentloop/cl_forecourt.h"
#include "currentloop/cl_message.h"
#include "zarn/zarn_forecourt.h"

using bench::Bytes;
using bench::NowNs;

namespace {

using Complete = std::function<bool(const Bytes&)>;

// The controller's end of a line: sends a request, reads until the answer is complete.
class Controller_line {
public:
    virtual ~Controller_line() = default;
    virtual void Send(const Bytes& bytes) = 0;
    virtual Bytes ReadAnswer(const Complete& complete) = 0;
};

class Pty_controller : public Controller_line {
public:
    const std::string& SlavePath() const { return pty_.SlavePath(); }
    void Send(const Bytes& bytes) override { pty_.Send(bytes); }
    Bytes ReadAnswer(const Complete& complete) override { return pty_.ReadAnswer(complete); }

private:
    bench::Pty pty_;
};

class Tcp_controller : public Controller_line {
public:
    // Connects to "127.0.0.1:PORT".
    explicit Tcp_controller(const std::string& endpoint)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(std::stoi(endpoint.substr(endpoint.rfind(':') + 1))));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot connect to " + endpoint);
        const int on = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    ~Tcp_controller() override { close(fd_); }

    void Send(const Bytes& bytes) override
    {
        if (send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
            throw std::runtime_error("send failed");
    }
    Bytes ReadAnswer(const Complete& complete) override
    {
        Bytes bytes;
        const int64_t deadline = NowNs() + 2000000000;
        while (!complete(bytes)) {
            const int64_t left_ms = (deadline - NowNs()) / 1000000;
            if (left_ms < 0)
                throw std::runtime_error("no complete answer in time");
            pollfd entry{fd_, POLLIN, 0};
            if (poll(&entry, 1, static_cast<int>(left_ms) + 1) <= 0)
                continue;
            uint8_t buffer[512];
            const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0)
                throw std::runtime_error("the connection ended");
            bytes.insert(bytes.end(), buffer, buffer + n);
        }
        return bytes;
    }

private:
    int fd_ = -1;
};

// The controller on the other end of a virtual port: the pseudo-terminal device Gallion made.
class Device_controller : public Controller_line {
public:
    explicit Device_controller(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC))
    {
        bench::MakeRaw(fd_);
    }
    ~Device_controller() override { close(fd_); }
    void Send(const Bytes& bytes) override
    {
        if (write(fd_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            throw std::runtime_error("write failed");
    }
    Bytes ReadAnswer(const Complete& complete) override
    {
        Bytes bytes;
        while (!complete(bytes)) {
            pollfd entry{fd_, POLLIN, 0};
            if (poll(&entry, 1, 2000) <= 0)
                throw std::runtime_error("no complete answer in time");
            uint8_t buffer[64];
            const ssize_t n = read(fd_, buffer, sizeof buffer);
            if (n > 0)
                bytes.insert(bytes.end(), buffer, buffer + n);
        }
        return bytes;
    }

private:
    int fd_;
};

void PrintRow(const char* exchange, const char* line, const std::vector<int64_t>& ns)
{
    const bench::Figures f = bench::Summarise(ns);
    std::printf("%-28s %-6s %9.1f %9.1f %9.1f %10.1f\n", exchange, line, f.min_us, f.median_us, f.p99_us, f.max_us);
}

int64_t Exchange(Controller_line& line, const Bytes& request, const Complete& complete)
{
    const int64_t start = NowNs();
    line.Send(request);
    line.ReadAnswer(complete);
    return NowNs() - start;
}

// Measures one exchange on both lines, alternating round by round, and prints both rows.
void Compare(const char* exchange, Controller_line& pty, Controller_line& tcp, const Bytes& request,
             const Complete& complete, int rounds)
{
    std::vector<int64_t> over_pty, over_tcp;
    for (int i = 0; i < rounds; ++i) {
        over_pty.push_back(Exchange(pty, request, complete));
        over_tcp.push_back(Exchange(tcp, request, complete));
    }
    PrintRow(exchange, "pty", over_pty);
    PrintRow("", "tcp", over_tcp);
}

}  // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(100, std::atoi(argv[1])) : 5000;
    const Pump_settings settings = bench::PumpSettings();
    try {
        Pty_controller zarn_pty, cl_pty;
        Zarn_forecourt zarn_on_pty(zarn_pty.SlavePath(), false, 1, 8, settings);
        Zarn_forecourt zarn_on_tcp("tcp-listen:0", false, 1, 8, settings);
        CL_forecourt cl_on_pty(cl_pty.SlavePath(), false, 1, 8, settings);
        CL_forecourt cl_on_tcp("tcp-listen:0", false, 1, 8, settings);
        for (int i = 0; i < 8; ++i) {
            zarn_on_pty.CreatePump(i, false, settings);
            zarn_on_tcp.CreatePump(i, false, settings);
            cl_on_pty.CreatePump(i, settings);
            cl_on_tcp.CreatePump(i, settings);
        }
        Tcp_controller zarn_tcp(zarn_on_tcp.DevicePath());
        Tcp_controller cl_tcp(cl_on_tcp.DevicePath());

        // Pump 1 first says what it has queued (its first DATA block), then only EOT.
        const Bytes poll = ZarnControlBlock(0x50, 0x20);
        for (Controller_line* line : std::vector<Controller_line*>{&zarn_pty, &zarn_tcp}) {
            for (int i = 0; i < 20; ++i) {
                const Bytes answer = (line->Send(poll), line->ReadAnswer(ZarnBlockComplete));
                if ((answer[1] & 0xF0) == 0x70)
                    break;
                line->Send(ZarnControlBlock(0x50, static_cast<uint8_t>(0xC0 | (answer[1] & 0x0F))));
            }
        }

        std::printf("times in microseconds, from writing the request to holding the whole answer\n");
        std::printf("%-28s %-6s %9s %9s %9s %10s\n", "exchange", "line", "min", "median", "p99", "max");
        Compare("Zarn POLL -> EOT", zarn_pty, zarn_tcp, poll, ZarnBlockComplete, rounds);
        const Bytes cb3 = cl_kit::Poll(1);
        Compare("current loop CB3 -> DB0", cl_pty, cl_tcp, cb3, cl_kit::FrameComplete, rounds);

        // The same pseudo-terminal loop cannot be paced (it is a device to Gallion): a virtual one is.
        CL_forecourt cl_on_virtual("pty", false, 1, 8, settings);
        cl_on_virtual.CreatePump(0, settings);
        cl_on_virtual.SetLinePacing(true);
        cl_on_tcp.SetLinePacing(true);
        Device_controller virtual_pty(cl_on_virtual.DevicePath());
        Compare("CB3 -> DB0 paced at 9600", virtual_pty, cl_tcp, cb3, cl_kit::FrameComplete, std::max(20, rounds / 50));
        std::printf("(32 bytes at 11 bits each and 9600 baud: %.1f us on the wire)\n", 32 * 11 * 1e6 / 9600);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_tcp_turnaround: %s\n", error.what());
        return 1;
    }
    return 0;
}
