#include "platform/pty_line.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/port_name.h"

namespace {

// "/dev/pts/" followed by digits only: the name of a pseudo-terminal's slave.
bool IsPseudoTerminalSlavePath(const std::string& path)
{
    const std::string prefix = "/dev/pts/";
    if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0)
        return false;
    return path.find_first_not_of("0123456789", prefix.size()) == std::string::npos;
}

}  // namespace

Pty_line::Pty_line(const std::string& port_name, const std::string& link_path) : port_name_(port_name)
{
    try {
        Create(link_path);
    } catch (...) {
        if (slave_keeper_fd_ >= 0)
            close(slave_keeper_fd_);
        throw;  // the master closes with the base
    }
}

Pty_line::~Pty_line()
{
    RemoveLink();
    Close();
    if (slave_keeper_fd_ >= 0)
        close(slave_keeper_fd_);
}

// The pseudo-terminal must keep its slave path for the controller: it is set up again in place
// instead of being created anew.
void Pty_line::Reopen()
{
    if (fd_ < 0)
        throw InvalidPort(port_name_, "the pseudo-terminal is closed");
    ApplyLineSettings(fd_);
}

bool Pty_line::MakeRoom()
{
    // A full line means nobody reads the slave: what waits there unread goes.
    tcflush(slave_keeper_fd_, TCIFLUSH);
    return true;
}

void Pty_line::Create(const std::string& link_path)
{
    // The link's place is checked first, so a refused link leaves no pseudo-terminal behind.
    if (!link_path.empty())
        CheckLinkPlace(link_path);

    fd_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (fd_ < 0)
        throw InvalidPort(port_name_, std::string("no pseudo-terminal: ") + std::strerror(errno));
    fcntl(fd_, F_SETFD, FD_CLOEXEC);
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
    char slave_name[128] = {};
    if (grantpt(fd_) != 0 || unlockpt(fd_) != 0 || ptsname_r(fd_, slave_name, sizeof slave_name) != 0)
        throw InvalidPort(port_name_, std::string("no pseudo-terminal: ") + std::strerror(errno));
    device_path_ = slave_name;

    // Our own descriptor on the slave keeps the line up while no controller has it open, so the
    // master never sees a hang-up. The slave's settings are what the controller's bytes pass
    // through, so they are made raw here.
    slave_keeper_fd_ = open(slave_name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave_keeper_fd_ < 0)
        throw InvalidPort(slave_name, std::strerror(errno));
    ApplyLineSettings(slave_keeper_fd_);
    ApplyLineSettings(fd_);

    if (link_path.empty())
        return;
    // Checked again right before the link is made: only a stale link is ever removed. Should
    // another program put something there in between, symlink fails with EEXIST instead of
    // replacing it.
    if (CheckLinkPlace(link_path) && unlink(link_path.c_str()) != 0 && errno != ENOENT)
        throw InvalidPort(link_path, std::string("cannot remove the stale link: ") + std::strerror(errno));
    if (symlink(slave_name, link_path.c_str()) != 0) {
        int error = errno;
        throw InvalidPort(link_path, error == EEXIST ? "another program made a file there just now"
                                                     : std::string("cannot make the link: ") + std::strerror(error));
    }
    link_path_ = link_path;
}

// Whether the link may go at the path: nothing there (false), or a stale link, one to a
// pseudo-terminal that no longer exists, which may be replaced (true). Anything else belongs to
// someone else and refuses the line with the reason.
bool Pty_line::CheckLinkPlace(const std::string& link_path)
{
    struct stat existing {};
    if (lstat(link_path.c_str(), &existing) != 0) {
        if (errno == ENOENT)
            return false;
        throw InvalidPort(link_path, std::strerror(errno));
    }
    if (!S_ISLNK(existing.st_mode))
        throw InvalidPort(link_path, "exists and is not a link (it is never replaced)");
    char target[PATH_MAX] = {};
    ssize_t length = readlink(link_path.c_str(), target, sizeof target - 1);
    if (length < 0)
        throw InvalidPort(link_path, std::strerror(errno));
    std::string destination(target, static_cast<size_t>(length));
    if (!IsPseudoTerminalSlavePath(destination))
        throw InvalidPort(link_path, "a link to " + destination + ", not to a pseudo-terminal");
    struct stat device {};
    if (lstat(destination.c_str(), &device) == 0)
        throw InvalidPort(link_path, "a link to a live pseudo-terminal (" + destination +
                                         ") of another program or loop");
    if (errno != ENOENT)
        throw InvalidPort(link_path, destination + ": " + std::strerror(errno));
    return true;  // the pseudo-terminal is gone: a leftover of a program that ended
}

void Pty_line::RemoveLink()
{
    if (link_path_.empty())
        return;
    char target[256] = {};
    ssize_t length = readlink(link_path_.c_str(), target, sizeof target - 1);
    if (length > 0 && std::string(target, static_cast<size_t>(length)) == device_path_)
        unlink(link_path_.c_str());
    link_path_.clear();
}
