#include "zarn/zarn_logger.h"

#include <cstdio>

#include "platform/clock.h"
#include "engine/pump_address.h"
#include "zarn/zarn_interpreter.h"

namespace {

constexpr size_t kFieldWidth = 7;     // the value field of the "Pump nr" and "Address" lines

std::string PaddedTo(const std::string& text, size_t width)
{
    if (text.size() >= width)
        return text.substr(0, width);
    return text + std::string(width - text.size(), ' ');
}

}  // namespace

// "*      Pump nr         : 13                             *": the caption padded to 16
// characters, the value left-aligned in its 7-character field, and the frame closed at 57.
std::string Logger::FieldLine(const std::string& caption, const std::string& value)
{
    const std::string start = "*      " + PaddedTo(caption, 16) + ": " + PaddedTo(value, kFieldWidth);
    return PaddedTo(start, kHeaderWidth - 1) + "*";
}

std::string Logger::PumpNumberText(uint8_t address)
{
    return std::to_string(PumpNumberOf(address));
}

std::string Logger::AddressText(uint8_t address)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", unsigned(address));
    return text;
}

Logger::Logger(const std::string& file_name, uint8_t address, bool interpreted)
    : file_(std::make_unique<Logfile>(file_name)), address_(address), interpreted_(interpreted)
{
    WriteHeader();
}

Logger::~Logger()
{
    try {
        WriteClosingLines();
    } catch (...) {
        // A full disk or a vanished file must not turn the end of a log into a crash.
    }
}

void Logger::WriteHeader()
{
    file_->WriteLine(kLogStarLine);
    file_->WriteLine(PaddedTo("*  Logfile from Gallion", kHeaderWidth - 1) + "*");
    file_->WriteLine(PaddedTo("*", kHeaderWidth - 1) + "*");
    file_->WriteLine(FieldLine("Protocol", "Zarn"));
    file_->WriteLine(FieldLine("Pump nr", PumpNumberText(address_)));
    file_->WriteLine(FieldLine("Address", AddressText(address_)));
    WriteLoggingStarted(*file_);
    file_->WriteLine(kLogStarLine);
}

void Logger::WriteClosingLines()
{
    WriteLoggingAborted(*file_);
}

void Logger::Log(const Message& block)
{
    if (block.length < 1 || block.bytes[0] != address_)
        return;
    file_->WriteLine(interpreted_ ? ZarnInterpretedText(block) : ZarnHexText(block));
}
