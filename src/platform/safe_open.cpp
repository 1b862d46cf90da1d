#include "platform/safe_open.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

const char* const kForeignLinkReason =
    "a symbolic link of another user in a folder that everybody may write to (not followed)";

namespace {

// A folder where other users may create names but not remove ours: world-writable and sticky.
bool SharedStickyFolder(const struct stat& folder)
{
    return (folder.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH);
}

}  // namespace

int OpenForWriting(const std::string& file_name, int flags, mode_t mode, std::string& reason)
{
    const size_t slash = file_name.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : file_name.substr(0, slash);
    const std::string name = slash == std::string::npos ? file_name : file_name.substr(slash + 1);
    if (name.empty()) {
        const int fd = open(file_name.c_str(), flags | O_CLOEXEC, mode);  // a folder: open says why not
        if (fd < 0)
            reason = std::strerror(errno);
        return fd;
    }
    const int dir = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        reason = std::strerror(errno);
        return -1;
    }
    struct stat folder_info {};
    if (fstat(dir, &folder_info) != 0) {
        reason = std::strerror(errno);
        close(dir);
        return -1;
    }
    const bool shared = SharedStickyFolder(folder_info);
    int fd = -1;
    int error = 0;
    bool followed = true;
    // A few rounds at most: each one is lost only to a link created between the look and the open.
    for (int round = 0; round < 8; ++round) {
        bool follow = true;
        if (shared) {
            struct stat link_info {};
            const bool is_link =
                fstatat(dir, name.c_str(), &link_info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(link_info.st_mode);
            if (is_link && link_info.st_uid != geteuid() && link_info.st_uid != folder_info.st_uid) {
                close(dir);
                reason = kForeignLinkReason;
                return -1;
            }
            follow = is_link;
        }
        fd = openat(dir, name.c_str(), flags | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW), mode);
        error = errno;
        followed = follow;
        if (fd >= 0 || follow || error != ELOOP)
            break;
    }
    close(dir);
    if (fd < 0)
        reason = error == ELOOP && !followed ? kForeignLinkReason : std::strerror(error);
    return fd;
}
