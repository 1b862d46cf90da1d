#pragma once
#include <string>

#include "platform/tport.h"

// The name under which a port's traffic is recorded: the middle of its spy file names
// ("SPYPS_" + name + "_0000.buf") and of its control event ("SPY_" + name).
//
// Rule: the port name as given when the loop was created, with every character that a file or
// event name cannot hold replaced by '_': the path and drive separators '/', '\\' and ':', the
// wildcard and quoting characters '*', '?', '"', '<', '>', '|', and every control character
// (0x00-0x1F and 0x7F). COM1 stays COM1, /dev/ttyUSB0 becomes _dev_ttyUSB0, pty:/tmp/x becomes
// pty__tmp_x, tcp:10.0.0.5:4001 becomes tcp_10.0.0.5_4001. A virtual port opened with the bare
// name "pty" (several can exist at once) is named after the pseudo-terminal's device path instead:
// /dev/pts/7 becomes _dev_pts_7; one that listens on port 0 (any free port) after the endpoint it
// got: tcp-listen:0 on 127.0.0.1:41234 becomes tcp-listen_127.0.0.1_41234.
std::string SpyNameOfPortName(const std::string& port_name);
std::string SpyName(const TPort& port);

// "SPY_" + the spy name of the port name: the event that switches the port's recording.
std::string SpyControlEventName(const std::string& port_name);
