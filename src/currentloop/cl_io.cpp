#include "currentloop/cl_io.h"

#include "platform/clock.h"
#include "platform/random_seed.h"
#include "currentloop/cl_message_displayer.h"
#include "currentloop/cl_pump.h"
#include "currentloop/cl_trace.h"
#include "spy/loop_port.h"

CL_IO::CL_IO(const std::string& port_name, bool spy, CL_Message_displayer& displayer)
    : port_(OpenLoopPort(port_name, spy)),
      displayer_(displayer),
      random_(RandomSeed(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(this)))),
      trace_(CLTraceDescriber()),
      // A new controller starts with an empty frame: what the last one left half sent is dropped.
      loop_(std::make_unique<Io_loop>(
          *port_, [this](uint8_t byte) { ReceiveByte(byte); }, [this] { assembler_.Reset(); }))
{
    sent_for_trace_.reserve(cl_frame::kLastPumpAddress - cl_frame::kFirstPumpAddress + 1);  // a broadcast's replies
}

CL_IO::~CL_IO()
{
    loop_->Stop();  // before the pump table, the assembler and the port go
}

void CL_IO::Start()
{
    loop_->Start();
}

bool CL_IO::RegisterPump(CL_pump* pump)
{
    return pump != nullptr && pumps_.Register(pump->Address(), pump);
}

bool CL_IO::UnregisterPump(CL_pump* pump)
{
    return pump != nullptr && pumps_.Unregister(pump->Address(), pump);
}

void CL_IO::ReceiveByte(uint8_t byte)
{
    if (assembler_.Feed(byte))
        ProcessFrame(assembler_.Frame());
}

void CL_IO::ProcessFrame(CL_Message& frame)
{
    frame.tick = TickMs();
    const bool tracing = trace_.Active();
    const int64_t received_at = tracing ? TraceClockMicros() : 0;
    sent_for_trace_.clear();
    displayer_.Post(frame, 0);
    const Trace_verdict verdict = CheckAndDispatch(frame);
    // The trace is told after the replies are on the line, so it never delays them.
    if (!tracing)
        return;
    trace_.Record(0, frame.bytes[cl_frame::kDestination], verdict, -1, received_at, frame.bytes.data(), frame.length);
    for (const Sent_for_trace& sent : sent_for_trace_)
        trace_.Record(1, sent.bytes[cl_frame::kSource], sent.verdict, -1, sent.wall_us, sent.bytes.data(),
                      sent.bytes.size());
}

Trace_verdict CL_IO::CheckAndDispatch(const CL_Message& frame)
{
    if (frame.length != cl_frame::kLength)
        return Trace_verdict::malformed;
    const uint16_t crc = CL_FrameCrc(frame);
    if (frame.bytes[cl_frame::kCrcHigh] != (crc >> 8) || frame.bytes[cl_frame::kCrcLow] != (crc & 0xFF))
        return Trace_verdict::bad_crc;
    const uint8_t destination = frame.bytes[cl_frame::kDestination];
    const uint8_t type = frame.bytes[cl_frame::kType];
    if (frame.bytes[cl_frame::kSource] != cl_frame::kController || destination == cl_frame::kController ||
        type < '0' || type > '3')
        return Trace_verdict::malformed;
    return Dispatch(frame) ? Trace_verdict::good : Trace_verdict::not_addressed;
}

bool CL_IO::Dispatch(const CL_Message& frame)
{
    const uint8_t destination = frame.bytes[cl_frame::kDestination];
    if (destination != cl_frame::kAllPumps)
        return HandOver(destination, frame);
    // A broadcast: the pump named to answer goes first, so its reply leaves before any other
    // pump has acted on the frame.
    const uint8_t reply_address = CL_ReplyAddress(frame);
    const bool named_pump_done = HandOver(reply_address, frame);
    bool taken = named_pump_done;
    for (unsigned address = cl_frame::kFirstPumpAddress; address <= cl_frame::kLastPumpAddress; ++address) {
        if (!(named_pump_done && address == reply_address))
            taken = HandOver(static_cast<uint8_t>(address), frame) || taken;
    }
    return taken;
}

void CL_IO::SetDispatchObserverForTest(DispatchObserver observer)
{
    std::lock_guard<std::mutex> lock(observer_mutex_);
    observer_ = std::move(observer);
}

bool CL_IO::HandOver(uint8_t address, const CL_Message& frame)
{
    DispatchObserver observer;
    {
        std::lock_guard<std::mutex> lock(observer_mutex_);
        observer = observer_;
    }
    // Under the dispatch lock the pump takes the frame and its reply is copied out of the pump's
    // record; the write happens after the lock is released, so the pump may go meanwhile.
    CL_Message reply;
    bool has_reply = false;
    const bool present = pumps_.With(address, [&](CL_pump& pump) {
        if (observer)
            observer('H', address);
        if (const CL_Message* record = pump.HandleMessage(frame)) {
            reply = *record;
            has_reply = true;
        }
    });
    if (has_reply) {
        SendReply(reply);
        if (observer)
            observer('S', address);
    }
    return present;
}

void CL_IO::SendReply(CL_Message& reply)
{
    reply.bytes[cl_frame::kCrcAdjust] = 0x00;
    uint16_t crc = CL_FrameCrc(reply);
    if (reply.bad_crc) {
        std::uniform_int_distribution<int> byte(0, 254);
        reply.bytes[cl_frame::kCrcHigh] = static_cast<uint8_t>(byte(random_));
        reply.bytes[cl_frame::kCrcLow] = static_cast<uint8_t>(byte(random_));
    } else {
        auto is_framing = [](unsigned b) { return b == cl_frame::kStx || b == cl_frame::kEtx; };
        // Sixteen adjustment values exist; the bound only guards the loop's end.
        for (int attempt = 0; attempt < 16 && (is_framing(crc >> 8) || is_framing(crc & 0xFF)); ++attempt) {
            reply.bytes[cl_frame::kCrcAdjust] = static_cast<uint8_t>(reply.bytes[cl_frame::kCrcAdjust] + 0x10);
            crc = CL_FrameCrc(reply);
        }
        reply.bytes[cl_frame::kCrcHigh] = static_cast<uint8_t>(crc >> 8);
        reply.bytes[cl_frame::kCrcLow] = static_cast<uint8_t>(crc & 0xFF);
    }
    reply.bytes[cl_frame::kEtxIndex] = cl_frame::kEtx;
    reply.tick = TickMs();
    port_->WriteBuffer(reply.bytes.data(), cl_frame::kLength);
    displayer_.Post(reply, 1);
    if (trace_.Active() && sent_for_trace_.size() < sent_for_trace_.capacity()) {
        Sent_for_trace& sent = sent_for_trace_.emplace_back();
        sent.wall_us = TraceClockMicros();
        sent.verdict = reply.bad_crc ? Trace_verdict::bad_crc_injected : Trace_verdict::good;
        std::copy_n(reply.bytes.begin(), cl_frame::kLength, sent.bytes.begin());
    }
}
