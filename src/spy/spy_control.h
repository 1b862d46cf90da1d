#pragma once
#include <string>
#include <vector>

// Switching spy ports on and off. These work only through the named control events, so they reach
// the spy ports of every running instance of the program, not only this one's.

struct SpyEventState {
    std::string event_name;  // "SPY_COM3"
    bool running = false;    // recording on
};

// Every live spy control event of this user ("SPY_" + spy name, in any running instance of the
// program), sorted by name, with its state. Found by scanning /dev/shm for this user's event
// objects; events whose creator has died are left out.
std::vector<SpyEventState> ListSpyEvents();

// Switch the recording of the spy port with the given port name (as given when its loop was
// created; for a bare "pty" port, its device path) on or off. Raise Gallion_error with
// "Not a valid spyobject" when no live port has that name, "Not able to start spyobject" or
// "Not able to stop spyobject" when the event does not take the new state.
void StartSpy(const std::string& port_name);
void StopSpy(const std::string& port_name);

// The same by the control event's own name, as ListSpyEvents gives it ("SPY_COM3"): for callers
// that show the events and let the user pick one. Same errors.
void SwitchSpyEvent(const std::string& event_name, bool on);
// Whether a live event of that name is set; false in `exists` when there is none.
bool SpyEventRunning(const std::string& event_name, bool& exists);
