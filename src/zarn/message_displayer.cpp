#include "zarn/message_displayer.h"

#include <algorithm>

#include "zarn/zarn_interpreter.h"

namespace {

constexpr uint8_t kPollNumberedZero = 0x20;
constexpr uint8_t kEot = 0x70;

}  // namespace

Message_displayer::Message_displayer() = default;

Message_displayer::~Message_displayer()
{
    stop_requested_ = true;
    wake_up_.Set();
    if (thread_.joinable())
        thread_.join();
    std::lock_guard<std::mutex> lock(loggers_mutex_);
    loggers_.clear();  // each logger writes its closing lines
}

void Message_displayer::Start()
{
    if (!thread_.joinable())
        thread_ = std::thread(&Message_displayer::Run, this);
}

void Message_displayer::Post(const Message& block, int direction)
{
    const size_t length = std::min<size_t>(block.length, block.bytes.size());
    if (length == 0)
        return;
    // The steady traffic of an idle line (POLL numbered 0 and its EOT answer) is left out.
    if (length >= 2 && (block.bytes[1] == kPollNumberedZero || block.bytes[1] == kEot))
        return;
    auto copy = std::make_unique<Message>(block);
    copy->length = static_cast<uint16_t>(length);
    copy->direction = direction;
    if (IsCommunicationOn()) {
        display_queue_.Append(std::move(copy));
        if (display_queue_.Size() > kDisplayBacklog)
            MoveToLogQueue(display_queue_.Take());
        // The view may have been switched off since the check above; then the block must not
        // stay behind in the display queue.
        if (!IsCommunicationOn())
            MoveDisplayQueueToLogQueue();
    } else {
        MoveToLogQueue(std::move(copy));
    }
}

void Message_displayer::MoveToLogQueue(std::unique_ptr<Message> block)
{
    if (!block)
        return;
    log_queue_.Append(std::move(block));
    wake_up_.Set();
}

bool Message_displayer::Passes(const Message& block, uint8_t filter) const
{
    return filter == 0 || block.bytes[0] == filter;
}

std::string Message_displayer::FetchCommunicationText()
{
    uint8_t filter;
    bool interpreted;
    {
        std::lock_guard<std::mutex> lock(settings_mutex_);
        filter = filter_address_;
        interpreted = interpreted_;
    }
    while (std::unique_ptr<Message> block = display_queue_.Take()) {
        std::string text;
        if (Passes(*block, filter)) {
            text = interpreted ? ZarnInterpretedText(*block) : ZarnHexText(*block);
            if (block->direction == 0)
                text = "* " + text;
        }
        MoveToLogQueue(std::move(block));
        if (!text.empty())
            return text;
    }
    return "";
}

void Message_displayer::SetCommunicationOn(bool on)
{
    {
        std::lock_guard<std::mutex> lock(settings_mutex_);
        communication_on_ = on;
    }
    // Blocks left for a view that no longer fetches go on to the logs.
    if (!on)
        MoveDisplayQueueToLogQueue();
}

void Message_displayer::MoveDisplayQueueToLogQueue()
{
    while (std::unique_ptr<Message> block = display_queue_.Take())
        MoveToLogQueue(std::move(block));
}

bool Message_displayer::IsCommunicationOn() const
{
    std::lock_guard<std::mutex> lock(settings_mutex_);
    return communication_on_;
}

void Message_displayer::SetFilterAddress(uint8_t address)
{
    std::lock_guard<std::mutex> lock(settings_mutex_);
    filter_address_ = address;
}

uint8_t Message_displayer::GetFilterAddress() const
{
    std::lock_guard<std::mutex> lock(settings_mutex_);
    return filter_address_;
}

void Message_displayer::SetInterpreted(bool on)
{
    std::lock_guard<std::mutex> lock(settings_mutex_);
    interpreted_ = on;
}

bool Message_displayer::GetInterpreted() const
{
    std::lock_guard<std::mutex> lock(settings_mutex_);
    return interpreted_;
}

void Message_displayer::AddLogger(const std::string& file_name, uint8_t address, bool interpreted)
{
    // The file is created and its header written before the lock is taken, so the feed thread
    // is not held up by the disk on behalf of a new log.
    auto logger = std::make_unique<Logger>(file_name, address, interpreted);
    std::lock_guard<std::mutex> lock(loggers_mutex_);
    loggers_.push_back(std::move(logger));
}

int Message_displayer::RemoveLoggers(uint8_t address)
{
    std::vector<std::unique_ptr<Logger>> ended;
    {
        std::lock_guard<std::mutex> lock(loggers_mutex_);
        for (auto it = loggers_.begin(); it != loggers_.end();) {
            if ((*it)->Address() == address) {
                ended.push_back(std::move(*it));
                it = loggers_.erase(it);
            } else {
                ++it;
            }
        }
    }
    const int count = static_cast<int>(ended.size());
    ended.clear();  // closing lines written outside the lock
    return count;
}

int Message_displayer::LoggerCount() const
{
    std::lock_guard<std::mutex> lock(loggers_mutex_);
    return static_cast<int>(loggers_.size());
}

void Message_displayer::WriteWaitingBlocks()
{
    while (std::unique_ptr<Message> block = log_queue_.Take()) {
        std::lock_guard<std::mutex> lock(loggers_mutex_);
        for (const auto& logger : loggers_) {
            try {
                logger->Log(*block);
            } catch (...) {
                // One failing log (disk full, file gone) must not stop the others or the feed.
            }
        }
    }
}

void Message_displayer::Run()
{
    SetCurrentThreadPriority(ThreadPriority::Lowest);
    while (!stop_requested_) {
        WriteWaitingBlocks();
        wake_up_.Wait();
    }
    // What reached the log queue before the loop went down still goes into the logs.
    WriteWaitingBlocks();
}
