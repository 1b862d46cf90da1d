#pragma once
#include <memory>
#include <string>

#include "platform/tport.h"

// Opens a loop's port: a plain TPort, or with `spy` a port that also records its traffic. A
// virtual port starts paced at line speed when the setting "LineSpeedPacing" (section "Main",
// default off) is on; the loop's creator may change that afterwards.
std::unique_ptr<TPort> OpenLoopPort(const std::string& name, bool spy);
