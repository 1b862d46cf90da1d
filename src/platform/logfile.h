#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

// A write-only text file under the pump logs. Creating it replaces an existing file; other
// programs may read it while it is open; every write goes straight to the file (no buffering).
//
// Only a regular file is taken: the file is opened without blocking, so a named pipe or a device
// never hangs the caller, and refused. A file that is already open as a log in this process (the
// same file, by any name, in any loop) is refused too, before anything of it is replaced: two
// pumps never write into one file. The process-wide registry of open logs releases the file when
// the Logfile is destroyed.
//
// A file that cannot be taken raises Gallion_error: "Cannot create log file \"NAME\": REASON",
// with REASON the system's text (for example "No such file or directory"), "not a regular file",
// "already open as the log of another pump (CANONICAL PATH)", or, for a symbolic link of another
// user in a world-writable sticky folder, kForeignLinkReason (platform/safe_open.h).
//
// A write that fails (disk full, a file that takes no writes) is never silent: what it had begun
// is cut off again, so the file ends on the last whole write; the failure is reported once on
// standard error; nothing more is written but every later record is counted as lost, and the
// owner may read the failure (FailureText) from any thread. The closing record (WriteClosing) is
// still tried, so the file says what was lost when there is room for it.
// What a file is used for, for the messages: a pump log, or a loop's wire trace.
struct File_role {
    const char* what;    // "log file": "Cannot create log file ..."
    const char* holder;  // "the log of another pump": "already open as the log of another pump"
    const char* unit;    // what a record is, for the count of lost ones: "lines", "frames"
};
extern const File_role kPumpLogRole;
extern const File_role kWireTraceRole;

class Logfile {
public:
    // The registry of open files is shared by every role: a trace never writes into a pump log,
    // nor a pump log into a trace.
    explicit Logfile(const std::string& file_name, const File_role& role = kPumpLogRole);
    ~Logfile();
    Logfile(const Logfile&) = delete;
    Logfile& operator=(const Logfile&) = delete;

    // Writes whole records (`records` of them, for the count of lost ones). False when nothing
    // was written: this write failed, or one before it did.
    bool Write(const char* bytes, size_t count, uint64_t records = 1);
    bool WriteLine(const std::string& text);  // one record: the text, then CR LF
    // The last record, tried even after a failure; cut off again when it does not fit whole.
    void WriteClosing(const std::string& text);

    // Any thread. Whether a write has failed; the system's reason; the records lost since.
    bool Failed() const { return failed_.load(std::memory_order_acquire); }
    std::string FailureReason() const;
    uint64_t LostRecords() const;
    // "" while nothing failed, else "Writing trace file \"NAME\" failed: REASON; N frames lost".
    std::string FailureText() const;

    // The file's canonical path (symbolic links and "." / ".." resolved).
    const std::string& CanonicalPath() const { return canonical_path_; }

    // True when the file named is open as a log in this process right now.
    static bool IsOpenAsLog(const std::string& file_name);

private:
    bool WriteAll(const char* bytes, size_t count, int& error);
    void CutBackToWholeWrites();

    int fd_ = -1;
    const File_role& role_;
    const std::string file_name_;
    std::string canonical_path_;
    long long whole_size_ = 0;  // the file's size after the last write that went through whole (writer only)
    std::atomic<bool> failed_{false};
    mutable std::mutex failure_mutex_;  // guards the two below
    std::string failure_reason_;
    uint64_t lost_records_ = 0;
    unsigned long long device_ = 0;
    unsigned long long inode_ = 0;
};

// The lines both protocols' pump logs share: the frame of 57 stars, the "Logging started" line
// with the local date and time, and the closing lines written when a log ends (after a failed
// write preceded by "Write failed: REASON; N lines lost").
extern const char* const kLogStarLine;
void WriteLoggingStarted(Logfile& file);
void WriteLoggingAborted(Logfile& file);
