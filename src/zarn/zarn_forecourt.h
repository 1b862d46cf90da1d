#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "engine/forecourt.h"
#include "zarn/zarn_automater.h"
#include "zarn/zarn_message_displayer.h"
#include "zarn/zarn_io.h"
#include "zarn/zarn_pump.h"

// The Zarn part of a forecourt (engine/forecourt.h): up to 16 pumps, every pump number has a line
// address, and a pump is made with its identity flag (true: the full kind).
struct Zarn_engine {
    using Pump = Zarn_pump;
    using IO = Zarn_IO;
    using Feed = Message_displayer;
    using Automater = ::Automater;
    using Automater_timing = ::Automater_timing;
    using Pump_setup = bool;  // the identity flag

    static constexpr int kMaxPumps = 16;
    static constexpr int kNoError = 0;
    static constexpr const char* kTitleTag = "Zarn";
    static constexpr const char* kSettingsSection = kZarnSection;

    static bool HasAddress(int) { return true; }
    static std::unique_ptr<Zarn_IO> MakeIo(const std::string& port_name, bool spy, Message_displayer& feed,
                                           const Pump_settings& settings)
    {
        return std::make_unique<Zarn_IO>(port_name, spy, feed, settings.handle_returning_messages);
    }
    static std::unique_ptr<Zarn_pump> MakePump(uint8_t address, bool identity_flag, const Pump_settings& settings)
    {
        return std::make_unique<Zarn_pump>(address, identity_flag, settings);
    }
    static bool Register(Zarn_IO& io, Zarn_pump& pump) { return io.RegisterPump(&pump.Line()) == 0; }
    static void Unregister(Zarn_IO& io, Zarn_pump& pump) { io.UnregisterPump(&pump.Line()); }
};

// Everything that runs for one Zarn loop. Pump index i (0-15) is pump number first + i with line
// address (first + i + 79) mod 256.
class Zarn_forecourt : public Forecourt<Zarn_engine> {
public:
    using Forecourt::Forecourt;
};
