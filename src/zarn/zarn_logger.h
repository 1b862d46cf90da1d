#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "platform/logfile.h"
#include "zarn/zarn_message.h"

// The log file of one pump: a header naming the pump, one line per block of that pump (hex or
// interpreted text), and closing lines when the logger is destroyed. Creating a logger replaces
// an existing file of that name; other programs may read the file while it is written.
class Logger {
public:
    // Raises Gallion_error when the file cannot be created.
    Logger(const std::string& file_name, uint8_t address, bool interpreted);
    ~Logger();  // writes the closing lines
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // Writes the block's text as one line when the block belongs to this logger's pump.
    void Log(const Message& block);

    uint8_t Address() const { return address_; }
    bool Interpreted() const { return interpreted_; }
    // Any thread: "" while every line was written, else what failed and how many lines were lost.
    std::string WriteFailureText() const { return file_->FailureText(); }

    static constexpr size_t kHeaderWidth = 57;

    // The header and closing lines, exposed so tests can compare them byte for byte.
    static std::string FieldLine(const std::string& caption, const std::string& value);
    static std::string PumpNumberText(uint8_t address);  // "13" for address 0x5C
    static std::string AddressText(uint8_t address);     // "0x5C"

private:
    void WriteHeader();
    void WriteClosingLines();

    std::unique_ptr<Logfile> file_;
    const uint8_t address_;
    const bool interpreted_;
};
