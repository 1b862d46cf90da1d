#include "loops/pump_loop.h"

#include "platform/error.h"
#include "platform/port_name.h"
#include "platform/settings.h"
#include "loops/cl_loop.h"
#include "loops/zarn_loop.h"

namespace {

const Protocol_limits kZarnLimits{1, 32, 16, 15, 10};
const Protocol_limits kCurrentLoopLimits{1, 15, 8, 5, 5};

constexpr int kAddressOffset = 79;  // line address = pump number + 79
constexpr double kToggledFlow = 40.0;

}  // namespace

const Protocol_limits& LimitsOf(Protocol protocol)
{
    return protocol == Protocol::zarn ? kZarnLimits : kCurrentLoopLimits;
}

std::string ProtocolWord(Protocol protocol)
{
    return protocol == Protocol::zarn ? "zarn" : "cl";
}

std::string CheckPumpRange(Protocol protocol, int first, int last)
{
    const Protocol_limits& limits = LimitsOf(protocol);
    const bool valid = first >= limits.lowest_pump_number && last <= limits.highest_pump_number && first <= last &&
                       last - first < limits.max_pumps;
    return valid ? "" : "Invalid pump number interval for the chosen protocol";
}

std::string Pump_loop::TabCaption() const
{
    return PortName() + (GetProtocol() == Protocol::zarn ? " Zarn" : " Current Loop");
}

int Pump_loop::Positions() const
{
    return LastPump() - FirstPump() + 1;
}

bool Pump_loop::ValidPosition(int position) const
{
    return position >= 0 && position < Positions();
}

uint8_t Pump_loop::AddressOf(int position) const
{
    return static_cast<uint8_t>((PumpNumberOf(position) + kAddressOffset) % 256);
}

std::string Pump_loop::ProposedLogName(int position) const
{
    return "Pump " + std::to_string(PumpNumberOf(position)) + ".log";
}

int Pump_loop::PumpCount() const
{
    int count = 0;
    for (int position = 0; position < Positions(); ++position)
        count += HasPump(position) ? 1 : 0;
    return count;
}

void Pump_loop::ToggleFlow(int position)
{
    Pump_detail detail;
    if (GetPumpDetail(position, detail))
        SetFlow(position, detail.flow > 0 ? 0.0 : kToggledFlow);
}

void Pump_loop::SetFilterPosition(std::optional<int> position)
{
    if (!position) {
        SetFilterAddress(0);
    } else if (ValidPosition(*position)) {
        SetFilterAddress(AddressOf(*position));
    }
}

namespace {

// A new forecourt with the protocol's settings as they are now, paced as the setting says before
// it serves its line.
template <class Forecourt>
std::unique_ptr<Forecourt> ServingForecourt(const std::string& port_name, bool spy, int first, int last,
                                            const char* settings_section)
{
    auto forecourt = std::make_unique<Forecourt>(port_name, spy, first, last, ReadPumpSettings(settings_section),
                                                 Forecourt::Io_start::on_request);
    forecourt->SetLinePacing(ReadLineSpeedPacing());
    forecourt->StartIo();
    return forecourt;
}

}  // namespace

bool ReadLineSpeedPacing()
{
    return Settings::ReadBool("Main", "LineSpeedPacing", false);
}

std::unique_ptr<Pump_loop> CreateLoop(Protocol protocol, const std::string& port_name, bool spy, int first, int last)
{
    const std::string range_error = CheckPumpRange(protocol, first, last);
    if (!range_error.empty())
        throw Gallion_error(range_error);
    if (protocol == Protocol::zarn)
        return std::make_unique<Zarn_loop>(
            ServingForecourt<Zarn_forecourt>(port_name, spy, first, last, Zarn_engine::kSettingsSection));
    return std::make_unique<CL_loop>(
        ServingForecourt<CL_forecourt>(port_name, spy, first, last, CL_engine::kSettingsSection));
}

bool Pump_loop::ListensOnEveryInterface() const
{
    const std::optional<Port_name> name = Port_name::Read(PortName());
    return name && name->ListensOnEveryInterface(DevicePath());
}
