#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>

// A locked first-in first-out list of owned items (blocks and frames travelling between the
// I/O thread, the pumps and the communication feed). Every call takes the queue's own lock
// briefly and never waits for anything else.
//
// A queue that a peer on the line can fill is made with a capacity: an item that finds the queue
// full is dropped (destroyed) and counted, so a controller that sends faster than the queue is
// emptied costs a bounded amount of memory. The owner reads the count and reports it.
template <class T>
class Locked_queue {
public:
    static constexpr size_t kUnbounded = std::numeric_limits<size_t>::max();

    explicit Locked_queue(size_t capacity = kUnbounded) : capacity_(capacity) {}

    // Queues the item and returns true; false when it was dropped because the queue holds its
    // capacity already. A null item is neither queued nor counted (false).
    bool Append(std::unique_ptr<T> item)
    {
        if (!item)
            return false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (items_.size() < capacity_) {
                items_.push_back(std::move(item));
                return true;
            }
            ++dropped_total_;
            ++dropped_unreported_;
        }
        return false;  // the item is destroyed outside the lock
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
    size_t Capacity() const { return capacity_; }

    // Items dropped for want of room since the queue was made.
    uint64_t DroppedCount() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return dropped_total_;
    }
    // Items dropped since the last call (for an owner that adds them to its own count).
    uint64_t TakeNewlyDropped()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const uint64_t count = dropped_unreported_;
        dropped_unreported_ = 0;
        return count;
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
    const size_t capacity_;
    mutable std::mutex mutex_;
    std::deque<std::unique_ptr<T>> items_;
    uint64_t dropped_total_ = 0;
    uint64_t dropped_unreported_ = 0;
};
