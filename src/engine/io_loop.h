#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class TPort;

// The I/O thread of a loop (either protocol): the only reader of the loop's port. It takes the
// port's bytes one at a time (the port fetches all that have arrived in one read) at
// time-critical priority and hands every byte to the protocol's handler, which frames it,
// answers through the port and posts to the feed. A port error ends the thread; its text stays
// for the owner to show. Stop() wakes a blocked read, so it returns promptly.
//
// When a new peer comes on the line (a TCP controller connects), the handler's on_new_peer runs
// before the first byte of the new peer: whatever the last peer left half sent belongs to no
// frame of the new one.
class Io_loop {
public:
    using Byte_handler = std::function<void(uint8_t byte)>;
    using Peer_handler = std::function<void()>;

    Io_loop(TPort& port, Byte_handler on_byte, Peer_handler on_new_peer = nullptr);
    ~Io_loop();  // Stop()
    Io_loop(const Io_loop&) = delete;
    Io_loop& operator=(const Io_loop&) = delete;

    void Start();  // once; later calls do nothing
    void Stop();   // wakes the port, waits for the thread; safe to call more than once

    // True from Start() until Stop() or a port error ended the thread.
    bool Running() const { return running_; }
    // The port error that ended the thread; empty while none happened.
    std::string ErrorText() const;

private:
    void Run();

    TPort& port_;
    const Byte_handler on_byte_;
    const Peer_handler on_new_peer_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> running_{false};
    mutable std::mutex error_mutex_;
    std::string error_text_;
    std::thread thread_;
};

// The loop's table of pumps by address byte. The window thread registers and unregisters while
// the I/O thread hands messages over: one lock covers both, so once Unregister returns the I/O
// thread is not inside that item and will not enter it again (its owner may then destroy it).
template <class T>
class Address_table {
public:
    // False (nothing changes) for a null item or an address already taken.
    bool Register(uint8_t address, T* item)
    {
        if (item == nullptr)
            return false;
        std::lock_guard<std::mutex> lock(mutex_);
        T*& entry = items_[address];
        if (entry != nullptr)
            return false;
        entry = item;
        return true;
    }

    // False (nothing changes) when the address does not hold this item.
    bool Unregister(uint8_t address, const T* item)
    {
        if (item == nullptr)
            return false;
        std::lock_guard<std::mutex> lock(mutex_);
        T*& entry = items_[address];
        if (entry != item)
            return false;
        entry = nullptr;
        return true;
    }

    // Calls visit(item) with the table locked when the address holds an item; the item cannot be
    // unregistered meanwhile. Keep the visit short: Register and Unregister wait for it. True when
    // an item was visited.
    template <class Visit>
    bool With(uint8_t address, Visit&& visit)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        T* item = items_[address];
        if (item == nullptr)
            return false;
        visit(*item);
        return true;
    }

private:
    std::mutex mutex_;
    std::array<T*, 256> items_{};
};
