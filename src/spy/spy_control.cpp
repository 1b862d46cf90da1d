#include "spy/spy_control.h"

#include <memory>

#include "platform/error.h"
#include "platform/named_event.h"
#include "spy/spy_name.h"

namespace {

const char* const kSpyEventPrefix = "SPY_";

void SwitchEvent(const std::string& event_name, bool on)
{
    const char* failure_text = on ? "Not able to start spyobject" : "Not able to stop spyobject";
    std::unique_ptr<NamedEvent> event = NamedEvent::Open(event_name);
    if (!event)
        throw Gallion_error("Not a valid spyobject");
    try {
        if (on)
            event->Set();
        else
            event->Clear();
    } catch (const Gallion_error&) {
        throw Gallion_error(failure_text);
    }
    if (event->IsSet() != on)
        throw Gallion_error(failure_text);
}

}  // namespace

std::vector<SpyEventState> ListSpyEvents()
{
    std::vector<SpyEventState> events;
    for (const std::string& name : NamedEvent::List(kSpyEventPrefix)) {
        // An event may end between the listing and the opening: it is then left out.
        std::unique_ptr<NamedEvent> event = NamedEvent::Open(name);
        if (event)
            events.push_back({name, event->IsSet()});
    }
    return events;
}

void StartSpy(const std::string& port_name)
{
    SwitchEvent(SpyControlEventName(port_name), true);
}

void StopSpy(const std::string& port_name)
{
    SwitchEvent(SpyControlEventName(port_name), false);
}

void SwitchSpyEvent(const std::string& event_name, bool on)
{
    SwitchEvent(event_name, on);
}

bool SpyEventRunning(const std::string& event_name, bool& exists)
{
    std::unique_ptr<NamedEvent> event = NamedEvent::Open(event_name);
    exists = event != nullptr;
    return event && event->IsSet();
}
