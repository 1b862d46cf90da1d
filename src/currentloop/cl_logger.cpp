#include "currentloop/cl_logger.h"

#include "platform/clock.h"

CL_Logger::CL_Logger(const std::string& file_name, uint8_t address, bool interpreted)
    : file_(file_name), address_(address), interpreted_(interpreted)
{
    file_.WriteLine(kLogStarLine);
    file_.WriteLine("*  Logfile from Gallion                                  ");
    file_.WriteLine("*                                                        ");
    file_.WriteLine("*      Protocol        : Current Loop                    ");
    WriteLoggingStarted(file_);
    file_.WriteLine(kLogStarLine);
}

CL_Logger::~CL_Logger()
{
    try {
        WriteLoggingAborted(file_);
    } catch (...) {
        // A log that can no longer be written is closed all the same.
    }
}

void CL_Logger::Write(const CL_Message& frame)
{
    if (address_ != 0 && !CL_ConcernsAddress(frame, address_))
        return;
    file_.WriteLine(interpreted_ ? CL_InterpretedText(frame) : CL_HexText(frame));
}
