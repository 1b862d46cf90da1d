#include "platform/logfile.h"

#include "platform/clock.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "platform/error.h"
#include "platform/safe_open.h"

namespace {

// The pump logs open in this process, by file identity (device and inode: the same file under
// any name, also through links), with the canonical path for the message.
class OpenLogs {
public:
    static OpenLogs& Instance()
    {
        static OpenLogs instance;
        return instance;
    }
    // False (and what holds the file, with its path) when the file is open already.
    bool Add(unsigned long long device, unsigned long long inode, const std::string& path, const File_role& role,
             std::string& holder)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto inserted = paths_.emplace(std::make_pair(device, inode), Holder{path, role.holder});
        if (!inserted.second)
            holder = std::string(inserted.first->second.holder) + " (" + inserted.first->second.path + ")";
        return inserted.second;
    }
    void Remove(unsigned long long device, unsigned long long inode)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        paths_.erase(std::make_pair(device, inode));
    }
    bool Contains(unsigned long long device, unsigned long long inode)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return paths_.count(std::make_pair(device, inode)) != 0;
    }

private:
    struct Holder {
        std::string path;
        const char* holder;
    };
    std::mutex mutex_;
    std::map<std::pair<unsigned long long, unsigned long long>, Holder> paths_;
};

std::string CanonicalPathOf(const std::string& file_name)
{
    char* resolved = realpath(file_name.c_str(), nullptr);
    if (resolved == nullptr)
        return file_name;
    std::string path(resolved);
    free(resolved);
    return path;
}

Gallion_error CannotCreate(const File_role& role, const std::string& file_name, const std::string& reason)
{
    return Gallion_error(std::string("Cannot create ") + role.what + " \"" + file_name + "\": " + reason);
}

const char* const kNotRegular = "not a regular file";

}  // namespace

const File_role kPumpLogRole{"log file", "the log of another pump", "lines"};
const File_role kWireTraceRole{"trace file", "the wire trace of a loop", "frames"};

Logfile::Logfile(const std::string& file_name, const File_role& role) : role_(role), file_name_(file_name)
{
    // What exists and is no regular file is not even opened (opening a device can act on it).
    struct stat existing {};
    if (stat(file_name.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode))
        throw CannotCreate(role, file_name, kNotRegular);
    // No O_TRUNC here: the file is emptied only once it is known to be a regular file that no
    // other pump logs into. O_NONBLOCK keeps a named pipe without reader from blocking the open.
    std::string reason;
    fd_ = OpenForWriting(file_name, O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY, 0644, reason);
    if (fd_ < 0) {
        const bool pipe = reason == std::strerror(ENXIO);  // a named pipe without reader
        throw CannotCreate(role, file_name, pipe ? kNotRegular : reason);
    }
    struct stat info {};
    if (fstat(fd_, &info) != 0) {
        int error = errno;
        close(fd_);
        fd_ = -1;
        throw CannotCreate(role, file_name, std::strerror(error));
    }
    if (!S_ISREG(info.st_mode)) {
        close(fd_);
        fd_ = -1;
        throw CannotCreate(role, file_name, kNotRegular);
    }
    canonical_path_ = CanonicalPathOf(file_name);
    device_ = static_cast<unsigned long long>(info.st_dev);
    inode_ = static_cast<unsigned long long>(info.st_ino);
    std::string holder;
    if (!OpenLogs::Instance().Add(device_, inode_, canonical_path_, role, holder)) {
        close(fd_);
        fd_ = -1;
        throw CannotCreate(role, file_name, "already open as " + holder);
    }
    int flags = fcntl(fd_, F_GETFL);
    if (flags < 0 || fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0 || ftruncate(fd_, 0) != 0) {
        int error = errno;
        close(fd_);
        fd_ = -1;
        OpenLogs::Instance().Remove(device_, inode_);
        throw CannotCreate(role, file_name, std::strerror(error));
    }
}

Logfile::~Logfile()
{
    if (fd_ >= 0) {
        close(fd_);
        OpenLogs::Instance().Remove(device_, inode_);
    }
}

bool Logfile::IsOpenAsLog(const std::string& file_name)
{
    struct stat info {};
    if (stat(file_name.c_str(), &info) != 0)
        return false;
    return OpenLogs::Instance().Contains(static_cast<unsigned long long>(info.st_dev),
                                         static_cast<unsigned long long>(info.st_ino));
}

bool Logfile::WriteAll(const char* bytes, size_t count, int& error)
{
    size_t done = 0;
    while (done < count) {
        ssize_t n = write(fd_, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        error = n < 0 ? errno : EIO;
        return false;
    }
    whole_size_ += static_cast<long long>(count);
    return true;
}

// Takes back what a failed write had begun, so the file ends where the last whole write ended.
void Logfile::CutBackToWholeWrites()
{
    if (ftruncate(fd_, whole_size_) == 0)
        lseek(fd_, whole_size_, SEEK_SET);
}

bool Logfile::Write(const char* bytes, size_t count, uint64_t records)
{
    if (fd_ < 0 || bytes == nullptr)
        return false;
    if (Failed()) {
        std::lock_guard<std::mutex> lock(failure_mutex_);
        lost_records_ += records;
        return false;
    }
    int error = 0;
    if (WriteAll(bytes, count, error))
        return true;
    CutBackToWholeWrites();
    {
        std::lock_guard<std::mutex> lock(failure_mutex_);
        failure_reason_ = std::strerror(error);
        lost_records_ += records;
    }
    failed_.store(true, std::memory_order_release);
    // Once, when it happens: the engine goes on, the owner sees the count grow in FailureText.
    std::fprintf(stderr, "gallion: Writing %s \"%s\" failed: %s\n", role_.what, file_name_.c_str(),
                 std::strerror(error));
    return false;
}

bool Logfile::WriteLine(const std::string& text)
{
    std::string line = text + "\r\n";
    return Write(line.data(), line.size());
}

void Logfile::WriteClosing(const std::string& text)
{
    if (fd_ < 0)
        return;
    int error = 0;
    if (!WriteAll(text.data(), text.size(), error))
        CutBackToWholeWrites();
}

std::string Logfile::FailureReason() const
{
    std::lock_guard<std::mutex> lock(failure_mutex_);
    return failure_reason_;
}

uint64_t Logfile::LostRecords() const
{
    std::lock_guard<std::mutex> lock(failure_mutex_);
    return lost_records_;
}

std::string Logfile::FailureText() const
{
    if (!Failed())
        return "";
    std::lock_guard<std::mutex> lock(failure_mutex_);
    return std::string("Writing ") + role_.what + " \"" + file_name_ + "\" failed: " + failure_reason_ + "; " +
           std::to_string(lost_records_) + " " + role_.unit + " lost";
}

const char* const kLogStarLine = "*********************************************************";

void WriteLoggingStarted(Logfile& file)
{
    file.WriteLine("*      Logging started : " + DateText24(WallSeconds()) + " ");
}

void WriteLoggingAborted(Logfile& file)
{
    std::string closing;
    if (file.Failed())
        closing += "Write failed: " + file.FailureReason() + "; " + std::to_string(file.LostRecords()) +
                   " lines lost\r\n";
    closing += std::string(kLogStarLine) + "\r\n";
    closing += "Logging aborted at " + DateText24(WallSeconds()) + " \r\n";
    file.WriteClosing(closing);
}
