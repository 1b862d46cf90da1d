#include "zarn/message.h"

void Message_queue::Append(std::unique_ptr<Message> message)
{
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(std::move(message));
}

std::unique_ptr<Message> Message_queue::Take()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (messages_.empty())
        return nullptr;
    std::unique_ptr<Message> message = std::move(messages_.front());
    messages_.pop_front();
    return message;
}

size_t Message_queue::Size() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_.size();
}

void Message_queue::Clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.clear();
}
