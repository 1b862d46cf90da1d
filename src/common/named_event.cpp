#include "common/named_event.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "common/error.h"

// The creator holds an open-file-description lock on the first byte for as long as it lives. The
// kernel drops that lock when the creator's descriptor goes, also when the process is killed, so
// "is there a live creator" is a lock query that never takes the lock itself (a query that took
// it could make a concurrent Create fail for no reason).
struct NamedEvent::Shared {
    std::atomic<int> flag;
};

static_assert(std::atomic<int>::is_always_lock_free, "the shared flag must be lock-free");

namespace {

std::string ShmName(const std::string& name)
{
    return "/gallion-" + NamedEvent::SafeName(name);
}

flock CreatorLock(short type)
{
    flock lock{};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 1;
    return lock;
}

bool HasLiveCreator(int fd)
{
    flock query = CreatorLock(F_WRLCK);
    if (fcntl(fd, F_OFD_GETLK, &query) != 0)
        return false;
    return query.l_type != F_UNLCK;
}

void* MapShared(int fd, size_t size)
{
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return memory == MAP_FAILED ? nullptr : memory;
}

}  // namespace

std::string NamedEvent::SafeName(const std::string& name)
{
    std::string safe = name;
    for (char& c : safe) {
        bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                       c == '_' || c == '-';
        if (!allowed)
            c = '_';
    }
    return safe;
}

std::unique_ptr<NamedEvent> NamedEvent::Create(const std::string& name)
{
    std::string shm_name = ShmName(name);
    if (shm_name.size() > 250)
        throw Gallion_error("Cannot create event \"" + name + "\": name too long");
    int fd = shm_open(shm_name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        throw Gallion_error("Cannot create event \"" + name + "\": " + std::strerror(errno));
    flock lock = CreatorLock(F_WRLCK);
    if (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        close(fd);
        throw Gallion_error("Cannot create event \"" + name + "\": it exists already");
    }
    // A leftover of a dead creator is taken over as it is: same memory, flag cleared.
    void* memory = nullptr;
    if (ftruncate(fd, sizeof(Shared)) != 0 || (memory = MapShared(fd, sizeof(Shared))) == nullptr) {
        int error = errno;
        close(fd);
        shm_unlink(shm_name.c_str());
        throw Gallion_error("Cannot create event \"" + name + "\": " + std::strerror(error));
    }
    Shared* shared = static_cast<Shared*>(memory);
    shared->flag.store(0);
    return std::unique_ptr<NamedEvent>(new NamedEvent(name, fd, shared, true));
}

std::unique_ptr<NamedEvent> NamedEvent::Open(const std::string& name)
{
    int fd = shm_open(ShmName(name).c_str(), O_RDWR | O_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    struct stat info {};
    // No live creator, or one that has not sized the memory yet: no event (yet).
    if (!HasLiveCreator(fd) || fstat(fd, &info) != 0 || info.st_size < static_cast<off_t>(sizeof(Shared))) {
        close(fd);
        return nullptr;
    }
    void* memory = MapShared(fd, sizeof(Shared));
    if (memory == nullptr) {
        close(fd);
        return nullptr;
    }
    return std::unique_ptr<NamedEvent>(new NamedEvent(name, fd, static_cast<Shared*>(memory), false));
}

bool NamedEvent::Exists(const std::string& name)
{
    int fd = shm_open(ShmName(name).c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return false;
    bool live = HasLiveCreator(fd);
    close(fd);
    return live;
}

NamedEvent::NamedEvent(std::string name, int fd, Shared* shared, bool creator)
    : name_(std::move(name)), fd_(fd), shared_(shared), creator_(creator)
{
}

NamedEvent::~NamedEvent()
{
    // The creator removes the name while it still holds the lock, so no other creator can be
    // using that name yet; a new Create after this makes a fresh one.
    if (creator_)
        shm_unlink(ShmName(name_).c_str());
    munmap(shared_, sizeof(Shared));
    close(fd_);
}

void NamedEvent::Set()
{
    shared_->flag.store(1);
}

void NamedEvent::Clear()
{
    shared_->flag.store(0);
}

bool NamedEvent::IsSet() const
{
    return shared_->flag.load() != 0;
}
