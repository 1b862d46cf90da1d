#pragma once
// Runs the real gallion-headless program as a child process: commands go in on a pipe, reply
// lines come back on another. Every read has a deadline.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

class RunnerProcess {
public:
    // With `error_file`, the runner's standard error goes to that file.
    explicit RunnerProcess(const std::vector<std::string>& arguments = {}, const std::string& error_file = "")
    {
        int to_child[2];
        int from_child[2];
        if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        pid_ = fork();
        if (pid_ < 0)
            throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            dup2(to_child[0], STDIN_FILENO);
            dup2(from_child[1], STDOUT_FILENO);
            if (!error_file.empty()) {
                const int error_fd = open(error_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                if (error_fd >= 0)
                    dup2(error_fd, STDERR_FILENO);
            }
            std::vector<char*> argv;
            std::string binary = GALLION_HEADLESS_BINARY;
            argv.push_back(binary.data());
            std::vector<std::string> copies = arguments;
            for (std::string& argument : copies)
                argv.push_back(argument.data());
            argv.push_back(nullptr);
            execv(binary.c_str(), argv.data());
            _exit(127);
        }
        close(to_child[0]);
        close(from_child[1]);
        input_ = to_child[1];
        output_ = from_child[0];
    }

    ~RunnerProcess()
    {
        CloseInput();
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (output_ >= 0)
            close(output_);
    }

    void Send(const std::string& line)
    {
        std::string text = line + "\n";
        size_t done = 0;
        while (done < text.size()) {
            ssize_t n = write(input_, text.data() + done, text.size() - done);
            if (n <= 0)
                throw std::runtime_error("runner input closed");
            done += static_cast<size_t>(n);
        }
    }

    // The next output line, or nothing when the deadline passes first.
    std::optional<std::string> ReadLine(int timeout_ms = 5000)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            size_t end = buffer_.find('\n');
            if (end != std::string::npos) {
                std::string line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0)
                return std::nullopt;
            pollfd fd{output_, POLLIN, 0};
            if (poll(&fd, 1, static_cast<int>(left)) <= 0)
                continue;
            char chunk[4096];
            ssize_t n = read(output_, chunk, sizeof chunk);
            if (n <= 0)
                return std::nullopt;
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }

    // Sends one command and returns its reply line, skipping "traffic" lines printed meanwhile.
    std::string Command(const std::string& line, int timeout_ms = 5000)
    {
        Send(line);
        for (;;) {
            std::optional<std::string> reply = ReadLine(timeout_ms);
            if (!reply)
                return "<no reply>";
            if (reply->rfind("traffic ", 0) != 0)
                return *reply;
            traffic_.push_back(*reply);
        }
    }

    void CloseInput()
    {
        if (input_ >= 0)
            close(input_);
        input_ = -1;
    }

    void Signal(int signal_number) { kill(pid_, signal_number); }

    // The exit code, or nothing when the program has not ended within the deadline.
    std::optional<int> WaitForExit(int timeout_ms)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            int status = 0;
            pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            if (std::chrono::steady_clock::now() > deadline)
                return std::nullopt;
            usleep(2000);
        }
    }

    const std::vector<std::string>& Traffic() const { return traffic_; }

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    bool exited_ = false;
    std::string buffer_;
    std::vector<std::string> traffic_;
};
