#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/thread.h"
#include "zarn/block_sink.h"
#include "zarn/logger.h"
#include "zarn/message.h"

// The communication feed of one Zarn loop. The I/O thread posts a copy of every block it receives
// or sends; the communication view fetches texts from the display queue; every block, shown or
// filtered out, then moves on to the log queue, which the feed's own thread (lowest priority)
// writes to the pump logs.
//
// With communication off, posted blocks skip the display queue and go straight to the logs, so
// nothing piles up for a view that is not fetching. With communication on and nobody fetching,
// the display queue keeps at most kDisplayBacklog blocks: older ones move on to the logs unshown.
//
// Threads: Post runs on the I/O thread and only copies the block into a locked queue. Fetching,
// the settings and the logger list are used from the window thread. Each queue, the settings and
// the logger list have their own lock; only the feed thread holds the logger lock while a logger
// writes.
class Message_displayer : public Block_sink {
public:
    static constexpr size_t kDisplayBacklog = 20000;

    Message_displayer();  // the thread is not running until Start()
    ~Message_displayer() override;  // stops the thread, then closes every log with its closing lines
    Message_displayer(const Message_displayer&) = delete;
    Message_displayer& operator=(const Message_displayer&) = delete;

    void Start();

    void Post(const Message& block, int direction) override;

    // The next text for the communication view: received blocks carry "* " in front. Empty when
    // no block waiting passes the filter.
    std::string FetchCommunicationText();

    void SetCommunicationOn(bool on);
    bool IsCommunicationOn() const;
    void SetFilterAddress(uint8_t address);  // 0: all pumps
    uint8_t GetFilterAddress() const;
    void SetInterpreted(bool on);
    bool GetInterpreted() const;

    // Starts a log for one pump address. Raises Gallion_error when the file cannot be created.
    void AddLogger(const std::string& file_name, uint8_t address, bool interpreted);
    // Ends every log of that address (each gets its closing lines). Returns how many ended.
    int RemoveLoggers(uint8_t address);
    int LoggerCount() const;

    // Blocks waiting for the view and for the logs (for the loop's inspection and for tests).
    size_t DisplayQueueSize() const { return display_queue_.Size(); }
    size_t LogQueueSize() const { return log_queue_.Size(); }

private:
    void Run();
    void WriteWaitingBlocks();
    void MoveToLogQueue(std::unique_ptr<Message> block);
    void MoveDisplayQueueToLogQueue();
    bool Passes(const Message& block, uint8_t filter) const;

    mutable std::mutex settings_mutex_;
    bool communication_on_ = true;
    uint8_t filter_address_ = 0;
    bool interpreted_ = true;

    Message_queue display_queue_;
    Message_queue log_queue_;
    Event wake_up_{false, true};

    mutable std::mutex loggers_mutex_;
    std::vector<std::unique_ptr<Logger>> loggers_;

    std::atomic<bool> stop_requested_{false};
    std::thread thread_;
};
