#include "common/logfile.h"

#include "common/clock.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "common/error.h"

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

const File_role kPumpLogRole{"log file", "the log of another pump"};
const File_role kWireTraceRole{"trace file", "the wire trace of a loop"};

Logfile::Logfile(const std::string& file_name, const File_role& role)
{
    // What exists and is no regular file is not even opened (opening a device can act on it).
    struct stat existing {};
    if (stat(file_name.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode))
        throw CannotCreate(role, file_name, kNotRegular);
    // No O_TRUNC here: the file is emptied only once it is known to be a regular file that no
    // other pump logs into. O_NONBLOCK keeps a named pipe without reader from blocking the open.
    fd_ = open(file_name.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        int error = errno;
        throw CannotCreate(role, file_name, error == ENXIO ? kNotRegular : std::strerror(error));  // ENXIO: a pipe
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
