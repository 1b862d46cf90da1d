#include "config/config_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cerrno>
#include <cstring>

namespace {

// Reading stops here: no configuration file of a real run comes near it, and a file chosen by
// mistake (a disk image, say) is not read whole into memory.
constexpr size_t kMaxFileBytes = 64 * 1024 * 1024;

// ---------------------------------------------------------------------------------------------
// Files

std::string CannotWriteText(const std::string& name, int error)
{
    return "Cannot write the configuration file " + name + ": " + std::strerror(error);
}

std::string FolderOf(const std::string& name)
{
    const size_t slash = name.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : name.substr(0, slash);
}

bool WriteAll(int fd, const std::vector<uint8_t>& bytes)
{
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = EIO;
        if (n <= 0)
            return false;
        written += static_cast<size_t>(n);
    }
    return true;
}

// The permissions the new file gets: those of the file it replaces, else read-write for the
// owner and readable for others.
mode_t ModeFor(const std::string& name)
{
    struct stat status {};
    if (::stat(name.c_str(), &status) == 0)
        return status.st_mode & 07777;
    return 0644;
}

// The file a save writes: `name` itself, or where the symbolic link `name` ends up (through a
// chain of links, relative targets taken from the folder of their link), so the save changes the
// target and the link stays. A target that does not exist yet is created. Empty and an error
// code when the chain cannot be followed (a loop, an unreadable link).
std::string SaveTarget(const std::string& name, int& error)
{
    std::string path = name;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat status {};
        if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode))
            return path;
        std::vector<char> target(PATH_MAX + 1);
        const ssize_t length = ::readlink(path.c_str(), target.data(), target.size() - 1);
        if (length < 0) {
            error = errno;
            return "";
        }
        std::string next(target.data(), static_cast<size_t>(length));
        path = (!next.empty() && next[0] == '/') ? next : FolderOf(path) + "/" + next;
    }
    error = ELOOP;
    return "";
}

// Writes `bytes` to a temporary file beside `name` (beside the target when `name` is a symbolic
// link), puts it on the disk and renames it into place.
std::string ReplaceFile(const std::string& link_or_name, const std::vector<uint8_t>& bytes)
{
    int link_error = 0;
    const std::string name = SaveTarget(link_or_name, link_error);
    if (name.empty())
        return CannotWriteText(link_or_name, link_error);
    std::string temporary = name + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0)
        return CannotWriteText(link_or_name, errno);

    int error = 0;
    if (::fchmod(fd, ModeFor(name)) != 0 || !WriteAll(fd, bytes) || ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temporary.c_str(), name.c_str()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        return CannotWriteText(link_or_name, error);
    }

    // Make the rename itself durable; a folder that cannot be synced leaves the file in place.
    const int folder = ::open(FolderOf(name).c_str(), O_RDONLY | O_DIRECTORY);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return "";
}

// The file's bytes; empty when it cannot be read or is not a regular file (a FIFO or a device
// would block or never end). The open does not wait, whatever `name` is.
std::vector<uint8_t> ReadFileBytes(const std::string& name)
{
    std::vector<uint8_t> bytes;
    const int fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return bytes;
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        uint8_t buffer[65536];
        while (bytes.size() < kMaxFileBytes) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            bytes.insert(bytes.end(), buffer, buffer + n);
        }
    }
    ::close(fd);
    return bytes;
}

}  // namespace

Decode_result ReadConfigurationFile(const std::string& name)
{
    return DecodeConfiguration(ReadFileBytes(name));
}

std::string WriteConfigurationFile(const std::string& name, const Configuration& configuration)
{
    if (name.empty())
        return "";
    try {
        return ReplaceFile(name, EncodeConfiguration(configuration));
    } catch (const std::exception& error) {
        return error.what();
    }
}
