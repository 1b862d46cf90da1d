#pragma once
#include "engine/pump_settings.h"

// The settings of a pump a test drives, on either protocol: a short cycle, a poll time-out no test
// waits for, and no waiting for echoes (no test controller echoes; the current loop ignores it).
inline Pump_settings QuickPumpSettings()
{
    Pump_settings settings;
    settings.pump_sleep_ms = 5;
    settings.poll_timeout = 3600;
    settings.handle_returning_messages = false;
    return settings;
}
