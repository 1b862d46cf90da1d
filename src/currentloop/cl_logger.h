#pragma once
#include <cstdint>
#include <string>

#include "platform/logfile.h"
#include "currentloop/cl_message.h"

// One open pump log: the file, the pump address it logs (0: every frame) and its form.
// Opening writes the header, closing the closing lines.
class CL_Logger {
public:
    // Raises Gallion_error when the file cannot be created.
    CL_Logger(const std::string& file_name, uint8_t address, bool interpreted);
    ~CL_Logger();
    CL_Logger(const CL_Logger&) = delete;
    CL_Logger& operator=(const CL_Logger&) = delete;

    uint8_t Address() const { return address_; }
    // Any thread: "" while every line was written, else what failed and how many lines were lost.
    std::string WriteFailureText() const { return file_.FailureText(); }
    // Appends the frame's line when the frame concerns this log's pump. No "* " prefix here.
    void Write(const CL_Message& frame);

private:
    Logfile file_;
    const uint8_t address_;
    const bool interpreted_;
};
