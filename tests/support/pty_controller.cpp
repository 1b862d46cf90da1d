#include "support/pty_controller.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

namespace {

int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int RemainingMs(int64_t deadline)
{
    int64_t left = deadline - NowMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

PtyController::PtyController()
{
    char name[256] = {};
    if (openpty(&master_fd_, &slave_fd_, name, nullptr, nullptr) != 0)
        throw std::runtime_error(std::string("openpty failed: ") + std::strerror(errno));
    slave_path_ = name;
    termios tio{};
    tcgetattr(slave_fd_, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave_fd_, TCSANOW, &tio);
    tcgetattr(master_fd_, &tio);
    cfmakeraw(&tio);
    tcsetattr(master_fd_, TCSANOW, &tio);
}

PtyController::PtyController(const std::string& device) : slave_path_(device)
{
    master_fd_ = open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_fd_ < 0)
        throw std::runtime_error("cannot open " + device + ": " + std::strerror(errno));
    termios tio{};
    tcgetattr(master_fd_, &tio);
    cfmakeraw(&tio);
    tcsetattr(master_fd_, TCSANOW, &tio);
}

PtyController::~PtyController()
{
    CloseMaster();
    if (slave_fd_ >= 0)
        close(slave_fd_);
}

void PtyController::CloseMaster()
{
    if (master_fd_ >= 0)
        close(master_fd_);
    master_fd_ = -1;
}

void PtyController::Send(const std::vector<uint8_t>& bytes)
{
    size_t done = 0;
    int64_t deadline = NowMs() + 5000;
    while (done < bytes.size()) {
        ssize_t n = write(master_fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN)
            throw std::runtime_error(std::string("write to pty failed: ") + std::strerror(errno));
        if (NowMs() > deadline)
            throw std::runtime_error("write to pty timed out");
        usleep(1000);
    }
}

std::optional<uint8_t> PtyController::ReadByte(int timeout_ms)
{
    int64_t deadline = NowMs() + timeout_ms;
    for (;;) {
        pollfd pfd{master_fd_, POLLIN, 0};
        int r = poll(&pfd, 1, RemainingMs(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return std::nullopt;
        uint8_t byte = 0;
        ssize_t n = read(master_fd_, &byte, 1);
        if (n == 1)
            return byte;
        if (n < 0 && errno == EINTR)
            continue;
        return std::nullopt;
    }
}

std::vector<uint8_t> PtyController::ReadExactly(size_t count, int timeout_ms)
{
    int64_t deadline = NowMs() + timeout_ms;
    std::vector<uint8_t> bytes;
    while (bytes.size() < count) {
        std::optional<uint8_t> byte = ReadByte(RemainingMs(deadline));
        if (!byte)
            break;
        bytes.push_back(*byte);
    }
    return bytes;
}

std::vector<uint8_t> PtyController::ReadUntil(uint8_t terminator, int timeout_ms)
{
    int64_t deadline = NowMs() + timeout_ms;
    std::vector<uint8_t> bytes;
    for (;;) {
        std::optional<uint8_t> byte = ReadByte(RemainingMs(deadline));
        if (!byte)
            break;
        bytes.push_back(*byte);
        if (*byte == terminator)
            break;
    }
    return bytes;
}

bool PtyController::Silent(int quiet_ms)
{
    return !ReadByte(quiet_ms).has_value();
}

void PtyController::Drain()
{
    while (ReadByte(0)) {
    }
}

size_t PtyController::UnreadBySimulator() const
{
    // The slave end kept open here shares its input queue with the simulator's.
    int count = 0;
    if (slave_fd_ < 0 || ioctl(slave_fd_, FIONREAD, &count) != 0 || count < 0)
        return 0;
    return static_cast<size_t>(count);
}

TempSettings::TempSettings()
{
    char pattern[] = "/tmp/gallion-ini-XXXXXX";
    int fd = mkstemp(pattern);
    if (fd < 0)
        throw std::runtime_error("cannot create a temporary settings file");
    close(fd);
    path_ = pattern;
    setenv("GALLION_INI", path_.c_str(), 1);
}

TempSettings::~TempSettings()
{
    unsetenv("GALLION_INI");
    std::remove(path_.c_str());
}

void TempSettings::Set(const std::string& section, const std::string& key, const std::string& value)
{
    // A plain writer of the file, independent of the code under test.
    std::map<std::string, std::map<std::string, std::string>> sections;
    std::ifstream in(path_);
    std::string line, current;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            current = line.substr(1, line.size() - 2);
            sections[current];
        } else if (auto eq = line.find('='); eq != std::string::npos) {
            sections[current][line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    in.close();
    sections[section][key] = value;
    std::ofstream out(path_, std::ios::trunc);
    for (const auto& [name, keys] : sections) {
        out << '[' << name << "]\n";
        for (const auto& [k, v] : keys)
            out << k << '=' << v << '\n';
    }
}

TempDir::TempDir()
{
    char pattern[] = "/tmp/gallion-test-XXXXXX";
    if (!mkdtemp(pattern))
        throw std::runtime_error("cannot create a temporary folder");
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}
