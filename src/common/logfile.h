#pragma once
#include <cstddef>
#include <string>

// A write-only text file under the pump logs. Creating it replaces an existing file; other
// programs may read it while it is open; every write goes straight to the file (no buffering).
// A file that cannot be created raises Gallion_error with a text naming the file and the reason.
class Logfile {
public:
    explicit Logfile(const std::string& file_name);
    ~Logfile();
    Logfile(const Logfile&) = delete;
    Logfile& operator=(const Logfile&) = delete;

    void Write(const char* bytes, size_t count);
    void WriteLine(const std::string& text);  // the text, then CR LF

private:
    int fd_ = -1;
};

// The lines both protocols' pump logs share: the frame of 57 stars, the "Logging started" line
// with the local date and time, and the closing lines written when a log ends.
extern const char* const kLogStarLine;
void WriteLoggingStarted(Logfile& file);
void WriteLoggingAborted(Logfile& file);
