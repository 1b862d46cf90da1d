#include "common/logfile.h"

#include "common/clock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/error.h"

Logfile::Logfile(const std::string& file_name)
{
    fd_ = open(file_name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0)
        throw Gallion_error("Cannot create log file \"" + file_name + "\": " + std::strerror(errno));
}

Logfile::~Logfile()
{
    if (fd_ >= 0)
        close(fd_);
}

void Logfile::Write(const char* bytes, size_t count)
{
    if (fd_ < 0 || bytes == nullptr)
        return;
    size_t done = 0;
    while (done < count) {
        ssize_t n = write(fd_, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return;  // disk full or the like: a log line is lost, the engine goes on
    }
}

void Logfile::WriteLine(const std::string& text)
{
    std::string line = text + "\r\n";
    Write(line.data(), line.size());
}

const char* const kLogStarLine = "*********************************************************";

void WriteLoggingStarted(Logfile& file)
{
    file.WriteLine("*      Logging started : " + DateText24(WallSeconds()) + " ");
}

void WriteLoggingAborted(Logfile& file)
{
    file.WriteLine(kLogStarLine);
    file.WriteLine("Logging aborted at " + DateText24(WallSeconds()) + " ");
}
