#include "platform/stop_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace {

int stop_pipe[2] = {-1, -1};

void OnStopSignal(int)
{
    const char byte = 1;
    ssize_t ignored = write(stop_pipe[1], &byte, 1);
    (void)ignored;
}

}  // namespace

int WatchStopSignals()
{
    if (stop_pipe[0] >= 0)
        return stop_pipe[0];
    if (pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return -1;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return stop_pipe[0];
}
