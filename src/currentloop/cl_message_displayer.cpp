#include "currentloop/cl_message_displayer.h"

CL_Message_displayer::CL_Message_displayer() = default;

CL_Message_displayer::~CL_Message_displayer()
{
    stop_ = true;
    wake_.Set();
    if (thread_.joinable())
        thread_.join();
    WriteWaitingToLogs();
    std::lock_guard<std::mutex> lock(logger_mutex_);
    for (auto& logger : loggers_)
        logger.reset();
}

void CL_Message_displayer::Start()
{
    if (!thread_.joinable())
        thread_ = std::thread(&CL_Message_displayer::Run, this);
}

void CL_Message_displayer::Run()
{
    SetCurrentThreadPriority(ThreadPriority::Lowest);
    while (!stop_) {
        wake_.Wait();
        WriteWaitingToLogs();
    }
}

void CL_Message_displayer::WriteWaitingToLogs()
{
    std::lock_guard<std::mutex> lock(logger_mutex_);
    while (std::unique_ptr<CL_Message> frame = log_queue_.Take()) {
        for (auto& logger : loggers_) {
            if (!logger)
                continue;
            try {
                logger->Write(*frame);
            } catch (...) {
                // A full disk or a vanished file loses log lines, never the feed thread.
            }
        }
    }
}

void CL_Message_displayer::Post(const CL_Message& frame, int direction)
{
    auto copy = std::make_unique<CL_Message>(frame);
    copy->direction = direction;
    if (IsCommunicationOn()) {
        view_queue_.Append(std::move(copy));
    } else {
        log_queue_.Append(std::move(copy));
        wake_.Set();
    }
}

std::string CL_Message_displayer::FetchCommunicationText()
{
    bool interpreted;
    uint8_t filter;
    {
        std::lock_guard<std::mutex> lock(settings_mutex_);
        interpreted = interpreted_;
        filter = filter_address_;
    }
    std::string text;
    while (std::unique_ptr<CL_Message> frame = view_queue_.Take()) {
        const bool shown = filter == 0 || CL_ConcernsAddress(*frame, filter);
        if (shown) {
            text = interpreted ? CL_InterpretedText(*frame) : CL_HexText(*frame);
            if (frame->direction == 0)
                text = "* " + text;
        }
        log_queue_.Append(std::move(frame));
        wake_.Set();
        if (shown)
            break;
    }
    return text;
}

void CL_Message_displayer::SetCommunicationOn(bool on)
{
    std::lock_guard<std::mutex> lock(settings_mutex_);
    communication_on_ = on;
}

bool CL_Message_displayer::IsCommunicationOn() const
{
    std::lock_guard<std::mutex> lock(settings_mutex_);
    return communication_on_;
}

void CL_Message_displayer::SetFilterAddress(uint8_t address)
{
    std::lock_guard<std::mutex> lock(settings_mutex_);
    filter_address_ = address;
}

uint8_t CL_Message_displayer::GetFilterAddress() const
{
    std::lock_guard<std::mutex> lock(settings_mutex_);
    return filter_address_;
}

void CL_Message_displayer::SetInterpreted(bool interpreted)
{
    std::lock_guard<std::mutex> lock(settings_mutex_);
    interpreted_ = interpreted;
}

bool CL_Message_displayer::GetInterpreted() const
{
    std::lock_guard<std::mutex> lock(settings_mutex_);
    return interpreted_;
}

bool CL_Message_displayer::AddLogger(const std::string& file_name, uint8_t address, bool interpreted)
{
    std::lock_guard<std::mutex> lock(logger_mutex_);
    for (auto& slot : loggers_) {
        if (!slot) {
            slot = std::make_unique<CL_Logger>(file_name, address, interpreted);
            return true;
        }
    }
    return false;
}

void CL_Message_displayer::RemoveLogger(uint8_t address)
{
    std::lock_guard<std::mutex> lock(logger_mutex_);
    for (auto& slot : loggers_) {
        if (slot && slot->Address() == address)
            slot.reset();
    }
}

size_t CL_Message_displayer::LoggerCount() const
{
    std::lock_guard<std::mutex> lock(logger_mutex_);
    size_t count = 0;
    for (const auto& slot : loggers_)
        count += slot ? 1 : 0;
    return count;
}
