#pragma once
#include <memory>
#include <string>

#include "common/tport.h"

// Opens a loop's port: a plain TPort, or with `spy` a port that also records its traffic.
std::unique_ptr<TPort> OpenLoopPort(const std::string& name, bool spy);
