#pragma once
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>

// A locked first-in first-out list of owned items (blocks and frames travelling between the
// I/O thread, the pumps and the communication feed). Every call takes the queue's own lock
// briefly and never waits for anything else.
template <class T>
class Locked_queue {
public:
    // A null item is not queued.
    void Append(std::unique_ptr<T> item)
    {
        if (!item)
            return;
        std::lock_guard<std::mutex> lock(mutex_);
        items_.push_back(std::move(item));
    }

    // The oldest item, or nullptr when the queue is empty.
    std::unique_ptr<T> Take()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (items_.empty())
            return nullptr;
        std::unique_ptr<T> item = std::move(items_.front());
        items_.pop_front();
        return item;
    }

    size_t Size() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return items_.size();
    }

    void Clear()
    {
        std::deque<std::unique_ptr<T>> dropped;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            dropped.swap(items_);
        }
    }

private:
    mutable std::mutex mutex_;
    std::deque<std::unique_ptr<T>> items_;
};
