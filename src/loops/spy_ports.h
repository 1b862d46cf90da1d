#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "spy/spy_settings.h"  // plain values: the recorder's settings the spy-port dialog edits

// The spy ports as the windows reach them: the recorder's settings (section SpyPort, as
// Spy_settings_text) and the control events of every spy port of this user (in this program and
// in every other running instance), through which recording is switched on and off.

namespace Spy_ports {

// The names of this user's live spy control events ("SPY_COM1", "SPY__dev_pts_7"), sorted.
std::vector<std::string> ControlEventNames();
// Whether the event is set (recording on); false in `exists` when it is gone.
bool IsRecording(const std::string& event_name, bool& exists);
// Sets or clears the event. Raises Gallion_error with "Not a valid spyobject" when it is gone,
// "Not able to start spyobject" / "Not able to stop spyobject" when it does not take the state.
void SetRecording(const std::string& event_name, bool on);

}  // namespace Spy_ports
