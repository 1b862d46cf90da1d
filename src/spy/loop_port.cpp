#include "spy/loop_port.h"

#include "platform/settings.h"
#include "spy/tspyport.h"

std::unique_ptr<TPort> OpenLoopPort(const std::string& name, bool spy)
{
    std::unique_ptr<TPort> port = spy ? std::make_unique<TSpyPort>(name) : std::make_unique<TPort>(name);
    port->SetLinePacing(Settings::ReadBool("Main", "LineSpeedPacing", false));
    return port;
}
