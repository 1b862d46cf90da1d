#pragma once
// Line bytes into the Zarn I/O path: block cutting, routing, the link rules of two lines and the
// transactions of a real pump, driven cycle by cycle without waiting for its thread.
//
// Input: byte 0 chooses the set-up (bit 0: DATA blocks get their CRC made right, so the pump's
// transaction handling is reached; bit 1: full identity; bit 2: a nozzle is selected and lifted,
// bits 4-7 choosing which); the rest is what the controller sends.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>

#include "engine/pump_settings.h"
#include "platform/clock.h"
#include "zarn/zarn_crc.h"
#include "zarn/zarn_interpreter.h"
#include "zarn/zarn_line.h"
#include "zarn/zarn_pump.h"
#include "zarn/zarn_router.h"
#include "zarn/zarn_transactions.h"

namespace zarn_stream_harness {

inline constexpr uint8_t kPumpAddress = 0x50;
inline constexpr uint8_t kPlainLineAddress = 0x51;

inline void MakeCrcRight(Message& block)
{
    if (block.length < 5 || (block.bytes[1] >> 4) != 0x3)
        return;
    const size_t crc_position = block.length - 3u;
    const uint16_t crc = ZarnCrc16(block.bytes.data(), crc_position);
    block.bytes[crc_position] = static_cast<uint8_t>(crc & 0xFF);
    block.bytes[crc_position + 1] = static_cast<uint8_t>(crc >> 8);
}

// A reply must fit a block and its stuffed form; anything else is a fault worth stopping for.
inline void CheckReply(const Message& reply)
{
    if (reply.length < 2 || reply.length > Message::kCapacity)
        abort();
    uint8_t stuffed[StuffedSize(Message::kCapacity)];
    if (StuffBlock(reply.bytes.data(), reply.length, stuffed, sizeof stuffed) == 0)
        abort();
    (void)ZarnInterpretedText(reply.bytes.data(), reply.length, 1);
}

// Drains what the plain line accepted through the transaction decoder, as a pump would.
inline void DecodeAccepted(Message_queue& queue)
{
    while (std::unique_ptr<Message> block = queue.Take()) {
        Transaction_reader reader(*block, Zarn_decimals{});
        try {
            while (!reader.AtEnd())
                (void)reader.Next();
        } catch (const std::exception&) {
        }
    }
}

}  // namespace zarn_stream_harness

// The settings the harness's pump runs with.
inline Pump_settings ZarnStreamSettings()
{
    Pump_settings settings;
    // The pump's own thread only makes its first cycle; the harness runs the others.
    settings.pump_sleep_ms = 600000;
    settings.log_rx_errors = true;
    return settings;
}

inline int RunZarnStreamInput(const uint8_t* data, size_t size)
{
    using namespace zarn_stream_harness;
    if (size == 0)
        return 0;
    const uint8_t setup = data[0];
    const bool fix_crc = setup & 1;

    Zarn_pump pump(kPumpAddress, (setup & 2) != 0, ZarnStreamSettings());
    Message_queue plain_queue;
    Zarn_line plain_line(kPlainLineAddress, plain_queue, 5);
    Zarn_router router;
    router.Register(&pump.Line());
    router.Register(&plain_line);
    if (setup & 4) {
        pump.SelectNozzle(1 + (setup >> 4) % 15);
        pump.LiftNozzle();
    }

    Zarn_block_cutter cutter;
    int blocks = 0;
    for (size_t i = 1; i < size; ++i) {
        if (!cutter.Feed(data[i]))
            continue;
        std::unique_ptr<Message> block = cutter.TakeBlock();
        if (!block || block->length > Message::kMaxBody)
            abort();  // the cutter never hands over more than a block holds
        if (fix_crc)
            MakeCrcRight(*block);
        (void)ZarnInterpretedText(*block);
        Message reply;
        if (router.Route(std::move(block), reply))
            CheckReply(reply);
        pump.RunCycleForTest();
        DecodeAccepted(plain_queue);
        if (++blocks % 8 == 0)
            AdvanceClockForTest(700);  // deliveries progress; now and then a poll time-out passes
    }
    Zarn_pump_state state;
    pump.GetState(state);
    BCD volume, amount, fillings;
    for (int nozzle = 1; nozzle <= 15; ++nozzle)
        pump.NozzleTotals(nozzle, volume, amount, fillings);
    router.Unregister(&plain_line);
    router.Unregister(&pump.Line());
    return 0;
}
