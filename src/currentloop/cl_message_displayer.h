#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/feed_thread.h"
#include "currentloop/cl_logger.h"
#include "currentloop/cl_message.h"

// The current-loop part of the feed: texts by the current-loop interpreter, a frame concerns a
// pump it is addressed to, comes from or names to answer, pump logs are CL_Loggers.
struct CL_feed_protocol {
    using Block = CL_Message;
    using Log = CL_Logger;
    static std::string Text(const CL_Message& frame, bool interpreted)
    {
        return interpreted ? CL_InterpretedText(frame) : CL_HexText(frame);
    }
    static bool Concerns(const CL_Message& frame, uint8_t address) { return CL_ConcernsAddress(frame, address); }
    static void Write(CL_Logger& log, const CL_Message& frame) { log.Write(frame); }
};

// The communication feed of a loop: every frame the I/O thread posts goes to the view queue
// (communication on) and, once the view has fetched it, to the log queue; with communication off
// straight to the log queue. A lowest-priority thread writes the log queue to the pump logs.
// The queues, the backlog cap and the thread are the shared Feed_thread (engine/feed_thread.h).
class CL_Message_displayer {
public:
    static constexpr size_t kMaxLoggers = 16;
    static constexpr size_t kDisplayBacklog = Feed_thread<CL_feed_protocol>::kDisplayBacklog;

    CL_Message_displayer() : feed_(kMaxLoggers) {}
    ~CL_Message_displayer() = default;  // writes what waits for the logs, then closes them
    CL_Message_displayer(const CL_Message_displayer&) = delete;
    CL_Message_displayer& operator=(const CL_Message_displayer&) = delete;

    void Start() { feed_.Start(); }  // starts the feed thread (once)

    // Copies the frame; called by the I/O thread, never waits for disk or view.
    void Post(const CL_Message& frame, int direction);

    // The next frame's text for the view ("* " before received frames), skipping the frames the
    // filter hides; every frame taken moves on to the log queue. Empty when nothing is waiting.
    std::string FetchCommunicationText() { return feed_.FetchCommunicationText(); }

    void SetCommunicationOn(bool on) { feed_.SetCommunicationOn(on); }
    bool IsCommunicationOn() const { return feed_.IsCommunicationOn(); }
    void SetFilterAddress(uint8_t address) { feed_.SetFilterAddress(address); }  // 0: all frames
    uint8_t GetFilterAddress() const { return feed_.GetFilterAddress(); }
    void SetInterpreted(bool interpreted) { feed_.SetInterpreted(interpreted); }
    bool GetInterpreted() const { return feed_.GetInterpreted(); }

    // Opens a pump log; nothing when 16 are open already. Raises Gallion_error when the file
    // cannot be created (the logs stay as they were). Returns whether a log was opened.
    bool AddLogger(const std::string& file_name, uint8_t address, bool interpreted);
    // Closes every log of that address. Returns how many ended; `failure` gets a write failure of
    // one ("" for none).
    int RemoveLogger(uint8_t address, std::string* failure = nullptr) { return feed_.RemoveLogs(address, failure); }
    // The write failure of an open log ("" when every log writes well).
    std::string LogWriteFailure() const { return feed_.LogWriteFailure(); }
    size_t LoggerCount() const { return feed_.LogCount(); }

    size_t DisplayQueueSize() const { return feed_.DisplayQueueSize(); }
    size_t LogQueueSize() const { return feed_.LogQueueSize(); }
    // Copies dropped because the logs fell too far behind (the log queue was full).
    uint64_t LogDropCount() const { return feed_.LogDropCount(); }

private:
    Feed_thread<CL_feed_protocol> feed_;
};
