#include "spy/loop_port.h"

#include "spy/tspyport.h"

std::unique_ptr<TPort> OpenLoopPort(const std::string& name, bool spy)
{
    if (spy)
        return std::make_unique<TSpyPort>(name);
    return std::make_unique<TPort>(name);
}
