#pragma once
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/named_event.h"
#include "platform/thread.h"
#include "spy/spy_record.h"
#include "spy/spy_settings.h"

// A piece of recorded traffic: bytes of one kind (received or sent), the tick at which the port
// handed it to the logger, and the link of the queue it waits in.
struct SpyChunk {
    static constexpr size_t kCapacity = 256;
    std::array<uint8_t, kCapacity> bytes{};
    size_t count = 0;
    uint8_t kind = kSpyReceived;
    uint32_t tick = 0;
    SpyChunk* next = nullptr;
};

// A first-in first-out list of chunks with its own lock. It only links the chunks; the logger
// owns them. Neither operation allocates or waits for anything but the short lock.
class TSpyLoggerMessageQueue {
public:
    void Append(SpyChunk* chunk);
    SpyChunk* Take();  // the oldest chunk, or nullptr when the list is empty
    size_t Count();

private:
    std::mutex mutex_;
    SpyChunk* head_ = nullptr;
    SpyChunk* tail_ = nullptr;
    size_t count_ = 0;
};

// Writes the chunks of one spy port into a ring of files, on its own lowest-priority thread.
//
// Recording is on while the named control event "SPY_" + spy name is set; any program can set or
// clear it. The first chunk that arrives while it is on opens a recording run: the settings of
// section SpyPort are read, and the run starts at file index 0 (replacing an older file). A chunk
// that arrives while it is off is dropped and closes the run. A file ends at the first chunk
// boundary at or after MaxFileSize bytes; the index then moves on and wraps at NumberOfFiles.
//
// The port's side (TakeFreeChunk, HandOver, GiveBack) never waits for the disk: all chunks are
// allocated here, and it only takes short queue locks and sets the data event. When the logger
// falls behind and the pool is used up, the port records nothing until chunks come back.
//
// Destruction writes every chunk still waiting and then, while recording is on, the end marker.
class TSpyLogger {
public:
    static constexpr size_t kPoolSize = 100;

    // Throws Gallion_error when the control event cannot be created (for example because a
    // running program already records a port of that name).
    explicit TSpyLogger(const std::string& spy_name);
    ~TSpyLogger();
    TSpyLogger(const TSpyLogger&) = delete;
    TSpyLogger& operator=(const TSpyLogger&) = delete;

    // An empty chunk of kind received from the pool, or nullptr when the pool is used up.
    SpyChunk* TakeFreeChunk();
    // Stamps the chunk with the current tick and queues it for writing.
    void HandOver(SpyChunk* chunk);
    // Returns a chunk that holds nothing worth writing.
    void GiveBack(SpyChunk* chunk);
    // Chunks in the pool: every chunk not held by the port nor waiting or being written.
    size_t FreeChunkCount() { return free_.Count(); }

    const std::string& SpyName() const { return spy_name_; }
    const std::string& ControlEventName() const { return control_->Name(); }
    // The file of the ring with the given index, with the output directory read at the run start
    // ("(default)" or empty: the current folder; a folder without its trailing '/' gets one).
    static std::string FileName(const std::string& output_directory, const std::string& spy_name, int index);

private:
    void Run();
    void WriteWaitingChunks();
    void Process(const SpyChunk& chunk);
    void OpenRun();
    void CloseRun();
    void CreateFile();
    void WriteChunk(const SpyChunk& chunk);
    void RotateWhenFull();
    void WriteEndMarker();
    void SetTimeBase(uint32_t now_tick);
    int64_t RecordTimeMs(uint32_t chunk_tick);

    const std::string spy_name_;
    std::vector<SpyChunk> chunks_;  // the pool, allocated once
    TSpyLoggerMessageQueue free_;
    TSpyLoggerMessageQueue filled_;
    Event data_event_{false, false};
    std::unique_ptr<NamedEvent> control_;
    std::atomic<bool> stop_{false};
    ThreadPriorityHandle priority_;  // raised by the destructor before it waits for the backlog

    // Used by the logger thread only.
    bool run_open_ = false;
    std::ofstream file_;
    int file_index_ = 0;
    uint64_t size_ = 0;
    Spy_settings settings_;  // read at the start of each run
    int64_t base_wall_ms_ = 0;  // wall-clock milliseconds at base_tick_
    uint32_t base_tick_ = 0;

    std::thread thread_;  // started last, joined first
};
