#pragma once
#include <QList>
#include <QRect>
#include <string>

#include "loops/pump_loop.h"

// The window side's keys in the settings file: section Main (the main window's placement and the
// program-wide choices), section AddLoop (what the New loop dialog remembers between runs), and
// the Zarn and CurrentLoop keys as the Preferences dialog edits them. Every call reads or writes
// the file at once through the settings file layer; nothing is kept here.
namespace App_settings {

// Section Main: what LoadSettings applies to the main window and SaveSettings stores.
struct Window_placement {
    int left = 100;
    int top = 100;
    int width = 753;
    int height = 580;
    bool communication_hidden = false;  // "Hide communication" carries its check mark
};
Window_placement ReadWindowPlacement();
// Writes CommunicationHidden, Left, Top, Width, Height in this order; false when the file could
// not be written (the keys after the failing one are not tried).
bool WriteWindowPlacement(const Window_placement& placement);

// Section Main, program-wide choices (written by the Preferences dialog only).
bool ShowSpyPort();  // default false: no "SpyPort" menu, no "Enable SpyPort" box
bool AutoLoad();     // default false
bool AutoSave();     // default true

// Section AddLoop: the selected entries of the New loop dialog's three lists (-1: none), and the
// port name last in the serial-port field, also one typed by hand that is no entry of the list.
struct Add_loop_memory {
    int protocol = 0;
    int com_port = 0;
    int address = 0;
    std::string port_name;
    bool operator==(const Add_loop_memory&) const = default;
};
Add_loop_memory ReadAddLoopMemory();
bool WriteAddLoopMemory(const Add_loop_memory& memory);  // Protocol, ComPort, Address, PortName

struct Preferences {
    bool auto_save = true;
    bool auto_load = false;
    bool show_spy_port = false;
    Pump_settings zarn;  // read with the dialog's defaults (engine/pump_settings.h)
    Pump_settings current_loop;
};

// Ranges the dialog accepts, narrower than what the engines take from the file: it refuses what an
// operator would not mean rather than let the engines replace it. A sleep of 0 makes a pump thread spin, a time-out of 0 makes every
// pump offline at once, and decimals of 9 or more do not fit the engines' fixed-point fields.
constexpr int kMinPumpSleepMs = 1, kMaxPumpSleepMs = 1000;
constexpr int kMinPollTimeout = 1, kMaxPollTimeout = 3600;
constexpr int kMinDecimals = 0, kMaxDecimals = 8;

// Every key the Preferences dialog shows, the protocol keys read by their one table with the
// dialog's defaults.
Preferences ReadPreferences();
// Writes Main (AutoLoad, AutoSave, ShowSpyPort), then Zarn, then CurrentLoop, each section in the
// table's order; false when the file could not be written.
bool WritePreferences(const Preferences& preferences);

// A stored window rectangle that lies on none of the screens (a monitor removed since, a smaller
// desktop) is moved onto the primary screen, keeping its size where it fits; a rectangle that
// overlaps a screen is returned unchanged.
QRect OnScreen(const QRect& stored, const QList<QRect>& screens, const QRect& primary);

}  // namespace App_settings
