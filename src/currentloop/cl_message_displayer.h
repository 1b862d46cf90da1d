#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/feed_thread.h"
#include "currentloop/cl_logger.h"
#include "currentloop/cl_message.h"

// The current-loop part of the feed: texts by the current-loop interpreter, a frame concerns a
// pump it is addressed to, comes from or names to answer, pump logs are CL_Loggers.
struct CL_feed_protocol {
    using Block = CL_Message;
    using Log = CL_Logger;
    static std::unique_ptr<CL_Message> CopyToPost(const CL_Message& frame, int direction)
    {
        auto copy = std::make_unique<CL_Message>(frame);
        copy->direction = direction;
        return copy;
    }
    static std::string Text(const CL_Message& frame, bool interpreted)
    {
        return interpreted ? CL_InterpretedText(frame) : CL_HexText(frame);
    }
    static bool Concerns(const CL_Message& frame, uint8_t address) { return CL_ConcernsAddress(frame, address); }
    static std::unique_ptr<CL_Logger> MakeLog(const std::string& file_name, uint8_t address, bool interpreted)
    {
        return std::make_unique<CL_Logger>(file_name, address, interpreted);
    }
    static void Write(CL_Logger& log, const CL_Message& frame) { log.Write(frame); }
};

// The communication feed of a current-loop loop (the shared Feed_thread, engine/feed_thread.h),
// with at most 16 pump logs.
class CL_Message_displayer : public Feed_thread<CL_feed_protocol> {
public:
    static constexpr size_t kMaxLoggers = 16;

    CL_Message_displayer() : Feed_thread(kMaxLoggers) {}  // the thread is not running until Start()
};
