#include "platform/named_event.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/error.h"

// The creator holds an open-file-description lock on the first byte for as long as it lives. The
// kernel drops that lock when the creator's descriptor goes, also when the process is killed, so
// "is there a live creator" is a lock query that never takes the lock itself (a query that took
// it could make a concurrent Create fail for no reason).
struct NamedEvent::Shared {
    std::atomic<int> flag;
};

static_assert(std::atomic<int>::is_always_lock_free, "the shared flag must be lock-free");

namespace {

const char* const kShmFolder = "/dev/shm";

// "gallion-u<uid>-": the start of every object of this user's events, without the leading '/'.
std::string UserPrefix()
{
    return "gallion-u" + std::to_string(static_cast<unsigned long>(geteuid())) + "-";
}

std::string ShmName(const std::string& name)
{
    return NamedEvent::ObjectName(name);
}

bool Unreserved(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;  // lower case is not what EncodeName writes, so it is no encoding of a name
}

// Ours only: an object of our name that another user made is never used.
bool OwnedByUs(int fd)
{
    struct stat info {};
    return fstat(fd, &info) == 0 && info.st_uid == geteuid();
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

std::string NamedEvent::EncodeName(const std::string& name)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(name.size());
    for (char c : name) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (Unreserved(byte)) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += kHex[byte >> 4];
            encoded += kHex[byte & 0x0F];
        }
    }
    return encoded;
}

bool NamedEvent::DecodeName(const std::string& text, std::string& name)
{
    std::string decoded;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c != '%') {
            if (!Unreserved(c))
                return false;
            decoded += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return false;
        int high = HexValue(text[i + 1]);
        int low = HexValue(text[i + 2]);
        if (high < 0 || low < 0)
            return false;
        unsigned char byte = static_cast<unsigned char>(high * 16 + low);
        if (Unreserved(byte))
            return false;  // one name, one encoding: a character that stands as itself is never escaped
        decoded += static_cast<char>(byte);
        i += 2;
    }
    name = decoded;
    return true;
}

std::string NamedEvent::ObjectName(const std::string& name)
{
    return "/" + UserPrefix() + EncodeName(name);
}

std::vector<std::string> NamedEvent::List(const std::string& prefix)
{
    std::vector<std::string> names;
    DIR* folder = opendir(kShmFolder);
    if (folder == nullptr)
        return names;
    const std::string user_prefix = UserPrefix();
    while (dirent* entry = readdir(folder)) {
        std::string object = entry->d_name;
        if (object.compare(0, user_prefix.size(), user_prefix) != 0)
            continue;
        std::string name;
        if (!DecodeName(object.substr(user_prefix.size()), name))
            continue;
        if (name.compare(0, prefix.size(), prefix) == 0 && Exists(name))
            names.push_back(name);
    }
    closedir(folder);
    std::sort(names.begin(), names.end());
    return names;
}

std::unique_ptr<NamedEvent> NamedEvent::Create(const std::string& name)
{
    std::string shm_name = ShmName(name);
    if (shm_name.size() > 250)
        throw Gallion_error("Cannot create event \"" + name + "\": name too long");
    int fd = shm_open(shm_name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        throw Gallion_error("Cannot create event \"" + name + "\": " + std::strerror(errno));
    if (!OwnedByUs(fd)) {
        close(fd);
        throw Gallion_error("Cannot create event \"" + name + "\": " + shm_name + " belongs to another user");
    }
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
    int fd = shm_open(ShmName(name).c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    struct stat info {};
    // Not ours, no live creator, or one that has not sized the memory yet: no event (yet).
    if (!OwnedByUs(fd) || !HasLiveCreator(fd) || fstat(fd, &info) != 0 || info.st_size < static_cast<off_t>(sizeof(Shared))) {
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
    int fd = shm_open(ShmName(name).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (fd < 0)
        return false;
    bool live = OwnedByUs(fd) && HasLiveCreator(fd);
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
