#include "spy/tspylogger.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/clock.h"

namespace {

// How far the time base may stray from the wall clock before it is taken anew. The wall clock is
// read in whole seconds, so a base that is right can be up to a second off either way.
const int64_t kTimeBaseToleranceMs = 2000;

}  // namespace

void TSpyLoggerMessageQueue::Append(SpyChunk* chunk)
{
    std::lock_guard<std::mutex> lock(mutex_);
    chunk->next = nullptr;
    if (tail_)
        tail_->next = chunk;
    else
        head_ = chunk;
    tail_ = chunk;
    ++count_;
}

SpyChunk* TSpyLoggerMessageQueue::Take()
{
    std::lock_guard<std::mutex> lock(mutex_);
    SpyChunk* chunk = head_;
    if (chunk) {
        head_ = chunk->next;
        if (!head_)
            tail_ = nullptr;
        chunk->next = nullptr;
        --count_;
    }
    return chunk;
}

size_t TSpyLoggerMessageQueue::Count()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
}

TSpyLogger::TSpyLogger(const std::string& spy_name)
    : spy_name_(spy_name), chunks_(kPoolSize), control_(NamedEvent::Create("SPY_" + spy_name))
{
    for (SpyChunk& chunk : chunks_)
        free_.Append(&chunk);
    thread_ = std::thread([this] { Run(); });
}

TSpyLogger::~TSpyLogger()
{
    // The thread writes what is still waiting before it ends: at normal priority, so a busy
    // machine cannot make the destruction wait on a starved thread.
    priority_.RaiseToNormal();
    stop_ = true;
    data_event_.Set();
    thread_.join();
}

SpyChunk* TSpyLogger::TakeFreeChunk()
{
    SpyChunk* chunk = free_.Take();
    if (chunk) {
        chunk->count = 0;
        chunk->kind = kSpyReceived;
    }
    return chunk;
}

void TSpyLogger::HandOver(SpyChunk* chunk)
{
    chunk->tick = TickMs();
    filled_.Append(chunk);
    data_event_.Set();
}

void TSpyLogger::GiveBack(SpyChunk* chunk)
{
    free_.Append(chunk);
}

std::string TSpyLogger::FileName(const std::string& output_directory, const std::string& spy_name, int index)
{
    char number[16];
    std::snprintf(number, sizeof number, "%04d", index);
    std::string prefix = output_directory == Spy_settings::kDefaultDirectory ? std::string() : output_directory;
    // A folder given without its trailing separator still means that folder, not a name prefix.
    if (!prefix.empty() && prefix.back() != '/')
        prefix += '/';
    return prefix + "SPYPS_" + spy_name + "_" + number + ".buf";
}

void TSpyLogger::Run()
{
    ThreadPriorityScope priority(priority_, ThreadPriority::Lowest);
    while (!stop_) {
        data_event_.Wait();
        WriteWaitingChunks();
    }
    // Chunks handed over just before the stop may have missed the last round.
    WriteWaitingChunks();
    WriteEndMarker();
    file_.close();
}

void TSpyLogger::WriteWaitingChunks()
{
    // Each chunk is in the file before it goes back to the pool, so a chunk in the pool has been
    // written or dropped.
    while (SpyChunk* chunk = filled_.Take()) {
        Process(*chunk);
        if (file_.is_open())
            file_.flush();
        free_.Append(chunk);
    }
}

void TSpyLogger::Process(const SpyChunk& chunk)
{
    if (!control_->IsSet()) {
        CloseRun();
        return;
    }
    if (!run_open_)
        OpenRun();
    WriteChunk(chunk);
}

void TSpyLogger::OpenRun()
{
    file_.close();
    size_ = 0;
    file_index_ = 0;
    settings_ = ReadSpySettings();
    CreateFile();
    SetTimeBase(TickMs());
    run_open_ = true;
}

void TSpyLogger::CloseRun()
{
    // Nothing more goes into the file of a closed run, so it is released at once.
    run_open_ = false;
    file_.close();
}

void TSpyLogger::CreateFile()
{
    // A file that cannot be created leaves the run without one: its chunks are not written.
    file_.clear();
    file_.open(FileName(settings_.output_directory, spy_name_, file_index_),
               std::ios::binary | std::ios::out | std::ios::trunc);
}

void TSpyLogger::WriteChunk(const SpyChunk& chunk)
{
    if (!file_.is_open())
        return;
    std::vector<uint8_t> records = SpyChunkRecords(RecordTimeMs(chunk.tick), chunk.kind, chunk.bytes.data(), chunk.count);
    file_.write(reinterpret_cast<const char*>(records.data()), static_cast<std::streamsize>(records.size()));
    size_ += records.size();
    RotateWhenFull();
}

void TSpyLogger::RotateWhenFull()
{
    if (static_cast<int64_t>(size_) < settings_.max_file_size)
        return;
    size_ = 0;
    ++file_index_;
    if (file_index_ >= settings_.number_of_files)
        file_index_ = 0;
    file_.close();
    CreateFile();
}

void TSpyLogger::WriteEndMarker()
{
    if (!control_->IsSet())
        return;
    if (!run_open_)
        OpenRun();
    if (file_.is_open())
        file_.put(static_cast<char>(kSpyEndMarker));
}

void TSpyLogger::SetTimeBase(uint32_t now_tick)
{
    base_wall_ms_ = static_cast<int64_t>(WallSeconds()) * 1000;
    base_tick_ = now_tick;
}

int64_t TSpyLogger::RecordTimeMs(uint32_t chunk_tick)
{
    // The base pairs a wall-clock time with a tick; a chunk's time is the base moved on by the
    // ticks since. The base is taken anew when it no longer agrees with the wall clock (the clock
    // was set, or the tick ran for longer than it can count).
    uint32_t now_tick = TickMs();
    int64_t now_ms = base_wall_ms_ + static_cast<uint32_t>(now_tick - base_tick_);
    int64_t wall_ms = static_cast<int64_t>(WallSeconds()) * 1000;
    if (std::llabs(now_ms - wall_ms) > kTimeBaseToleranceMs) {
        SetTimeBase(now_tick);
        now_ms = base_wall_ms_;
    }
    int32_t chunk_age = static_cast<int32_t>(now_tick - chunk_tick);
    if (chunk_age < 0)
        chunk_age = 0;
    return now_ms - chunk_age;
}
