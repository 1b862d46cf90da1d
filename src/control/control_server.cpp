#include "control/control_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/error.h"

namespace {

std::string SystemText(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

bool FillAddress(const std::string& path, sockaddr_un& address)
{
    address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

std::string FolderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Whether a program listens on the socket file at `path` (a refused connection: nobody).
bool SocketIsLive(const std::string& path)
{
    sockaddr_un address;
    if (!FillAddress(path, address))
        return false;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return true;  // cannot tell: better refuse than take over a live one
    const int result = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const bool refused = result != 0 && (errno == ECONNREFUSED || errno == ENOENT);
    close(fd);
    return !refused;
}

// Makes room at `path`: nothing there is fine, a socket nobody listens on is removed, anything
// else refuses.
void ClearStaleSocket(const std::string& path)
{
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT)
            return;
        throw Gallion_error("Control socket " + path + ": " + std::strerror(errno));
    }
    if (!S_ISSOCK(info.st_mode))
        throw Gallion_error("Control socket " + path + ": exists and is not a socket (it is never replaced)");
    if (SocketIsLive(path))
        throw Gallion_error("Control socket " + path + ": in use by another running program");
    if (unlink(path.c_str()) != 0 && errno != ENOENT)
        throw Gallion_error("Control socket " + path + ": cannot remove the stale socket: " + std::strerror(errno));
}

// A path that reaches `name` inside the folder open as `folder_fd`, whatever becomes of the
// folder's own name meanwhile (renamed, replaced by a link): the kernel resolves it through the
// descriptor. Only the calling process can use it, from any of its threads.
std::string ThroughDescriptor(int folder_fd, const std::string& name)
{
    return "/proc/self/fd/" + std::to_string(folder_fd) + (name.empty() ? "" : "/" + name);
}

std::string NameOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void SetNonBlocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

}  // namespace

Control_server::Control_server(const std::string& path, size_t max_queued_output)
    : path_(path), max_queued_output_(max_queued_output)
{
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ready_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0 || ready_fd_ < 0) {
        const std::string text = SystemText("Control socket: eventfd");
        if (wake_fd_ >= 0)
            close(wake_fd_);
        if (ready_fd_ >= 0)
            close(ready_fd_);
        throw Gallion_error(text);
    }
    try {
        Listen();
    } catch (...) {
        close(wake_fd_);
        close(ready_fd_);
        throw;
    }
    thread_ = std::thread([this] { Run(); });
}

void (*Control_server::between_bind_and_link_for_test)(const std::string& private_folder) = nullptr;

// The socket is bound inside a new folder only this user may enter, made private there, and only
// then linked to its public name: at no moment can another user connect to it. The folder sits
// beside the public name, where other users may be able to rename it and put a link in its place;
// so after it is created every step goes through descriptors (of the folder beside the name and of
// the private folder), never through the private folder's name again.
void Control_server::Listen()
{
    sockaddr_un address;
    if (!FillAddress(path_, address))
        throw Gallion_error("Control socket " + path_ + ": the path is empty or longer than " +
                            std::to_string(sizeof address.sun_path - 1) + " bytes");
    const int parent = open(FolderOf(path_).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (parent < 0)
        throw Gallion_error(SystemText("Control socket " + path_ + ": cannot open its folder"));
    std::string created = ThroughDescriptor(parent, ".gallion-XXXXXX");
    if (!mkdtemp(created.data())) {
        const std::string text = SystemText("Control socket " + path_ + ": cannot create a private folder beside it");
        close(parent);
        throw Gallion_error(text);
    }
    const std::string folder_name = NameOf(created);
    std::string failure;
    // The folder just made, unless someone replaced it already: then it is no folder of ours
    // with mode 0700 (a link is not followed).
    const int folder = openat(parent, folder_name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat folder_info {};
    if (folder < 0)
        failure = SystemText("the private folder");
    else if (fstat(folder, &folder_info) != 0)
        failure = SystemText("the private folder");
    else if (folder_info.st_uid != geteuid() || (folder_info.st_mode & 0777) != 0700)
        failure = "the private folder was replaced by another user's";
    const std::string private_path = folder >= 0 ? ThroughDescriptor(folder, "s") : std::string();
    sockaddr_un private_address;
    const int fd = failure.empty() ? socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0) : -1;
    bool bound = false;
    if (failure.empty() && fd < 0) {
        failure = SystemText("socket");
    } else if (!failure.empty()) {
        // nothing more to set up
    } else if (!FillAddress(private_path, private_address)) {
        failure = "the folder's path is too long for a socket";
    } else if (fchmod(fd, 0600) != 0) {  // the file bind creates takes this mode (less the umask)
        failure = SystemText("fchmod");
    } else if (bind(fd, reinterpret_cast<const sockaddr*>(&private_address), sizeof private_address) != 0) {
        failure = SystemText("bind");
    } else {
        bound = true;
        if (between_bind_and_link_for_test)
            between_bind_and_link_for_test(FolderOf(path_) + "/" + folder_name);
        if (fchmodat(folder, "s", 0600, 0) != 0)  // nobody else can put anything in the private folder
            failure = SystemText("chmod");
        else if (listen(fd, 64) != 0)
            failure = SystemText("listen");
    }
    if (failure.empty()) {
        try {
            ClearStaleSocket(path_);
        } catch (const Gallion_error& error) {
            failure = error.what();
        }
    }
    // linkat() fails when someone has put a file at the path meanwhile: it never replaces one.
    if (failure.empty() && linkat(folder, "s", AT_FDCWD, path_.c_str(), 0) != 0)
        failure = SystemText("Control socket " + path_);
    struct stat socket_info {};
    if (failure.empty() && fstatat(folder, "s", &socket_info, AT_SYMLINK_NOFOLLOW) == 0) {
        socket_device_ = socket_info.st_dev;  // the public name is ours to remove only while it is this file
        socket_inode_ = socket_info.st_ino;
    }
    if (bound)
        unlinkat(folder, "s", 0);
    // The private folder goes by its name only while that name is still the folder we opened.
    struct stat named {};
    if (folder >= 0 && fstatat(parent, folder_name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(named.st_mode) && named.st_dev == folder_info.st_dev && named.st_ino == folder_info.st_ino)
        unlinkat(parent, folder_name.c_str(), AT_REMOVEDIR);
    if (folder >= 0)
        close(folder);
    close(parent);
    if (!failure.empty()) {
        if (fd >= 0)
            close(fd);
        throw Gallion_error(failure.rfind("Control socket", 0) == 0 ? failure
                                                                    : "Control socket " + path_ + ": " + failure);
    }
    listen_fd_ = fd;
}

Control_server::~Control_server()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        hold_for_test_ = false;
    }
    held_changed_.notify_all();
    Wake();
    if (thread_.joinable())
        thread_.join();
    for (auto& [id, client] : clients_)
        close(client.fd);
    clients_.clear();
    close(listen_fd_);
    // Only our own socket file is removed: another program may have taken the name since.
    struct stat info {};
    if (stat(path_.c_str(), &info) == 0 && info.st_dev == socket_device_ && info.st_ino == socket_inode_)
        unlink(path_.c_str());
    close(wake_fd_);
    close(ready_fd_);
}

void Control_server::Wake()
{
    const uint64_t one = 1;
    ssize_t ignored = write(wake_fd_, &one, sizeof one);
    (void)ignored;
}

void Control_server::Post(Control_event event)
{
    events_.push_back(std::move(event));
    const uint64_t one = 1;
    ssize_t ignored = write(ready_fd_, &one, sizeof one);
    (void)ignored;
}

std::vector<Control_event> Control_server::TakeEvents()
{
    uint64_t count = 0;
    ssize_t ignored = read(ready_fd_, &count, sizeof count);
    (void)ignored;
    std::vector<Control_event> taken;
    bool resume_reading = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        taken.swap(events_);
        for (const Control_event& event : taken) {
            if (event.kind != Control_event::Kind::line)
                continue;
            auto found = clients_.find(event.client);
            if (found != clients_.end() && found->second.waiting_lines-- == kMaxWaitingLines)
                resume_reading = true;
        }
    }
    if (resume_reading)
        Wake();
    return taken;
}

bool Control_server::Send(uint64_t client, const std::string& line)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = clients_.find(client);
        if (found == clients_.end() || found->second.dropped)
            return false;
        Client& target = found->second;
        if (target.output.size() + line.size() + 1 > max_queued_output_) {
            target.dropped = true;
            target.output.clear();
            target.output.shrink_to_fit();
        } else {
            target.output += line;
            target.output += '\n';
        }
    }
    Wake();
    return true;
}

void Control_server::CloseAfterOutput(uint64_t client)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = clients_.find(client);
        if (found == clients_.end())
            return;
        found->second.close_when_sent = true;
    }
    Wake();
}

void Control_server::FinishOutput(int most_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(most_ms);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            bool written = true;
            for (const auto& [id, client] : clients_)
                written = written && (client.output.empty() || client.dropped);
            if (written)
                return;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

size_t Control_server::ClientCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return clients_.size();
}

void Control_server::HoldForTest(bool hold)
{
    std::unique_lock<std::mutex> lock(mutex_);
    hold_for_test_ = hold;
    held_changed_.notify_all();
    if (!hold)
        return;
    lock.unlock();
    Wake();
    lock.lock();
    held_changed_.wait(lock, [this] { return held_ || stopping_; });
}

void Control_server::Run()
{
    std::vector<pollfd> fds;
    std::vector<uint64_t> ids;
    while (!stopping_) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (hold_for_test_) {
                held_ = true;
                held_changed_.notify_all();
                held_changed_.wait(lock, [this] { return !hold_for_test_ || stopping_; });
                held_ = false;
            }
        }
        if (stopping_)
            break;
        fds.clear();
        ids.clear();
        fds.push_back({wake_fd_, POLLIN, 0});
        fds.push_back({listen_fd_, POLLIN, 0});
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (auto& [id, client] : clients_) {
                short wanted = 0;
                const bool may_read = client.reading && client.waiting_lines < kMaxWaitingLines;
                if (may_read)
                    wanted |= POLLIN;
                if (!client.output.empty())
                    wanted |= POLLOUT;
                // A client held back until the owner catches up is left out (its hang-up would
                // wake the thread over and over); one that reads no more stays in, so its hang-up
                // is seen.
                if (wanted == 0 && client.reading)
                    continue;
                fds.push_back({client.fd, wanted, 0});
                ids.push_back(id);
            }
        }
        if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
            break;
        if (fds[0].revents & POLLIN) {
            uint64_t count = 0;
            ssize_t ignored = read(wake_fd_, &count, sizeof count);
            (void)ignored;
        }
        if (stopping_)
            break;
        std::lock_guard<std::mutex> lock(mutex_);
        // The clients first: one that has hung up frees its place before new ones are taken.
        for (size_t i = 0; i < ids.size(); ++i) {
            auto found = clients_.find(ids[i]);
            if (found == clients_.end())
                continue;
            Client& client = found->second;
            const short events = fds[i + 2].revents;
            if (client.dropped)
                continue;
            if (client.reading && (events & (POLLIN | POLLHUP | POLLERR)))
                ReadFrom(ids[i], client, (events & (POLLHUP | POLLERR)) != 0);
            else if (!client.reading && (events & (POLLHUP | POLLERR)))
                EndConnection(client);
            if (!client.output.empty())
                WriteTo(client);
        }
        // Connections to end: dropped, failed, or done with their output.
        for (auto it = clients_.begin(); it != clients_.end();) {
            Client& client = it->second;
            const bool finished = client.close_when_sent && client.output.empty();
            if (client.dropped || finished) {
                const uint64_t id = it->first;
                CloseClient(id, client);
                it = clients_.erase(it);
            } else {
                ++it;
            }
        }
        if (fds[1].revents & POLLIN)
            AcceptAll();
    }
}

void Control_server::AcceptAll()
{
    for (;;) {
        const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            return;  // nothing more waiting (or a connection that failed before it was taken)
        // Only this user's programs: the socket's mode says so already, the peer's identity
        // makes sure of it whatever happens to the file.
        ucred peer {};
        socklen_t size = sizeof peer;
        const bool same_user = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == geteuid();
        if (!same_user || clients_.size() >= kMaxClients) {
            const char refusal[] = "error: too many connections\n";
            if (same_user)
                send(fd, refusal, sizeof refusal - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            close(fd);
            continue;
        }
        SetNonBlocking(fd);
        Client client;
        client.fd = fd;
        clients_.emplace(next_client_++, std::move(client));
    }
}

void Control_server::ReadFrom(uint64_t id, Client& client, bool hung_up)
{
    char buffer[4096];
    const ssize_t n = recv(client.fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return;
        EndConnection(client);
        return;
    }
    if (n == 0) {
        // A partial line at the end is dropped: a cut command must not be carried out.
        client.reading = false;
        client.input.clear();
        Post({Control_event::Kind::input_ended, id, {}});
        // Closed altogether, not just its sending side: nothing can reach it any more, so its
        // place is freed in this round.
        if (hung_up)
            EndConnection(client);
        return;
    }
    client.input.append(buffer, static_cast<size_t>(n));
    size_t start = 0;
    for (;;) {
        const size_t end = client.input.find('\n', start);
        if (end == std::string::npos)
            break;
        if (end - start > kMaxLineBytes)
            break;
        std::string line = client.input.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        Post({Control_event::Kind::line, id, std::move(line)});
        ++client.waiting_lines;
        start = end + 1;
    }
    client.input.erase(0, start);
    const size_t end = client.input.find('\n');
    const size_t line_length = end == std::string::npos ? client.input.size() : end;
    if (line_length > kMaxLineBytes) {
        client.reading = false;
        client.input.clear();
        client.input.shrink_to_fit();
        Post({Control_event::Kind::line_too_long, id, {}});
    }
}

void Control_server::WriteTo(Client& client)
{
    const ssize_t n = send(client.fd, client.output.data(), client.output.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
        client.output.erase(0, static_cast<size_t>(n));
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    EndConnection(client);
}

void Control_server::EndConnection(Client& client)
{
    // The peer has gone: nothing more can reach it.
    client.reading = false;
    client.output.clear();
    client.close_when_sent = true;
}

void Control_server::CloseClient(uint64_t id, Client& client)
{
    if (client.fd >= 0) {
        close(client.fd);
        client.fd = -1;
    }
    Post({Control_event::Kind::gone, id, {}});
}
