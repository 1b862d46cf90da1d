#include "currentloop/cl_io.h"

#include <exception>

#include "common/clock.h"
#include "common/thread.h"
#include "currentloop/cl_message_displayer.h"
#include "currentloop/cl_pump.h"
#include "spy/loop_port.h"

CL_IO::CL_IO(const std::string& port_name, bool spy, CL_Message_displayer& displayer)
    : port_(OpenLoopPort(port_name, spy)),
      displayer_(displayer),
      random_(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(this)) ^ TickMs())
{
}

CL_IO::~CL_IO()
{
    stop_ = true;
    port_->Wake();
    if (thread_.joinable())
        thread_.join();
}

void CL_IO::Start()
{
    if (thread_.joinable())
        return;
    running_ = true;
    thread_ = std::thread(&CL_IO::Run, this);
}

bool CL_IO::RegisterPump(CL_pump* pump)
{
    if (!pump)
        return false;
    std::lock_guard<std::mutex> lock(dispatch_mutex_);
    CL_pump*& entry = pumps_[pump->Address()];
    if (entry)
        return false;
    entry = pump;
    return true;
}

bool CL_IO::UnregisterPump(CL_pump* pump)
{
    if (!pump)
        return false;
    std::lock_guard<std::mutex> lock(dispatch_mutex_);
    CL_pump*& entry = pumps_[pump->Address()];
    if (!entry)
        return false;
    entry = nullptr;
    return true;
}

std::string CL_IO::ErrorText() const
{
    std::lock_guard<std::mutex> lock(error_mutex_);
    return error_text_;
}

void CL_IO::Run()
{
    SetCurrentThreadPriority(ThreadPriority::TimeCritical);
    try {
        while (!stop_) {
            std::optional<uint8_t> byte = port_->ReadByte();
            if (byte)
                ReceiveByte(*byte);
        }
    } catch (const std::exception& error) {
        // The loop falls silent; its owner shows the text.
        std::lock_guard<std::mutex> lock(error_mutex_);
        error_text_ = error.what();
    }
    running_ = false;
}

void CL_IO::ReceiveByte(uint8_t byte)
{
    if (assembler_.Feed(byte))
        ProcessFrame(assembler_.Frame());
}

void CL_IO::ProcessFrame(CL_Message& frame)
{
    frame.tick = TickMs();
    displayer_.Post(frame, 0);
    if (frame.length != cl_frame::kLength)
        return;
    const uint16_t crc = CL_FrameCrc(frame);
    if (frame.bytes[cl_frame::kCrcHigh] != (crc >> 8) || frame.bytes[cl_frame::kCrcLow] != (crc & 0xFF))
        return;
    const uint8_t destination = frame.bytes[cl_frame::kDestination];
    const uint8_t type = frame.bytes[cl_frame::kType];
    if (frame.bytes[cl_frame::kSource] != cl_frame::kController || destination == cl_frame::kController ||
        type < '0' || type > '3')
        return;
    Dispatch(frame);
}

void CL_IO::Dispatch(const CL_Message& frame)
{
    std::lock_guard<std::mutex> lock(dispatch_mutex_);
    const uint8_t destination = frame.bytes[cl_frame::kDestination];
    if (destination != cl_frame::kAllPumps) {
        if (CL_pump* pump = pumps_[destination])
            HandOver(pump, frame);
        return;
    }
    // A broadcast: the pump named to answer goes first, so its reply leaves before any other
    // pump has acted on the frame.
    const uint8_t reply_address = CL_ReplyAddress(frame);
    CL_pump* first = pumps_[reply_address];
    if (first)
        HandOver(first, frame);
    for (unsigned address = cl_frame::kFirstPumpAddress; address <= cl_frame::kLastPumpAddress; ++address) {
        CL_pump* pump = pumps_[address];
        if (pump && pump != first)
            HandOver(pump, frame);
    }
}

void CL_IO::SetDispatchObserverForTest(DispatchObserver observer)
{
    std::lock_guard<std::mutex> lock(dispatch_mutex_);
    observer_ = std::move(observer);
}

void CL_IO::HandOver(CL_pump* pump, const CL_Message& frame)
{
    if (observer_)
        observer_('H', pump->Address());
    if (CL_Message* reply = pump->HandleMessage(frame)) {
        SendReply(*reply);
        if (observer_)
            observer_('S', pump->Address());
    }
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
}
