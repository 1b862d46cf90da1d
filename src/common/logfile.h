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
