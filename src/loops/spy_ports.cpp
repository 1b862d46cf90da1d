#include "loops/spy_ports.h"

#include "spy/spy_control.h"

namespace Spy_ports {

std::vector<std::string> ControlEventNames()
{
    std::vector<std::string> names;
    for (const SpyEventState& event : ListSpyEvents())
        names.push_back(event.event_name);
    return names;
}

bool IsRecording(const std::string& event_name, bool& exists)
{
    return SpyEventRunning(event_name, exists);
}

void SetRecording(const std::string& event_name, bool on)
{
    SwitchSpyEvent(event_name, on);
}

}  // namespace Spy_ports
