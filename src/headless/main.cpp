// gallion-headless: Gallion without windows, driven by commands on standard input (and an
// optional script file) and, with --control, by clients of a local control socket; one reply line
// per command.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <optional>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/settings.h"
#include "platform/stop_signals.h"
#include "control/control_server.h"
#include "headless/command_sessions.h"
#include "headless/runner.h"

namespace {

// The stop-signal pipe's read end, watched by Serve.
int stop_signal_fd = -1;

void InstallSignalHandlers()
{
    stop_signal_fd = WatchStopSignals();
    if (stop_signal_fd < 0) {
        std::perror("pipe");
        std::exit(1);
    }
    signal(SIGPIPE, SIG_IGN);
}

// Prints one line and flushes it at once, so a driving program sees every reply when it comes.
void PrintLine(const std::string& text)
{
    const std::string line = text + '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

const int kDrainPeriodMs = 200;

// The terminal's command input: the script file first (if any), then standard input. Lines are
// handed out one at a time; the runner reads on only when the terminal session has nothing
// queued, so a long script is never read ahead of its sleeps.
class Console_input {
public:
    explicit Console_input(std::vector<int> fds) : fds_(std::move(fds)) {}

    bool AtEnd() const { return fds_.empty() && pending_.empty(); }
    // The descriptor to wait on for more input; -1 when all have ended.
    int Fd() const { return fds_.empty() ? -1 : fds_.front(); }

    // The next complete line; at the end of the last input also its unterminated rest.
    bool TakeLine(std::string& line)
    {
        const size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return true;
        }
        if (fds_.empty() && !pending_.empty()) {
            line.swap(pending_);
            pending_.clear();
            return true;
        }
        return false;
    }

    // Reads what the current input holds (it was reported readable).
    void Read()
    {
        char buffer[4096];
        const ssize_t n = read(fds_.front(), buffer, sizeof buffer);
        if (n > 0) {
            pending_.append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            // This input has ended: a script's unterminated last line still counts as a line.
            if (fds_.size() > 1 && !pending_.empty())
                pending_ += '\n';
            if (fds_.front() != STDIN_FILENO)
                close(fds_.front());
            fds_.erase(fds_.begin());
        }
    }

private:
    std::vector<int> fds_;
    std::string pending_;
};

int MsUntil(std::optional<Command_sessions::Clock::time_point> at, int longest)
{
    if (!at)
        return longest;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(*at - Command_sessions::Clock::now()).count();
    return static_cast<int>(std::clamp<int64_t>(left + 1, 0, longest));
}

// Runs the terminal's commands and those of the control socket's clients until "quit", a signal,
// or (without a control socket) the end of the terminal's input.
void Serve(Headless_runner& runner, Console_input& console, Control_server* server)
{
    Command_sessions sessions(runner);
    sessions.Open(Command_sessions::kConsole, PrintLine);
    auto next_drain = Command_sessions::Clock::now();
    for (;;) {
        std::string line;
        while (!sessions.QuitRequested() && sessions.Idle(Command_sessions::kConsole) && console.TakeLine(line)) {
            sessions.Submit(Command_sessions::kConsole, line);
            sessions.Run();
        }
        sessions.Run();
        if (sessions.QuitRequested())
            return;
        if (!server && console.AtEnd() && sessions.Idle(Command_sessions::kConsole))
            return;
        const auto now = Command_sessions::Clock::now();
        if (now >= next_drain) {
            sessions.DrainTraffic();
            next_drain = now + std::chrono::milliseconds(kDrainPeriodMs);
        }

        pollfd fds[3] = {{stop_signal_fd, POLLIN, 0}, {-1, POLLIN, 0}, {-1, POLLIN, 0}};
        if (sessions.Idle(Command_sessions::kConsole))
            fds[1].fd = console.Fd();
        if (server)
            fds[2].fd = server->ReadyFd();
        const int timeout =
            std::min(MsUntil(sessions.NextCheck(), kDrainPeriodMs), MsUntil(next_drain, kDrainPeriodMs));
        if (poll(fds, 3, timeout) < 0 && errno != EINTR)
            return;
        if (fds[0].revents & POLLIN)
            return;
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR))
            console.Read();
        if (fds[2].revents & POLLIN)
            sessions.TakeControlEvents(*server);
    }
}

void PrintUsage()
{
    std::printf(
        "usage: gallion-headless [--ini FILE] [--config FILE] [--script FILE] [--control PATH]\n"
        "Reads commands from FILE (with --script), then from standard input, one per line.\n"
        "Every command gets one reply line: \"ok [data]\" or \"error: message\".\n"
        "--ini FILE     the settings file to use instead of Gallion.ini\n"
        "--config FILE  loads the loops of a configuration file at start (exits with status 1 when\n"
        "               it cannot load all of them)\n"
        "--script FILE  commands to run before standard input\n"
        "--control PATH also takes commands from clients of a Unix-domain socket at PATH (for\n"
        "               this user only); the runner then runs until \"quit\" or a signal\n"
        "--help         this text; the command \"help\" lists the commands\n");
}

}  // namespace

int main(int argc, char** argv)
{
    std::string script;
    std::string config;
    std::string control_path;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help") {
            PrintUsage();
            return 0;
        }
        if ((option == "--ini" || option == "--script" || option == "--config" || option == "--control") &&
            i + 1 < argc) {
            const std::string value = argv[++i];
            if (option == "--ini")
                Settings::SetFile(value);
            else if (option == "--script")
                script = value;
            else if (option == "--control")
                control_path = value;
            else
                config = value;
            continue;
        }
        std::fprintf(stderr, "gallion-headless: unknown or incomplete option '%s'\n", option.c_str());
        PrintUsage();
        return 2;
    }

    InstallSignalHandlers();
    Headless_runner runner;
    if (!config.empty()) {
        // A test rig must notice a configuration that did not load: the messages go to standard
        // error and the runner ends with status 1 instead of running without those loops.
        const std::vector<std::string> errors = runner.LoadConfiguration(config);
        for (const std::string& error : errors) {
            std::string line = error;
            for (char& c : line)
                if (c == '\n')
                    c = ' ';
            std::fprintf(stderr, "gallion-headless: %s: %s\n", config.c_str(), line.c_str());
        }
        if (!errors.empty()) {
            runner.RemoveAllLoops();
            return 1;
        }
        for (const std::string& notice : runner.EveryInterfaceNotices())
            std::fprintf(stderr, "gallion-headless: %s: %s\n", config.c_str(), notice.c_str());
    }
    std::unique_ptr<Control_server> server;
    if (!control_path.empty()) {
        try {
            server = std::make_unique<Control_server>(control_path);
        } catch (const Gallion_error& error) {
            std::fprintf(stderr, "gallion-headless: %s\n", error.what());
            runner.RemoveAllLoops();
            return 2;
        }
    }
    std::vector<int> inputs;
    if (!script.empty()) {
        const int fd = open(script.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            std::fprintf(stderr, "gallion-headless: cannot read script '%s': %s\n", script.c_str(),
                         std::strerror(errno));
            return 2;
        }
        inputs.push_back(fd);
    }
    inputs.push_back(STDIN_FILENO);
    Console_input console(inputs);
    Serve(runner, console, server.get());
    // The socket goes first: no client reaches a loop that is being destroyed. The replies
    // already given (the "ok" of a client's "quit") are written first, briefly.
    if (server)
        server->FinishOutput(200);
    server.reset();
    runner.RemoveAllLoops();
    return 0;
}
