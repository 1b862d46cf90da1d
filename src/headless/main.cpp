// gallion-headless: Gallion without windows, driven by commands on standard input (and an
// optional script file), one reply line per command.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "common/settings.h"
#include "headless/runner.h"

namespace {

int signal_pipe[2] = {-1, -1};

void OnSignal(int)
{
    const char byte = 1;
    ssize_t ignored = write(signal_pipe[1], &byte, 1);
    (void)ignored;
}

void InstallSignalHandlers()
{
    if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

// Prints one line and flushes it at once, so a driving program sees every reply when it comes.
void PrintLine(const std::string& text)
{
    std::string line = text;
    for (char& c : line)
        if (c == '\n' || c == '\r')
            c = ' ';
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

std::vector<std::string> SplitWords(const std::string& line)
{
    std::istringstream stream(line);
    std::vector<std::string> words;
    std::string word;
    while (stream >> word)
        words.push_back(word);
    return words;
}

int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

const int kDrainPeriodMs = 200;

// Reads lines from a file descriptor while the traffic keeps being printed every 200 ms and a
// signal ends the run. Owns the partial line between reads.
class Command_source {
public:
    Command_source(int fd) : fd_(fd) {}
    enum class Result { Line, End, Signal };

    // Waits for the next line; drains traffic meanwhile.
    Result Next(Headless_runner& runner, std::string& line)
    {
        for (;;) {
            if (TakeLine(line))
                return Result::Line;
            if (at_end_) {
                if (pending_.empty())
                    return Result::End;
                line.swap(pending_);
                pending_.clear();
                return Result::Line;
            }
            Result waited = WaitForInput(runner, kDrainPeriodMs);
            if (waited == Result::Signal)
                return waited;
        }
    }

private:
    bool TakeLine(std::string& line)
    {
        size_t end = pending_.find('\n');
        if (end == std::string::npos)
            return false;
        line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return true;
    }

    Result WaitForInput(Headless_runner& runner, int timeout_ms)
    {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {signal_pipe[0], POLLIN, 0}};
        int ready = poll(fds, 2, timeout_ms);
        if (ready < 0 && errno != EINTR)
            at_end_ = true;
        if (fds[1].revents & POLLIN)
            return Result::Signal;
        if (ready > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            char buffer[4096];
            ssize_t n = read(fd_, buffer, sizeof buffer);
            if (n > 0)
                pending_.append(buffer, static_cast<size_t>(n));
            else if (n == 0 || (errno != EINTR && errno != EAGAIN))
                at_end_ = true;
        }
        runner.DrainTraffic(PrintLine);
        return Result::Line;
    }

    int fd_;
    std::string pending_;
    bool at_end_ = false;
};

// Waits `ms` milliseconds, printing traffic meanwhile; false when a signal came.
bool Pause(Headless_runner& runner, int ms)
{
    const int64_t until = NowMs() + ms;
    for (;;) {
        runner.DrainTraffic(PrintLine);
        const int64_t left = until - NowMs();
        if (left <= 0)
            return true;
        pollfd fd{signal_pipe[0], POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(std::min<int64_t>(left, kDrainPeriodMs))) > 0)
            return false;
    }
}

enum class Outcome { Continue, Quit };

// Carries out one input line; Quit on "quit" or a signal during "sleep".
Outcome RunLine(Headless_runner& runner, const std::string& raw_line)
{
    std::string line = raw_line;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    std::vector<std::string> words = SplitWords(line);
    if (words.empty() || words[0][0] == '#')
        return Outcome::Continue;
    if (words[0] == "quit") {
        PrintLine(words.size() == 1 ? "ok" : "error: usage: quit");
        return words.size() == 1 ? Outcome::Quit : Outcome::Continue;
    }
    if (words[0] == "help") {
        PrintLine("ok " + Headless_runner::HelpText());
        return Outcome::Continue;
    }
    if (words[0] == "sleep") {
        int ms = 0;
        if (words.size() != 2 || !ParseInt(words[1], ms) || ms < 0) {
            PrintLine("error: usage: sleep MS");
            return Outcome::Continue;
        }
        const bool completed = Pause(runner, ms);
        PrintLine("ok");
        return completed ? Outcome::Continue : Outcome::Quit;
    }
    Reply reply = runner.Execute(words);
    PrintLine(reply.ok ? (reply.text.empty() ? "ok" : "ok " + reply.text) : "error: " + reply.text);
    return Outcome::Continue;
}

// Runs every line from the descriptor; Quit when the run must end.
Outcome RunSource(Headless_runner& runner, int fd)
{
    Command_source source(fd);
    std::string line;
    for (;;) {
        Command_source::Result result = source.Next(runner, line);
        if (result == Command_source::Result::Signal)
            return Outcome::Quit;
        if (result == Command_source::Result::End)
            return Outcome::Continue;
        if (RunLine(runner, line) == Outcome::Quit)
            return Outcome::Quit;
    }
}

void PrintUsage()
{
    std::printf(
        "usage: gallion-headless [--ini FILE] [--config FILE] [--script FILE]\n"
        "Reads commands from FILE (with --script), then from standard input, one per line.\n"
        "Every command gets one reply line: \"ok [data]\" or \"error: message\".\n"
        "--ini FILE     the settings file to use instead of Gallion.ini\n"
        "--config FILE  loads the loops of a configuration file at start (exits with status 1 when\n"
        "               it cannot load all of them)\n"
        "--script FILE  commands to run before standard input\n"
        "--help         this text; the command \"help\" lists the commands\n");
}

}  // namespace

int main(int argc, char** argv)
{
    std::string script;
    std::string config;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help") {
            PrintUsage();
            return 0;
        }
        if ((option == "--ini" || option == "--script" || option == "--config") && i + 1 < argc) {
            const std::string value = argv[++i];
            if (option == "--ini")
                Settings::SetFile(value);
            else if (option == "--script")
                script = value;
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
    Outcome outcome = Outcome::Continue;
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
    }
    if (!script.empty()) {
        int fd = open(script.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            std::fprintf(stderr, "gallion-headless: cannot read script '%s': %s\n", script.c_str(),
                         std::strerror(errno));
            return 2;
        }
        outcome = RunSource(runner, fd);
        close(fd);
    }
    if (outcome == Outcome::Continue)
        RunSource(runner, STDIN_FILENO);
    runner.RemoveAllLoops();
    return 0;
}
