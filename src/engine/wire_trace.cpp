#include "engine/wire_trace.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/logfile.h"
#include "engine/pump_address.h"
#include "platform/text.h"

const char* VerdictWord(Trace_verdict verdict)
{
    switch (verdict) {
    case Trace_verdict::good: return "good";
    case Trace_verdict::bad_crc: return "bad_crc";
    case Trace_verdict::wrong_sequence: return "wrong_sequence";
    case Trace_verdict::nak: return "nak";
    case Trace_verdict::echo: return "echo";
    case Trace_verdict::echo_mismatch: return "echo_mismatch";
    case Trace_verdict::echo_wait_given_up: return "echo_wait_given_up";
    case Trace_verdict::not_addressed: return "not_addressed";
    case Trace_verdict::too_short: return "too_short";
    case Trace_verdict::malformed: return "malformed";
    case Trace_verdict::overflow: return "overflow";
    case Trace_verdict::ignored: return "ignored";
    case Trace_verdict::retries_exhausted: return "retries_exhausted";
    case Trace_verdict::resent: return "resent";
    case Trace_verdict::bad_crc_injected: return "bad_crc_injected";
    case Trace_verdict::wrong_sequence_injected: return "wrong_sequence_injected";
    }
    return "unknown";
}

int64_t TraceClockMicros()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

namespace {

// "15:40:01.123" in local time.
std::string LocalTimeText(int64_t wall_us)
{
    const std::time_t seconds = static_cast<std::time_t>(wall_us / 1000000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>((wall_us / 1000) % 1000));
    return text;
}

// Milliseconds since the epoch with three decimals: 1765207201123.456
std::string MillisecondsText(int64_t wall_us)
{
    char text[40];
    std::snprintf(text, sizeof text, "%" PRId64 ".%03d", wall_us / 1000, static_cast<int>(wall_us % 1000));
    return text;
}

std::string HexByteText(uint8_t byte)
{
    char text[4];
    std::snprintf(text, sizeof text, "%02X", byte);
    return text;
}

// The pump number of a line address (1 to 32), 0 for the current loop's address of all pumps
// ('O'), or null for a byte that names no pump.
std::string PumpNumberJson(uint8_t address)
{
    const int number = PumpNumberOf(address);
    if (number < 0 || number > 32)
        return "null";
    return std::to_string(number);
}

// The raw bytes as "50 20 FA" (no trailing space).
std::string LineHex(const Trace_frame& frame)
{
    std::string hex = HexText(frame.bytes.data(), frame.length);
    if (!hex.empty())
        hex.pop_back();
    return hex;
}

}  // namespace

std::string TraceLine(const Trace_frame& frame, const Trace_describer& describer)
{
    std::string line = "{\"ms\":" + MillisecondsText(frame.wall_us);
    line += ",\"time\":\"" + LocalTimeText(frame.wall_us) + "\"";
    line += frame.direction == 0 ? ",\"dir\":\"rx\"" : ",\"dir\":\"tx\"";
    line += ",\"addr\":\"" + HexByteText(frame.address) + "\"";
    line += ",\"pump\":" + PumpNumberJson(frame.address);
    line += ",\"verdict\":\"" + std::string(VerdictWord(frame.verdict)) + "\"";
    if (frame.expected >= 0)
        line += ",\"expected\":" + std::to_string(frame.expected);
    const std::string why = describer.Why(frame);
    if (!why.empty())
        line += ",\"why\":" + JsonString(why);
    line += ",\"hex\":\"" + LineHex(frame) + "\"";
    if (frame.cut > 0)
        line += ",\"cut\":" + std::to_string(frame.cut);
    line += ",\"text\":" + JsonString(describer.Text(frame));
    return line + "}";
}

Wire_trace::Wire_trace(const Trace_describer& describer, size_t capacity)
    : describer_(describer), capacity_(std::max<size_t>(capacity, 1))
{
}

Wire_trace::~Wire_trace()
{
    Stop();
}

bool Wire_trace::Start(const std::string& file_name)
{
    if (Active())
        return false;
    auto file = std::make_unique<Logfile>(file_name, kWireTraceRole);  // raises when it cannot be used
    std::vector<Trace_frame> buffer;
    buffer.reserve(capacity_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        filling_.swap(buffer);
        drops_pending_ = 0;
        drops_total_ = 0;
        stop_ = false;
        recording_ = true;
    }
    file_ = std::move(file);
    file_name_ = file_name;
    priority_.Reset();
    writer_ = std::thread([this] { Run(); });
    active_.store(true, std::memory_order_release);
    return true;
}

std::string Wire_trace::Stop()
{
    if (!writer_.joinable())
        return "";
    active_.store(false, std::memory_order_release);
    priority_.RaiseToNormal();  // nothing waits on the backlog of a starved thread
    {
        std::lock_guard<std::mutex> lock(mutex_);
        recording_ = false;  // from here on the I/O thread adds nothing
        stop_ = true;
        hold_for_test_ = false;
    }
    wake_.notify_all();
    writer_.join();
    const std::string failure = file_->FailureText();
    if (file_->Failed())
        file_->WriteClosing("{\"write_error\":" + JsonString(file_->FailureReason()) +
                            ",\"lost_frames\":" + std::to_string(file_->LostRecords()) + "}\n");
    file_.reset();
    file_name_.clear();
    return failure;
}

std::string Wire_trace::WriteFailureText() const
{
    return file_ ? file_->FailureText() : "";
}

std::string Wire_trace::FileName() const
{
    return file_name_;
}

void Wire_trace::Record(uint8_t direction, uint8_t address, Trace_verdict verdict, int expected, int64_t wall_us,
                        const uint8_t* bytes, size_t count)
{
    bool nearly_full = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!recording_)
            return;
        if (filling_.size() >= capacity_) {
            ++drops_pending_;
            ++drops_total_;
            return;
        }
        Trace_frame& frame = filling_.emplace_back();
        frame.wall_us = wall_us;
        frame.direction = direction;
        frame.address = address;
        frame.verdict = verdict;
        frame.expected = static_cast<int16_t>(expected);
        frame.length = static_cast<uint16_t>(std::min(count, Trace_frame::kMaxBytes));
        frame.cut = static_cast<uint32_t>(count - frame.length);
        if (bytes != nullptr)
            std::memcpy(frame.bytes.data(), bytes, frame.length);
        nearly_full = filling_.size() == capacity_ / 2 + 1;
    }
    // Only once per fill, at half: the writer normally wakes on its own period.
    if (nearly_full)
        wake_.notify_one();
}

uint64_t Wire_trace::DropCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return drops_total_;
}

void Wire_trace::HoldWriterForTest(bool hold)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        hold_for_test_ = hold;
    }
    wake_.notify_all();
}

void Wire_trace::Run()
{
    ThreadPriorityScope priority(priority_, ThreadPriority::Lowest);
    std::vector<Trace_frame> draining;
    draining.reserve(capacity_);
    bool stopping = false;
    while (!stopping) {
        uint64_t drops = 0;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait_for(lock, std::chrono::milliseconds(kWriterPeriodMs),
                           [this] { return stop_ || (!hold_for_test_ && filling_.size() > capacity_ / 2); });
            if (hold_for_test_ && !stop_)
                continue;
            stopping = stop_;
            filling_.swap(draining);  // the I/O thread goes on with the empty buffer
            drops = drops_pending_;
            drops_pending_ = 0;
        }
        WriteWaiting(draining);
        // The frames dropped came after every frame of the buffer just written.
        if (drops > 0)
        {
            const std::string line = "{\"drops\":" + std::to_string(drops) + "}\n";
            file_->Write(line.data(), line.size(), 0);  // the frames it counts were lost already
        }
        draining.clear();
    }
}

void Wire_trace::WriteWaiting(std::vector<Trace_frame>& frames)
{
    if (frames.empty())
        return;
    std::string text;
    text.reserve(frames.size() * 200);
    for (const Trace_frame& frame : frames) {
        text += TraceLine(frame, describer_);
        text += '\n';
    }
    file_->Write(text.data(), text.size(), frames.size());
}
