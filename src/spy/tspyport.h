#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/tport.h"
#include "spy/tspylogger.h"

// A port that also records its traffic for its TSpyLogger: received bytes (kind 6) and sent
// bytes (kind 7) are collected in chunks of at most 21 bytes of one kind; every written buffer
// becomes a kind-7 chunk of its own (a buffer longer than a chunk is recorded whole across
// several). Recording only copies bytes into chunks allocated in advance: the line is never held
// up, and when the pool is used up the bytes are simply not recorded.
//
// The spy name (see SpyName) names the control event "SPY_" + spy name and the spy files.
class TSpyPort : public TPort {
public:
    static constexpr size_t kBytesPerChunk = 21;

    // Opens the port as TPort does, then starts the logger. Errors of either travel up.
    explicit TSpyPort(const std::string& name);
    // Hands over the bytes of the current chunk, lets the logger write everything still waiting
    // (and the end marker while recording is on), then closes the port.
    ~TSpyPort() override;

    std::optional<uint8_t> ReadByte() override;
    void WriteByte(uint8_t byte) override;
    void WriteBuffer(const uint8_t* bytes, size_t count) override;

    // The spy name of this port (the middle of its file names) and its control event's name.
    const std::string& RecordingName() const { return logger_->SpyName(); }
    const std::string& ControlEventName() const { return logger_->ControlEventName(); }
    // True when every chunk handed over so far has been written to its file (or dropped).
    bool AllChunksWritten();

private:
    void RecordByte(uint8_t byte, uint8_t kind);
    void RecordBuffer(const uint8_t* bytes, size_t count);
    void HandOverCurrent();

    std::unique_ptr<TSpyLogger> logger_;
    std::mutex chunk_mutex_;  // the current chunk, in case reads and writes come from two threads
    SpyChunk* current_ = nullptr;
};
