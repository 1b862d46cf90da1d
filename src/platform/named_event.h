#pragma once
#include <memory>
#include <string>

#include <vector>

// A manual-reset flag with a name that other processes of the same user can open, set, clear and
// test (the spy control events "SPY_" + spy name). Built on POSIX shared memory. The creator
// holds a lock on it for as long as it lives; an event whose creator has gone (exited or crashed)
// does not count as existing.
//
// Events are per user: the object is "/gallion-u<uid>-" + EncodeName(name), so users never
// collide nor reach each other's events (an object of this name that belongs to another user is
// not taken). The name is encoded one-to-one: every byte outside [A-Za-z0-9._-] becomes %XX
// (two upper-case hex digits), '%' included, so "a+b", "a@b" and "a_b" stay three events.
class NamedEvent {
public:
    // Creates the event, clear. Replaces a leftover of a dead creator. Throws Gallion_error when
    // the name is held by a live creator or the system refuses.
    static std::unique_ptr<NamedEvent> Create(const std::string& name);
    // Opens an existing live event of this user; nullptr when there is none.
    static std::unique_ptr<NamedEvent> Open(const std::string& name);
    static bool Exists(const std::string& name);
    // The names of this user's live events that start with prefix, sorted (found in /dev/shm).
    static std::vector<std::string> List(const std::string& prefix);

    static std::string EncodeName(const std::string& name);
    // The name an encoded name stands for; false when text is no encoding (a stray object).
    static bool DecodeName(const std::string& text, std::string& name);
    // The shared-memory object of the event of this user ("/gallion-u1000-SPY_COM1").
    static std::string ObjectName(const std::string& name);

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
