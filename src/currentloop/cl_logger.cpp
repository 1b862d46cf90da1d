#include "currentloop/cl_logger.h"

#include "common/clock.h"

namespace {
const char* const kStarLine = "*********************************************************";
}

CL_Logger::CL_Logger(const std::string& file_name, uint8_t address, bool interpreted)
    : file_(file_name), address_(address), interpreted_(interpreted)
{
    file_.WriteLine(kStarLine);
    file_.WriteLine("*  Logfile from Gallion                                  ");
    file_.WriteLine("*                                                        ");
    file_.WriteLine("*      Protocol        : Current Loop                    ");
    file_.WriteLine("*      Logging started : " + DateText24(WallSeconds()) + " ");
    file_.WriteLine(kStarLine);
}

CL_Logger::~CL_Logger()
{
    try {
        file_.WriteLine(kStarLine);
        file_.WriteLine("Logging aborted at " + DateText24(WallSeconds()) + " ");
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
