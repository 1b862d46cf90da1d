#pragma once
// Line bytes into the current-loop path: frame assembly, the checks the I/O thread makes, and the
// message handling of two pumps driven cycle by cycle without their threads.
//
// Input: byte 0 chooses the set-up (bit 0: frames get their CRC made right, so the pumps'
// message handling is reached; bit 1: pump 1 has a nozzle out, bits 4-6 choosing which; bits 2-3:
// decimals 0, 2, 3 or 8); the rest is what the controller sends.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/clock.h"
#include "currentloop/cl_frame_assembler.h"
#include "currentloop/cl_message.h"
#include "currentloop/cl_pump.h"
#include "engine/pump_settings.h"

namespace cl_stream_harness {

inline void MakeCrcRight(CL_Message& frame)
{
    if (frame.length != cl_frame::kLength)
        return;
    const uint16_t crc = CL_FrameCrc(frame);
    frame.bytes[cl_frame::kCrcHigh] = static_cast<uint8_t>(crc >> 8);
    frame.bytes[cl_frame::kCrcLow] = static_cast<uint8_t>(crc & 0xFF);
}

inline bool AcceptedFromController(const CL_Message& frame)
{
    if (frame.length != cl_frame::kLength)
        return false;
    const uint16_t crc = CL_FrameCrc(frame);
    return frame.bytes[cl_frame::kCrcHigh] == (crc >> 8) && frame.bytes[cl_frame::kCrcLow] == (crc & 0xFF) &&
           frame.bytes[cl_frame::kSource] == cl_frame::kController;
}

inline void Hand(CL_pump& pump, const CL_Message& frame)
{
    if (CL_Message* reply = pump.HandleMessage(frame)) {
        if (reply->length != cl_frame::kLength)
            abort();  // every reply goes on the line as exactly one frame
        (void)CL_InterpretedText(*reply);
        (void)CL_HexText(*reply);
    }
}

}  // namespace cl_stream_harness

// The settings the harness's pumps run with.
inline Pump_settings CurrentLoopStreamSettings()
{
    Pump_settings settings;
    settings.log_rx_errors = true;
    return settings;
}

inline int RunCurrentLoopStreamInput(const uint8_t* data, size_t size)
{
    using namespace cl_stream_harness;
    if (size == 0)
        return 0;
    const uint8_t setup = data[0];
    const bool fix_crc = setup & 1;
    const Pump_settings settings = CurrentLoopStreamSettings();
    CL_pump first(cl_frame::kFirstPumpAddress, settings);
    CL_pump second(cl_frame::kFirstPumpAddress + 1, settings);
    static const int kDecimals[] = {0, 2, 3, 8};
    const int decimals = kDecimals[(setup >> 2) & 3];
    CL_decimals all{decimals, decimals, decimals, decimals, decimals, decimals};
    first.SetDecimals(all);
    second.SetDecimals(all);
    if (setup & 2)
        first.LiftNozzle(1 + ((setup >> 4) & 7) % 5);

    CL_frame_assembler assembler;
    int frames = 0;
    for (size_t i = 1; i < size; ++i) {
        if (!assembler.Feed(data[i]))
            continue;
        CL_Message& frame = assembler.Frame();
        if (frame.length < cl_frame::kLength)
            abort();  // the assembler never ends a frame short of 32 bytes
        if (fix_crc)
            MakeCrcRight(frame);
        (void)CL_InterpretedText(frame);
        (void)CL_HexText(frame);
        if (AcceptedFromController(frame)) {
            const uint8_t destination = frame.bytes[cl_frame::kDestination];
            if (destination == first.Address() || destination == cl_frame::kAllPumps)
                Hand(first, frame);
            if (destination == second.Address() || destination == cl_frame::kAllPumps)
                Hand(second, frame);
        }
        first.RunCycleForTest();
        second.RunCycleForTest();
        if (++frames % 4 == 0)
            AdvanceClockForTest(900);  // deliveries progress; now and then a poll time-out passes
    }
    (void)first.GetState();
    (void)second.GetState();
    return 0;
}
