#pragma once
#include <cstddef>
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
// or "already open as the log of another pump (CANONICAL PATH)".
// What a file is used for, for the messages: a pump log, or a loop's wire trace.
struct File_role {
    const char* what;    // "log file": "Cannot create log file ..."
    const char* holder;  // "the log of another pump": "already open as the log of another pump"
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

    void Write(const char* bytes, size_t count);
    void WriteLine(const std::string& text);  // the text, then CR LF

    // The file's canonical path (symbolic links and "." / ".." resolved).
    const std::string& CanonicalPath() const { return canonical_path_; }

    // True when the file named is open as a log in this process right now.
    static bool IsOpenAsLog(const std::string& file_name);

private:
    int fd_ = -1;
    std::string canonical_path_;
    unsigned long long device_ = 0;
    unsigned long long inode_ = 0;
};

// The lines both protocols' pump logs share: the frame of 57 stars, the "Logging started" line
// with the local date and time, and the closing lines written when a log ends.
extern const char* const kLogStarLine;
void WriteLoggingStarted(Logfile& file);
void WriteLoggingAborted(Logfile& file);
