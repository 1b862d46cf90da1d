#include "engine/io_loop.h"

#include <exception>
#include <optional>

#include "platform/thread.h"
#include "platform/tport.h"

Io_loop::Io_loop(TPort& port, Byte_handler on_byte, Peer_handler on_new_peer)
    : port_(port), on_byte_(std::move(on_byte)), on_new_peer_(std::move(on_new_peer))
{
}

Io_loop::~Io_loop()
{
    Stop();
}

void Io_loop::Start()
{
    if (thread_.joinable() || stop_)
        return;
    running_ = true;
    thread_ = std::thread([this] { Run(); });
}

void Io_loop::Stop()
{
    stop_ = true;
    port_.Wake();
    if (thread_.joinable())
        thread_.join();
    running_ = false;
}

std::string Io_loop::ErrorText() const
{
    std::lock_guard<std::mutex> lock(error_mutex_);
    return error_text_;
}

void Io_loop::Run()
{
    SetCurrentThreadPriority(ThreadPriority::TimeCritical);
    try {
        while (!stop_) {
            std::optional<uint8_t> byte = port_.ReadByte();
            // A byte read in the same call as a new connection is already the new peer's.
            if (port_.TakeNewPeer() && on_new_peer_)
                on_new_peer_();
            if (byte)
                on_byte_(*byte);  // nothing: a read time-out, or woken to stop
        }
    } catch (const std::exception& error) {
        // The loop falls silent; its owner shows the text.
        std::lock_guard<std::mutex> lock(error_mutex_);
        error_text_ = error.what();
    }
    running_ = false;
}
