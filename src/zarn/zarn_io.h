#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/io_loop.h"
#include "platform/tport.h"
#include "engine/wire_trace.h"
#include "zarn/zarn_block_sink.h"
#include "zarn/zarn_message.h"
#include "zarn/zarn_crc.h"
#include "zarn/zarn_line.h"
#include "zarn/zarn_router.h"

// The I/O thread of one Zarn loop: the only user of the loop's port. It cuts the incoming bytes
// into blocks, routes each block to the addressed pump's line, and writes the reply back stuffed
// and closed with SF. Copies of both directions go to the communication feed. A new controller on
// a TCP line starts with an empty block (the half block the last one left is dropped).
//
// With handle_returning_messages (the "HandleReturningMessages" setting, default true) the line
// is taken to return every reply to us (a converter that hears its own transmission): the block
// after a reply is compared with it and swallowed; after more than ten blocks without the echo
// the wait is given up. A virtual port has no converter, so there it is off whatever was asked.
class Zarn_IO {
public:
    // Opens the port (its error leaves the constructor); the thread serves the line from Start().
    Zarn_IO(const std::string& port_name, bool spy, Block_sink& feed, bool handle_returning_messages);
    ~Zarn_IO();
    Zarn_IO(const Zarn_IO&) = delete;
    Zarn_IO& operator=(const Zarn_IO&) = delete;

    void Start();

    int RegisterPump(Zarn_line* line) { return router_.Register(line); }
    int UnregisterPump(Zarn_line* line) { return router_.Unregister(line); }

    std::string DevicePath() const { return port_->DevicePath(); }
    void SetLinePacing(bool on) { port_->SetLinePacing(on); }
    bool LinePacing() const { return port_->LinePacing(); }
    // False once a port error ended the thread; ErrorText() then tells why.
    bool Running() const { return loop_->Running(); }
    std::string ErrorText() const { return loop_->ErrorText(); }
    bool HandlesReturningMessages() const { return handle_returning_; }

    // The loop's wire trace: every block both ways with its raw line bytes and verdict.
    Wire_trace& Trace() { return trace_; }

private:
    void OnByte(uint8_t byte);
    void OnNewPeer();
    void KeepRawByte(uint8_t byte);
    void OnBlock(std::unique_ptr<Message> block);
    Trace_verdict TakeAsEcho(const Message& block);
    size_t WriteReply(Message& reply);
    void TraceRaw(Trace_verdict verdict, int expected, int64_t wall_us);

    Block_sink& feed_;
    std::unique_ptr<TPort> port_;
    Zarn_router router_;
    bool handle_returning_ = true;

    // Used by the I/O thread only.
    Zarn_block_cutter cutter_;
    Message sent_copy_;
    bool has_sent_copy_ = false;
    int mismatch_count_ = 0;
    uint8_t send_buffer_[StuffedSize(Message::kCapacity)] = {};
    // The line bytes of the block being collected, as they arrived (for the trace).
    std::array<uint8_t, Trace_frame::kMaxBytes> raw_{};
    size_t raw_length_ = 0;
    size_t raw_cut_ = 0;

    Wire_trace trace_;  // outlives the thread, which records into it

    std::unique_ptr<Io_loop> loop_;  // the thread; stopped first in the destructor
};
