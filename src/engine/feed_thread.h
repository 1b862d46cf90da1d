#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/locked_queue.h"
#include "platform/thread.h"

// The communication feed of one loop, for either protocol. The I/O thread posts a copy of every
// message it receives or sends; the communication view fetches texts from the display queue;
// every message, shown or filtered out, then moves on to the log queue, which the feed's own
// thread (lowest priority) writes to the pump logs.
//
// With communication off, posted messages skip the display queue and go straight to the logs, so
// nothing piles up for a view that is not fetching; switching it off moves what waits for the view
// on to the logs. With communication on and nobody fetching, the display queue keeps at most
// kDisplayBacklog messages: older ones move on to the logs unshown.
//
// Nothing is kept that nobody reads: with communication off and no log open a posted message is
// not queued at all, and neither is a message the view has fetched. The log queue holds at most
// kLogBacklog messages; a message that finds it full (the feed thread, at the lowest priority,
// falls behind a controller that floods the line) is dropped and counted (LogDropCount).
//
// The protocol part is `Protocol`, a class of static functions:
//   using Block = ...;   the message type (copied when posted)
//   using Log = ...;     a pump log: `uint8_t Address() const`, `std::string WriteFailureText() const`
//   static std::unique_ptr<Block> CopyToPost(const Block&, int direction);  the copy the feed
//                                   keeps, direction set; nullptr for a message it leaves out
//   static std::string Text(const Block&, bool interpreted);  the view's text without the "* "
//   static bool Concerns(const Block&, uint8_t address);      shown under the pump filter
//   static std::unique_ptr<Log> MakeLog(const std::string& file_name, uint8_t address, bool interpreted);
//   static void Write(Log&, const Block&);                    the log writes what concerns it
//
// Threads: Post runs on the I/O thread and only moves the message into a locked queue. Fetching,
// the settings and the logs are used from the window thread. Each queue, the settings and the
// log list have their own lock; only the feed thread holds the log lock while a log writes.
template <class Protocol>
class Feed_thread {
public:
    using Block = typename Protocol::Block;
    using Log = typename Protocol::Log;

    static constexpr size_t kDisplayBacklog = 20000;
    // Room for a whole display backlog handed over at once, and as much again in the logs' way.
    static constexpr size_t kLogBacklog = 2 * kDisplayBacklog;

    // At most max_logs logs at a time.
    explicit Feed_thread(size_t max_logs) : max_logs_(max_logs) {}
    // Stops the thread, writes what still waits for the logs, then closes every log.
    ~Feed_thread()
    {
        priority_.RaiseToNormal();  // a starved thread must not hold up the owner's wait
        stop_requested_ = true;
        wake_up_.Set();
        if (thread_.joinable())
            thread_.join();
        WriteWaitingBlocks();
        std::lock_guard<std::mutex> lock(logs_mutex_);
        logs_.clear();  // each log writes its closing lines
    }
    Feed_thread(const Feed_thread&) = delete;
    Feed_thread& operator=(const Feed_thread&) = delete;

    void Start()
    {
        if (!thread_.joinable())
            thread_ = std::thread([this] { Run(); });
    }

    // True while someone reads what is posted: the view is on, or a log is open. The I/O thread
    // asks before it copies a message; it never waits for a log being written.
    bool Wanted() const { return IsCommunicationOn() || log_count_.load() > 0; }

    // Called by the I/O thread with every message (direction 0 received, 1 sent): keeps a copy
    // while someone reads what is posted. Never waits for the disk or the view.
    void Post(const Block& block, int direction)
    {
        if (Wanted())
            Post(Protocol::CopyToPost(block, direction));
    }

    // Takes a message the I/O thread has copied, with its direction already set.
    void Post(std::unique_ptr<Block> block)
    {
        if (!block)
            return;
        if (!IsCommunicationOn()) {
            MoveToLogQueue(std::move(block));
            return;
        }
        display_queue_.Append(std::move(block));
        if (display_queue_.Size() > kDisplayBacklog)
            MoveToLogQueue(display_queue_.Take());
        // The view may have been switched off since the check above; then the message must not
        // stay behind in the display queue.
        if (!IsCommunicationOn())
            MoveDisplayQueueToLogQueue();
    }

    // The next text for the view: received messages (direction 0) carry "* " in front. Empty
    // when no message waiting passes the filter.
    std::string FetchCommunicationText()
    {
        uint8_t filter;
        bool interpreted;
        {
            std::lock_guard<std::mutex> lock(settings_mutex_);
            filter = filter_address_;
            interpreted = interpreted_;
        }
        while (std::unique_ptr<Block> block = display_queue_.Take()) {
            std::string text;
            if (filter == 0 || Protocol::Concerns(*block, filter)) {
                text = Protocol::Text(*block, interpreted);
                if (block->direction == 0)
                    text = "* " + text;
            }
            MoveToLogQueue(std::move(block));
            if (!text.empty())
                return text;
        }
        return "";
    }

    void SetCommunicationOn(bool on)
    {
        {
            std::lock_guard<std::mutex> lock(settings_mutex_);
            communication_on_ = on;
        }
        // Messages left for a view that no longer fetches go on to the logs.
        if (!on)
            MoveDisplayQueueToLogQueue();
    }
    bool IsCommunicationOn() const
    {
        std::lock_guard<std::mutex> lock(settings_mutex_);
        return communication_on_;
    }
    void SetFilterAddress(uint8_t address)  // 0: all pumps
    {
        std::lock_guard<std::mutex> lock(settings_mutex_);
        filter_address_ = address;
    }
    uint8_t GetFilterAddress() const
    {
        std::lock_guard<std::mutex> lock(settings_mutex_);
        return filter_address_;
    }
    void SetInterpreted(bool on)
    {
        std::lock_guard<std::mutex> lock(settings_mutex_);
        interpreted_ = on;
    }
    bool GetInterpreted() const
    {
        std::lock_guard<std::mutex> lock(settings_mutex_);
        return interpreted_;
    }

    // Opens a pump log for one address unless max_logs are open already. Raises Gallion_error
    // when the file cannot be created (the logs stay as they were). The file is created outside
    // the log lock, so the feed thread is not held up by the disk on behalf of a new log. Returns
    // whether a log was added.
    bool AddLogger(const std::string& file_name, uint8_t address, bool interpreted)
    {
        if (LoggerCount() >= max_logs_)
            return false;
        std::unique_ptr<Log> log = Protocol::MakeLog(file_name, address, interpreted);
        std::lock_guard<std::mutex> lock(logs_mutex_);
        if (!log || logs_.size() >= max_logs_)
            return false;
        logs_.push_back(std::move(log));
        log_count_ = logs_.size();
        return true;
    }

    // Ends every log of that address (each writes its closing lines, outside the log lock).
    // Returns how many ended; `failure` gets the write failure of one of them ("" for none).
    int RemoveLogger(uint8_t address, std::string* failure = nullptr)
    {
        std::vector<std::unique_ptr<Log>> ended;
        {
            std::lock_guard<std::mutex> lock(logs_mutex_);
            for (auto it = logs_.begin(); it != logs_.end();) {
                if ((*it)->Address() == address) {
                    if (failure && failure->empty())
                        *failure = (*it)->WriteFailureText();
                    ended.push_back(std::move(*it));
                    it = logs_.erase(it);
                } else {
                    ++it;
                }
            }
            log_count_ = logs_.size();
        }
        return static_cast<int>(ended.size());
    }

    // The write failure of the first open log that has one ("" when every log writes well).
    std::string LogWriteFailure() const
    {
        std::lock_guard<std::mutex> lock(logs_mutex_);
        for (const auto& log : logs_) {
            std::string failure = log->WriteFailureText();
            if (!failure.empty())
                return failure;
        }
        return "";
    }

    size_t LoggerCount() const
    {
        std::lock_guard<std::mutex> lock(logs_mutex_);
        return logs_.size();
    }

    size_t DisplayQueueSize() const { return display_queue_.Size(); }
    size_t LogQueueSize() const { return log_queue_.Size(); }
    // Messages dropped because the log queue was full.
    uint64_t LogDropCount() const { return log_queue_.DroppedCount(); }

private:
    // With no log open the message has no reader left and goes at once.
    void MoveToLogQueue(std::unique_ptr<Block> block)
    {
        if (!block || log_count_.load() == 0)
            return;
        if (log_queue_.Append(std::move(block)))
            wake_up_.Set();
    }

    void MoveDisplayQueueToLogQueue()
    {
        while (std::unique_ptr<Block> block = display_queue_.Take())
            MoveToLogQueue(std::move(block));
    }

    // Writes the log queue out. The feed thread leaves off once it is asked to stop: the owner's
    // thread writes the rest at its own priority instead of waiting for a low-priority thread.
    void WriteWaitingBlocks(bool until_stop_request = false)
    {
        while (!(until_stop_request && stop_requested_)) {
            std::unique_ptr<Block> block = log_queue_.Take();
            if (!block)
                break;
            std::lock_guard<std::mutex> lock(logs_mutex_);
            for (const auto& log : logs_) {
                try {
                    Protocol::Write(*log, *block);
                } catch (...) {
                    // One failing log (disk full, file gone) must not stop the others or the feed.
                }
            }
        }
    }

    void Run()
    {
        ThreadPriorityScope priority(priority_, ThreadPriority::Lowest);
        while (!stop_requested_) {
            WriteWaitingBlocks(true);
            wake_up_.Wait();
        }
        // What reached the log queue before the loop went down is written by the destructor.
    }

    const size_t max_logs_;

    mutable std::mutex settings_mutex_;
    bool communication_on_ = true;
    uint8_t filter_address_ = 0;
    bool interpreted_ = true;

    Locked_queue<Block> display_queue_;
    Locked_queue<Block> log_queue_{kLogBacklog};
    Event wake_up_{false, true};

    mutable std::mutex logs_mutex_;
    std::vector<std::unique_ptr<Log>> logs_;
    std::atomic<size_t> log_count_{0};  // logs_.size(), read without the log lock

    std::atomic<bool> stop_requested_{false};
    ThreadPriorityHandle priority_;
    std::thread thread_;
};
