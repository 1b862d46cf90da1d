#pragma once
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/thread.h"

class Logfile;

// The wire trace of one loop: one JSON line per frame in both directions, with its time, the raw
// line bytes, the interpreted text and what the loop made of it (its verdict). Both engines report
// through it; they differ only in the verdicts they give and in the Trace_describer that turns
// their bytes into text.
//
// The I/O thread only copies the frame into a bounded buffer under a short lock and never waits:
// when the buffer is full the frame is dropped and counted, and the writer puts a line
// {"drops":N} where the frames went missing. A writer thread at the lowest priority formats and
// writes the lines; it wakes every kWriterPeriodMs (or sooner when the buffer fills up), so the
// I/O thread never has to wake it.
//
// A write that fails (disk full, a file that takes no writes) is reported, not swallowed: the
// file is cut back to its last whole line, the frames not written from then on are counted, and
// the trace ends with one more line {"write_error":"REASON","lost_frames":N} when there is room.

// What the loop made of a frame.
enum class Trace_verdict : uint8_t {
    good,                     // taken as the protocol says (answered or not)
    bad_crc,                  // received: its CRC does not match; ignored
    wrong_sequence,           // received DATA: not the expected block number; answered with NAK
    nak,                      // sent: a NAK (the expected number comes with it)
    echo,                     // received: the echo of our last reply; swallowed
    echo_mismatch,            // received while the echo of our reply was awaited; discarded
    echo_wait_given_up,       // received: too many blocks without the echo; discarded, the wait ends
    not_addressed,            // received: no pump of this loop at its address; ignored
    too_short,                // received: too short for its kind; ignored
    malformed,                // received: wrong length, addressing or kind; ignored
    overflow,                 // received: longer than any block; discarded
    ignored,                  // received: dropped by an injected "ignore" error
    retries_exhausted,        // received POLL: the unacknowledged reply was given up; no answer
    resent,                   // sent: the unacknowledged reply again
    bad_crc_injected,         // sent with a wrong CRC (error simulation)
    wrong_sequence_injected,  // sent with a wrong block number (error simulation)
};

// The word the trace writes for a verdict: "good", "bad_crc", "wrong_sequence", ...
const char* VerdictWord(Trace_verdict verdict);

// What the I/O thread learns about one exchange: the verdict on the frame received, the verdict
// on the reply written (if any) and, for a wrong sequence number, the number expected.
struct Trace_outcome {
    Trace_verdict received = Trace_verdict::good;
    Trace_verdict reply = Trace_verdict::good;
    int expected = -1;  // none
};

// One frame as the I/O thread captured it: the raw line bytes as they passed.
struct Trace_frame {
    static constexpr size_t kMaxBytes = 528;  // a Zarn block with every byte stuffed, and SF

    int64_t wall_us = 0;  // microseconds since the epoch
    uint8_t direction = 0;  // 0 received, 1 sent
    uint8_t address = 0;    // the pump address the frame belongs to
    Trace_verdict verdict = Trace_verdict::good;
    int16_t expected = -1;  // the expected sequence number, -1 for none
    uint16_t length = 0;    // bytes kept (at most kMaxBytes)
    uint32_t cut = 0;       // bytes that did not fit
    std::array<uint8_t, kMaxBytes> bytes{};
};

// The protocol part of the trace, called on the writer thread.
class Trace_describer {
public:
    virtual ~Trace_describer() = default;
    // The interpreted text of the frame ("" when none).
    virtual std::string Text(const Trace_frame& frame) const = 0;
    // Why a frame got its verdict, where the verdict alone does not say ("" when nothing to add).
    virtual std::string Why(const Trace_frame& frame) const = 0;
};

// The current wall clock in microseconds since the epoch (the trace's time stamps).
int64_t TraceClockMicros();

// One trace line without its line end, e.g.
// {"ms":1765207201123.456,"time":"15:40:01.123","dir":"rx","addr":"50","pump":1,"verdict":"good",
//  "hex":"50 20 FA","text":"<P1 POLL 0>"}
std::string TraceLine(const Trace_frame& frame, const Trace_describer& describer);

class Wire_trace {
public:
    static constexpr size_t kDefaultCapacity = 2048;  // frames waiting for the writer
    static constexpr int kWriterPeriodMs = 50;

    explicit Wire_trace(const Trace_describer& describer, size_t capacity = kDefaultCapacity);
    ~Wire_trace();  // Stop()
    Wire_trace(const Wire_trace&) = delete;
    Wire_trace& operator=(const Wire_trace&) = delete;

    // Owner thread. Opens the file like a pump log (a regular file only, never blocking on a pipe
    // or device, refused while it is a pump log or another trace) and starts the writer. Raises
    // Gallion_error "Cannot create trace file \"NAME\": REASON"; false when a trace runs already.
    bool Start(const std::string& file_name);
    // Owner thread. Writes what waits, closes the file. Prompt: the writer is raised to normal
    // priority first. Nothing happens when no trace runs. Returns the trace's write failure
    // (WriteFailureText), "" when every frame was written.
    std::string Stop();
    bool Active() const { return active_.load(std::memory_order_acquire); }
    std::string FileName() const;
    // Owner thread. "" while the running trace writes well (or none runs), else
    // "Writing trace file \"NAME\" failed: REASON; N frames lost".
    std::string WriteFailureText() const;

    // I/O thread: keeps a copy of the frame for the writer; never waits for the writer or the
    // disk. A frame that finds the buffer full is dropped and counted.
    void Record(uint8_t direction, uint8_t address, Trace_verdict verdict, int expected, int64_t wall_us,
                const uint8_t* bytes, size_t count);

    // Frames dropped since Start (all of them also appear in the file as {"drops":N} lines).
    uint64_t DropCount() const;

    // Tests: while held, the writer leaves the buffer alone (so a test can fill it).
    void HoldWriterForTest(bool hold);

private:
    void Run();
    void WriteWaiting(std::vector<Trace_frame>& frames);

    const Trace_describer& describer_;
    const size_t capacity_;

    std::atomic<bool> active_{false};
    std::string file_name_;  // owner thread only
    std::unique_ptr<Logfile> file_;

    mutable std::mutex mutex_;  // guards everything below
    std::condition_variable wake_;
    std::vector<Trace_frame> filling_;
    uint64_t drops_pending_ = 0;  // dropped since the writer last took the buffer
    uint64_t drops_total_ = 0;
    bool recording_ = false;
    bool stop_ = false;
    bool hold_for_test_ = false;

    ThreadPriorityHandle priority_;
    std::thread writer_;
};
