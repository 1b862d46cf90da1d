#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/thread.h"
#include "currentloop/cl_logger.h"
#include "currentloop/cl_message.h"

// The communication feed of a loop: every frame the I/O thread posts goes to the view queue
// (communication on) and, once the view has fetched it, to the log queue; with communication off
// straight to the log queue. A lowest-priority thread writes the log queue to the pump logs.
class CL_Message_displayer {
public:
    static constexpr size_t kMaxLoggers = 16;

    CL_Message_displayer();
    ~CL_Message_displayer();  // writes what waits for the logs, then closes them
    CL_Message_displayer(const CL_Message_displayer&) = delete;
    CL_Message_displayer& operator=(const CL_Message_displayer&) = delete;

    void Start();  // starts the feed thread (once)

    // Copies the frame; called by the I/O thread, never waits for disk or view.
    void Post(const CL_Message& frame, int direction);

    // The next frame's text for the view ("* " before received frames), skipping the frames the
    // filter hides; every frame taken moves on to the log queue. Empty when nothing is waiting.
    std::string FetchCommunicationText();

    void SetCommunicationOn(bool on);
    bool IsCommunicationOn() const;
    void SetFilterAddress(uint8_t address);  // 0: all frames
    uint8_t GetFilterAddress() const;
    void SetInterpreted(bool interpreted);
    bool GetInterpreted() const;

    // Opens a pump log in the first free slot; nothing when all 16 are in use. Raises
    // Gallion_error when the file cannot be created (the slots stay as they were). Returns
    // whether a log was opened.
    bool AddLogger(const std::string& file_name, uint8_t address, bool interpreted);
    // Closes every log of that address.
    void RemoveLogger(uint8_t address);
    size_t LoggerCount() const;

private:
    void Run();
    void WriteWaitingToLogs();

    CL_Message_queue view_queue_;
    CL_Message_queue log_queue_;

    mutable std::mutex settings_mutex_;
    bool communication_on_ = true;
    uint8_t filter_address_ = 0;
    bool interpreted_ = true;

    mutable std::mutex logger_mutex_;
    std::array<std::unique_ptr<CL_Logger>, kMaxLoggers> loggers_;

    Event wake_{false, true};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
