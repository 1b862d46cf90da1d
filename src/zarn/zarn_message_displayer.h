#pragma once
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

#include "engine/feed_thread.h"
#include "zarn/zarn_block_sink.h"
#include "zarn/zarn_logger.h"
#include "zarn/zarn_message.h"

// The communication feed of one Zarn loop. The I/O thread posts a copy of every block it receives
// or sends; the communication view fetches texts from the display queue; every block, shown or
// filtered out, then moves on to the log queue, which the feed's own thread (lowest priority)
// writes to the pump logs.
//
// With communication off, posted blocks skip the display queue and go straight to the logs, so
// nothing piles up for a view that is not fetching. With communication on and nobody fetching,
// the display queue keeps at most kDisplayBacklog blocks: older ones move on to the logs unshown.
// Nothing is copied while nobody reads (communication off, no log open); the log queue is
// bounded, and what finds it full is dropped and counted.
//
// The queues, the thread and the log list are the shared Feed_thread (engine/feed_thread.h);
// this class adds what is Zarn's: which blocks are left out, the texts, the pump logs.
// The Zarn protocol part of the feed: texts by the Zarn interpreter, a block concerns the pump
// at its address byte, pump logs are Loggers.
struct Zarn_feed_protocol {
    using Block = Message;
    using Log = Logger;
    static std::string Text(const Message& block, bool interpreted);
    static bool Concerns(const Message& block, uint8_t address) { return block.bytes[0] == address; }
    static void Write(Logger& log, const Message& block) { log.Log(block); }
};

class Message_displayer : public Block_sink {
public:
    static constexpr size_t kDisplayBacklog = Feed_thread<Zarn_feed_protocol>::kDisplayBacklog;

    Message_displayer();  // the thread is not running until Start()
    ~Message_displayer() override;  // stops the thread, then closes every log with its closing lines
    Message_displayer(const Message_displayer&) = delete;
    Message_displayer& operator=(const Message_displayer&) = delete;

    void Start() { feed_.Start(); }

    void Post(const Message& block, int direction) override;

    // The next text for the communication view: received blocks carry "* " in front. Empty when
    // no block waiting passes the filter.
    std::string FetchCommunicationText() { return feed_.FetchCommunicationText(); }

    void SetCommunicationOn(bool on) { feed_.SetCommunicationOn(on); }
    bool IsCommunicationOn() const { return feed_.IsCommunicationOn(); }
    void SetFilterAddress(uint8_t address) { feed_.SetFilterAddress(address); }  // 0: all pumps
    uint8_t GetFilterAddress() const { return feed_.GetFilterAddress(); }
    void SetInterpreted(bool on) { feed_.SetInterpreted(on); }
    bool GetInterpreted() const { return feed_.GetInterpreted(); }

    // Starts a log for one pump address. Raises Gallion_error when the file cannot be created.
    // Returns whether a log was added (the list itself sets no limit).
    bool AddLogger(const std::string& file_name, uint8_t address, bool interpreted);
    // Ends every log of that address (each gets its closing lines). Returns how many ended;
    // `failure` gets a write failure of one of them ("" for none).
    int RemoveLogger(uint8_t address, std::string* failure = nullptr) { return feed_.RemoveLogs(address, failure); }
    // The write failure of an open log ("" when every log writes well).
    std::string LogWriteFailure() const { return feed_.LogWriteFailure(); }
    int LoggerCount() const { return static_cast<int>(feed_.LogCount()); }

    // Blocks waiting for the view and for the logs (for the loop's inspection and for tests).
    size_t DisplayQueueSize() const { return feed_.DisplayQueueSize(); }
    size_t LogQueueSize() const { return feed_.LogQueueSize(); }
    // Copies dropped because the logs fell too far behind (the log queue was full).
    uint64_t LogDropCount() const { return feed_.LogDropCount(); }

private:
    Feed_thread<Zarn_feed_protocol> feed_;
};
