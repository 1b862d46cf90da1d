#pragma once
#include <array>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "engine/io_loop.h"
#include "platform/tport.h"
#include "engine/wire_trace.h"
#include "currentloop/cl_frame_assembler.h"
#include "currentloop/cl_message.h"

class CL_pump;
class CL_Message_displayer;

// The I/O thread of a current-loop loop: owns the port, assembles 32-byte frames, checks them,
// hands them to the pumps they are addressed to and writes the replies. A new controller on a TCP
// line starts with an empty frame.
//
// The pump table's lock (the dispatch lock) is held only while a pump takes a frame and its reply
// is copied out, never while the reply is written: a port write that stalls (a controller that
// does not read) never holds up UnregisterPump, so the window thread can always delete a pump.
class CL_IO {
public:
    // Opens the port (Gallion_error when it cannot be opened). The thread starts with Start().
    CL_IO(const std::string& port_name, bool spy, CL_Message_displayer& displayer);
    // Stops the thread at once (wakes a blocked read) and closes the port.
    ~CL_IO();
    CL_IO(const CL_IO&) = delete;
    CL_IO& operator=(const CL_IO&) = delete;

    void Start();

    // Both take the dispatch lock: once UnregisterPump returns, the I/O thread is not inside any
    // call of that pump and will make none, so the pump may be destroyed. Neither waits for a
    // port write.
    bool RegisterPump(CL_pump* pump);
    bool UnregisterPump(CL_pump* pump);

    // True from Start() until the thread ends on a port error.
    bool Running() const { return loop_->Running(); }
    // The port error that ended the thread; empty while none happened.
    std::string ErrorText() const { return loop_->ErrorText(); }
    std::string DevicePath() const { return port_->DevicePath(); }
    void SetLinePacing(bool on) { port_->SetLinePacing(on); }
    bool LinePacing() const { return port_->LinePacing(); }

    // The loop's wire trace: every frame both ways with its bytes and verdict.
    Wire_trace& Trace() { return trace_; }

    // Tests watch the order of dispatch: called on the I/O thread with 'H' before a pump handles
    // a frame and 'S' after its reply was written, each with the pump's address.
    using DispatchObserver = std::function<void(char event, uint8_t address)>;
    void SetDispatchObserverForTest(DispatchObserver observer);

private:
    void ReceiveByte(uint8_t byte);
    void ProcessFrame(CL_Message& frame);
    Trace_verdict CheckAndDispatch(const CL_Message& frame);
    // True when a pump of the loop took the frame.
    bool Dispatch(const CL_Message& frame);
    // Hands the frame to the pump at the address, if any, and writes its reply; true when a pump
    // was there.
    bool HandOver(uint8_t address, const CL_Message& frame);
    void SendReply(CL_Message& reply);

    std::unique_ptr<TPort> port_;
    CL_Message_displayer& displayer_;

    CL_frame_assembler assembler_;  // used by the I/O thread only

    Address_table<CL_pump> pumps_;  // by address character; its lock is the dispatch lock
    std::mutex observer_mutex_;
    DispatchObserver observer_;  // guarded by observer_mutex_

    std::mt19937 random_;  // used by the I/O thread only

    // Replies written for the frame being processed, kept for the trace, which is told after
    // they are on the line (I/O thread only).
    struct Sent_for_trace {
        int64_t wall_us;
        Trace_verdict verdict;
        std::array<uint8_t, cl_frame::kLength> bytes;
    };
    std::vector<Sent_for_trace> sent_for_trace_;
    Wire_trace trace_;  // outlives the thread, which records into it
    std::unique_ptr<Io_loop> loop_;  // the thread; declared last, so it is stopped first
};
