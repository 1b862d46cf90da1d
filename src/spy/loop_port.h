#pragma once
#include <memory>
#include <string>

#include "platform/tport.h"

// Opens a loop's port: a plain TPort, or with `spy` a port that also records its traffic. The
// port starts unpaced; the loop's creator sets the pacing before the line is served.
std::unique_ptr<TPort> OpenLoopPort(const std::string& name, bool spy);
