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
    if (byte == cl_frame::kStx) {
        inside_frame_ = true;
        receive_.length = 0;
    }
    if (!inside_frame_)
        return;
    receive_.bytes[receive_.length] = byte;
    ++receive_.length;  // an 8-bit counter: after 255 storing starts again at index 0
    if (byte == cl_frame::kEtx && receive_.length >= cl_frame::kLength) {
        ProcessFrame();
        receive_.length = 0;
        inside_frame_ = false;
    }
}

void CL_IO::ProcessFrame()
{
    receive_.tick = TickMs();
    displayer_.Post(receive_, 0);
    if (receive_.length != cl_frame::kLength)
        return;
    const uint16_t crc = CL_FrameCrc(receive_);
    if (receive_.bytes[cl_frame::kCrcHigh] != (crc >> 8) || receive_.bytes[cl_frame::kCrcLow] != (crc & 0xFF))
        return;
    const uint8_t destination = receive_.bytes[cl_frame::kDestination];
    const uint8_t type = receive_.bytes[cl_frame::kType];
    if (receive_.bytes[cl_frame::kSource] != cl_frame::kController || destination == cl_frame::kController ||
        type < '0' || type > '3')
        return;
    Dispatch();
}

void CL_IO::Dispatch()
{
    std::lock_guard<std::mutex> lock(dispatch_mutex_);
    const uint8_t destination = receive_.bytes[cl_frame::kDestination];
    if (destination != cl_frame::kAllPumps) {
        if (CL_pump* pump = pumps_[destination])
            HandOver(pump);
        return;
    }
    // A broadcast: the pump named to answer goes first, so its reply leaves before any other
    // pump has acted on the frame.
    const uint8_t reply_address = CL_ReplyAddress(receive_);
    CL_pump* first = pumps_[reply_address];
    if (first)
        HandOver(first);
    for (unsigned address = cl_frame::kFirstPumpAddress; address <= cl_frame::kLastPumpAddress; ++address) {
        CL_pump* pump = pumps_[address];
        if (pump && pump != first)
            HandOver(pump);
    }
}

void CL_IO::SetDispatchObserverForTest(DispatchObserver observer)
{
    std::lock_guard<std::mutex> lock(dispatch_mutex_);
    observer_ = std::move(observer);
}

void CL_IO::HandOver(CL_pump* pump)
{
    if (observer_)
        observer_('H', pump->Address());
    if (CL_Message* reply = pump->HandleMessage(receive_)) {
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
