#include "spy/tspyport.h"

#include <algorithm>
#include <cstring>

#include "spy/spy_name.h"

TSpyPort::TSpyPort(const std::string& name) : TPort(name), logger_(std::make_unique<TSpyLogger>(SpyName(*this)))
{
    current_ = logger_->TakeFreeChunk();
}

TSpyPort::~TSpyPort()
{
    {
        std::lock_guard<std::mutex> lock(chunk_mutex_);
        if (current_ && current_->count > 0)
            logger_->HandOver(current_);
        else if (current_)
            logger_->GiveBack(current_);
        current_ = nullptr;
    }
    logger_.reset();
}

std::optional<uint8_t> TSpyPort::ReadByte()
{
    std::optional<uint8_t> byte = TPort::ReadByte();
    if (byte)
        RecordByte(*byte, kSpyReceived);
    return byte;
}

void TSpyPort::WriteByte(uint8_t byte)
{
    TPort::WriteByte(byte);
    RecordByte(byte, kSpySent);
}

void TSpyPort::WriteBuffer(const uint8_t* bytes, size_t count)
{
    TPort::WriteBuffer(bytes, count);
    RecordBuffer(bytes, count);
}

bool TSpyPort::AllChunksWritten()
{
    std::lock_guard<std::mutex> lock(chunk_mutex_);
    size_t held = current_ ? 1 : 0;
    return logger_->FreeChunkCount() + held == TSpyLogger::kPoolSize;
}

void TSpyPort::HandOverCurrent()
{
    logger_->HandOver(current_);
    current_ = logger_->TakeFreeChunk();
}

void TSpyPort::RecordByte(uint8_t byte, uint8_t kind)
{
    std::lock_guard<std::mutex> lock(chunk_mutex_);
    if (!current_)
        current_ = logger_->TakeFreeChunk();
    if (!current_)
        return;  // pool used up: this byte is not recorded
    bool full = current_->count >= kBytesPerChunk;
    bool other_kind = current_->count > 0 && current_->kind != kind;
    if (full || other_kind) {
        HandOverCurrent();
        if (!current_)
            return;
    }
    // An empty chunk simply takes the kind of its first byte, so no empty chunk is ever written.
    current_->kind = kind;
    current_->bytes[current_->count++] = byte;
}

void TSpyPort::RecordBuffer(const uint8_t* bytes, size_t count)
{
    if (!bytes || count == 0)
        return;
    std::lock_guard<std::mutex> lock(chunk_mutex_);
    if (current_ && current_->count > 0)
        HandOverCurrent();
    // The buffer goes into chunks of its own, as many as it needs, in order. Only when the pool
    // runs dry is the rest of it not recorded.
    size_t done = 0;
    while (done < count) {
        if (!current_)
            current_ = logger_->TakeFreeChunk();
        if (!current_)
            return;
        size_t piece = std::min(count - done, SpyChunk::kCapacity);
        std::memcpy(current_->bytes.data(), bytes + done, piece);
        current_->count = piece;
        current_->kind = kSpySent;
        HandOverCurrent();
        done += piece;
    }
}
