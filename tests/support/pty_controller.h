#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/controller_line.h"

// Plays the forecourt controller in end-to-end tests: opens a pseudo-terminal pair, hands the
// slave's path to the simulator as its port name, and talks on the master side. Every read has a
// deadline, so a simulator that hangs fails the test instead of blocking it.
class PtyController : public ControllerLine {
public:
    PtyController();
    // Plays the controller on an existing device instead: the one a virtual port ("pty:PATH")
    // shows for its controller. SlavePath() is then that device.
    explicit PtyController(const std::string& device);
    ~PtyController();
    PtyController(const PtyController&) = delete;
    PtyController& operator=(const PtyController&) = delete;

    const std::string& SlavePath() const { return slave_path_; }

    void Send(const std::vector<uint8_t>& bytes) override;
    // One byte, or nothing when timeout_ms passes.
    std::optional<uint8_t> ReadByte(int timeout_ms) override;
    // Exactly count bytes; fewer when the deadline passes first (the caller compares).
    std::vector<uint8_t> ReadExactly(size_t count, int timeout_ms);
    // Bytes up to and including the first `terminator`; whatever came when the deadline passes.
    std::vector<uint8_t> ReadUntil(uint8_t terminator, int timeout_ms);
    // True when nothing arrives for quiet_ms.
    bool Silent(int quiet_ms);
    // Discards whatever arrived so far.
    void Drain();
    // Bytes the controller sent that the simulator has not read yet (nothing is read).
    size_t UnreadBySimulator() const;
    // Closes the master side (the line disappears under the simulator).
    void CloseMaster();

private:
    int master_fd_ = -1;
    int slave_fd_ = -1;  // kept open so the line stays up while the simulator reopens
    std::string slave_path_;
};

// A settings file of the test's own, named through GALLION_INI for the test's lifetime, so tests
// never touch a user's settings. Removed at destruction.
class TempSettings {
public:
    TempSettings();
    ~TempSettings();
    const std::string& Path() const { return path_; }
    void Set(const std::string& section, const std::string& key, const std::string& value);

private:
    std::string path_;
};

// A fresh empty folder for a test's files, removed with everything in it at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string ReadWholeFile(const std::string& path);
