#include "currentloop/cl_trace.h"

#include <algorithm>
#include <cstdio>

#include "currentloop/cl_message.h"

namespace {

CL_Message MessageOf(const Trace_frame& frame)
{
    CL_Message message;
    const size_t count = std::min<size_t>(frame.length, message.bytes.size());
    std::copy_n(frame.bytes.begin(), count, message.bytes.begin());
    message.length = static_cast<uint8_t>(count);
    message.direction = frame.direction;
    return message;
}

std::string ByteText(uint8_t byte)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", byte);
    return text;
}

}  // namespace

std::string CL_trace_describer::Text(const Trace_frame& frame) const
{
    if (frame.length != cl_frame::kLength)
        return "";
    return CL_InterpretedText(MessageOf(frame));
}

std::string CL_trace_describer::Why(const Trace_frame& frame) const
{
    if (frame.verdict != Trace_verdict::malformed)
        return "";
    if (frame.length + frame.cut != cl_frame::kLength)
        return std::to_string(frame.length + frame.cut) + " bytes instead of " + std::to_string(cl_frame::kLength);
    const uint8_t source = frame.bytes[cl_frame::kSource];
    if (source != cl_frame::kController)
        return "source " + ByteText(source) + " is not the controller";
    if (frame.bytes[cl_frame::kDestination] == cl_frame::kController)
        return "addressed to the controller";
    return "unknown message type " + ByteText(frame.bytes[cl_frame::kType]);
}

const Trace_describer& CLTraceDescriber()
{
    static const CL_trace_describer describer;
    return describer;
}
