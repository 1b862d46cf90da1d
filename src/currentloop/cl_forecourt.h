#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "currentloop/cl_automater.h"
#include "currentloop/cl_io.h"
#include "currentloop/cl_message_displayer.h"
#include "currentloop/cl_pump.h"
#include "engine/forecourt.h"

// What a current-loop pump is made with: the loop's decimals and, for a pump read from a file, its
// stored visible nozzles. Both are in place before the pump's first reply is built.
struct CL_pump_setup {
    CL_decimals decimals;
    std::optional<std::array<bool, 5>> visible_nozzles;
};

// The current-loop part of a forecourt (engine/forecourt.h): up to 8 pumps, pump numbers 1 to 32
// ('P' to 'o') have a line address, and a pump is made with its setup and started.
struct CL_engine {
    using Pump = CL_pump;
    using IO = CL_IO;
    using Feed = CL_Message_displayer;
    using Automater = CL_Automater;
    using Automater_timing = CL_automater_timing;
    using Pump_setup = CL_pump_setup;

    static constexpr int kMaxPumps = 8;
    static constexpr int kNoError = cl_error::kNone;
    static constexpr const char* kTitleTag = "CL";
    static constexpr const char* kSettingsSection = kCurrentLoopSection;

    static bool HasAddress(int pump_number) { return pump_number >= 1 && pump_number <= 32; }
    static std::unique_ptr<CL_IO> MakeIo(const std::string& port_name, bool spy, CL_Message_displayer& feed,
                                         const Pump_settings&)
    {
        return std::make_unique<CL_IO>(port_name, spy, feed);
    }
    static std::unique_ptr<CL_pump> MakePump(uint8_t address, const CL_pump_setup& setup,
                                             const Pump_settings& settings)
    {
        auto pump = std::make_unique<CL_pump>(address, settings);
        pump->SetDecimals(setup.decimals);
        if (setup.visible_nozzles)
            pump->SetVisibleNozzles(*setup.visible_nozzles);
        pump->Start();
        return pump;
    }
    static bool Register(CL_IO& io, CL_pump& pump) { return io.RegisterPump(&pump); }
    static void Unregister(CL_IO& io, CL_pump& pump) { io.UnregisterPump(&pump); }
};

// Everything that runs for one current-loop loop, with the decimals every pump of the loop takes.
// A new forecourt starts with the decimals of the settings it is built with.
class CL_forecourt : public Forecourt<CL_engine> {
public:
    static constexpr int kSlots = kMaxPumps;

    CL_forecourt(const std::string& port_name, bool spy, int first_pump_number, int last_pump_number,
                 const Pump_settings& settings, Io_start io_start = Io_start::now);

    // A pump with the loop's decimals.
    int CreatePump(int i, const Pump_settings& settings)
    {
        return Forecourt::CreatePump(i, {decimals_, std::nullopt}, settings);
    }
    // A pump read from a file: the loop's decimals and its stored visible nozzles, not yet
    // answering the line.
    int CreateUnconnectedPump(int i, const std::array<bool, 5>& visible_nozzles, const Pump_settings& settings)
    {
        return Forecourt::CreateUnconnectedPump(i, {decimals_, visible_nozzles}, settings);
    }

    // False, changing nothing, outside 0-8; else every pump takes the new decimals at once.
    bool SetDecimals(const CL_decimals& decimals);
    CL_decimals GetDecimals() const { return decimals_; }

private:
    CL_decimals decimals_;
};
