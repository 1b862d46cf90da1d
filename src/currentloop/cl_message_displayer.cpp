#include "currentloop/cl_message_displayer.h"

#include <memory>

void CL_Message_displayer::Post(const CL_Message& frame, int direction)
{
    if (!feed_.Wanted())
        return;  // nobody to read it
    auto copy = std::make_unique<CL_Message>(frame);
    copy->direction = direction;
    feed_.Post(std::move(copy));
}

bool CL_Message_displayer::AddLogger(const std::string& file_name, uint8_t address, bool interpreted)
{
    return feed_.AddLog([&] { return std::make_unique<CL_Logger>(file_name, address, interpreted); });
}
