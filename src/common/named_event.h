#pragma once
#include <memory>
#include <string>

// A system-wide manual-reset flag with a name, that other processes can open, set, clear and
// test (the spy control events "SPY_" + port name). Built on POSIX shared memory. The creator
// holds a lock on it for as long as it lives; an event whose creator has gone (exited or crashed)
// does not count as existing. Characters a shared-memory name cannot hold ('/' and the like) are
// replaced by SafeName().
class NamedEvent {
public:
    // Creates the event, clear. Replaces a leftover of a dead creator. Throws Gallion_error when
    // the name is held by a live creator or the system refuses.
    static std::unique_ptr<NamedEvent> Create(const std::string& name);
    // Opens an existing live event; nullptr when there is none.
    static std::unique_ptr<NamedEvent> Open(const std::string& name);
    static bool Exists(const std::string& name);
    static std::string SafeName(const std::string& name);

    ~NamedEvent();  // the creator's destruction removes the event
    NamedEvent(const NamedEvent&) = delete;
    NamedEvent& operator=(const NamedEvent&) = delete;

    void Set();
    void Clear();
    bool IsSet() const;
    const std::string& Name() const { return name_; }

private:
    struct Shared;
    NamedEvent(std::string name, int fd, Shared* shared, bool creator);
    std::string name_;
    int fd_;
    Shared* shared_;
    bool creator_;
};
