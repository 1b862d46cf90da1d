#include "shell/app_settings.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <string>

#include "platform/settings.h"

namespace App_settings {
namespace {

const char* const kMain = "Main";
const char* const kAddLoop = "AddLoop";
const char* const kZarn = "Zarn";
const char* const kCurrentLoop = "CurrentLoop";

// A float of the file with either decimal separator: the file's floats follow the locale of
// whoever wrote them (the engines in this program read and write them in the "C" convention).
// Text that does not convert gives the default.
double ReadFloat(const char* section, const char* key, double default_value)
{
    std::string text = Settings::ReadString(section, key, "");
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    size_t start = 0;
    while (start < text.size() && std::isspace(static_cast<unsigned char>(text[start])))
        ++start;
    if (start < text.size() && text[start] == '+')
        ++start;
    if (start >= text.size() || std::count(text.begin(), text.end(), ',') + std::count(text.begin(), text.end(), '.') > 1)
        return default_value;
    std::replace(text.begin(), text.end(), ',', '.');
    double number = 0;
    const auto [end, error] = std::from_chars(text.data() + start, text.data() + text.size(), number);
    if (error != std::errc() || end != text.data() + text.size())
        return default_value;
    return number;
}

// The numeric keys both protocol sections share.
void ReadCommon(const char* section, Protocol_preferences& p)
{
    p.pump_sleep_ms = Settings::ReadInt(section, "PumpSleepMs", p.pump_sleep_ms);
    p.throttle_volume = ReadFloat(section, "ThrottleVolume", p.throttle_volume);
    p.throttle_amount = ReadFloat(section, "ThrottleAmount", p.throttle_amount);
    p.throttle_flow = ReadFloat(section, "ThrottleFlow", p.throttle_flow);
    p.poll_timeout = Settings::ReadInt(section, "PollTimeout", p.poll_timeout);
    p.volume_decimals = Settings::ReadInt(section, "VolumeDecimals", p.volume_decimals);
    p.amount_decimals = Settings::ReadInt(section, "AmountDecimals", p.amount_decimals);
    p.price_decimals = Settings::ReadInt(section, "PriceDecimals", p.price_decimals);
    p.log_rx_errors = Settings::ReadBool(section, "LogRXErrors", p.log_rx_errors);
    p.auto_flow = Settings::ReadBool(section, "AutoFlow", p.auto_flow);
    p.recalc_at_preset = Settings::ReadBool(section, "RecalcAtPreset", p.recalc_at_preset);
}

bool WriteNumbers(const char* section, const Protocol_preferences& p)
{
    return Settings::WriteInt(section, "PumpSleepMs", p.pump_sleep_ms) &&
           Settings::WriteFloat(section, "ThrottleVolume", p.throttle_volume) &&
           Settings::WriteFloat(section, "ThrottleAmount", p.throttle_amount) &&
           Settings::WriteFloat(section, "ThrottleFlow", p.throttle_flow) &&
           Settings::WriteInt(section, "PollTimeout", p.poll_timeout) &&
           Settings::WriteInt(section, "VolumeDecimals", p.volume_decimals) &&
           Settings::WriteInt(section, "AmountDecimals", p.amount_decimals) &&
           Settings::WriteInt(section, "PriceDecimals", p.price_decimals) &&
           Settings::WriteBool(section, "LogRXErrors", p.log_rx_errors);
}

}  // namespace

Window_placement ReadWindowPlacement()
{
    Window_placement placement;
    placement.communication_hidden = Settings::ReadBool(kMain, "CommunicationHidden", placement.communication_hidden);
    placement.left = Settings::ReadInt(kMain, "Left", placement.left);
    placement.top = Settings::ReadInt(kMain, "Top", placement.top);
    placement.width = Settings::ReadInt(kMain, "Width", placement.width);
    placement.height = Settings::ReadInt(kMain, "Height", placement.height);
    return placement;
}

bool WriteWindowPlacement(const Window_placement& placement)
{
    return Settings::WriteBool(kMain, "CommunicationHidden", placement.communication_hidden) &&
           Settings::WriteInt(kMain, "Left", placement.left) && Settings::WriteInt(kMain, "Top", placement.top) &&
           Settings::WriteInt(kMain, "Width", placement.width) && Settings::WriteInt(kMain, "Height", placement.height);
}

bool LineSpeedPacing()
{
    return Settings::ReadBool(kMain, "LineSpeedPacing", false);
}

bool ShowSpyPort()
{
    return Settings::ReadBool(kMain, "ShowSpyPort", false);
}

bool AutoLoad()
{
    return Settings::ReadBool(kMain, "AutoLoad", false);
}

bool AutoSave()
{
    return Settings::ReadBool(kMain, "AutoSave", true);
}

Add_loop_memory ReadAddLoopMemory()
{
    Add_loop_memory memory;
    memory.protocol = Settings::ReadInt(kAddLoop, "Protocol", memory.protocol);
    memory.com_port = Settings::ReadInt(kAddLoop, "ComPort", memory.com_port);
    memory.address = Settings::ReadInt(kAddLoop, "Address", memory.address);
    memory.port_name = Settings::ReadString(kAddLoop, "PortName", "");
    return memory;
}

bool WriteAddLoopMemory(const Add_loop_memory& memory)
{
    return Settings::WriteInt(kAddLoop, "Protocol", memory.protocol) &&
           Settings::WriteInt(kAddLoop, "ComPort", memory.com_port) &&
           Settings::WriteInt(kAddLoop, "Address", memory.address) &&
           Settings::WriteString(kAddLoop, "PortName", memory.port_name);
}

Preferences ReadPreferences()
{
    Preferences p;
    p.auto_save = AutoSave();
    p.auto_load = AutoLoad();
    p.show_spy_port = ShowSpyPort();

    ReadCommon(kZarn, p.zarn);
    p.zarn.filling_complete_only_after_nozzle_returned = Settings::ReadBool(
        kZarn, "FillingCompleteOnlyAfterNozzleReturned", p.zarn.filling_complete_only_after_nozzle_returned);
    p.zarn.handle_returning_messages =
        Settings::ReadBool(kZarn, "HandleReturningMessages", p.zarn.handle_returning_messages);

    p.current_loop.poll_timeout = 15;
    ReadCommon(kCurrentLoop, p.current_loop);
    return p;
}

bool WritePreferences(const Preferences& p)
{
    return Settings::WriteBool(kMain, "AutoLoad", p.auto_load) && Settings::WriteBool(kMain, "AutoSave", p.auto_save) &&
           Settings::WriteBool(kMain, "ShowSpyPort", p.show_spy_port) &&

           WriteNumbers(kZarn, p.zarn) &&
           Settings::WriteBool(kZarn, "HandleReturningMessages", p.zarn.handle_returning_messages) &&
           Settings::WriteBool(kZarn, "RecalcAtPreset", p.zarn.recalc_at_preset) &&
           Settings::WriteBool(kZarn, "FillingCompleteOnlyAfterNozzleReturned",
                               p.zarn.filling_complete_only_after_nozzle_returned) &&
           Settings::WriteBool(kZarn, "AutoFlow", p.zarn.auto_flow) &&

           WriteNumbers(kCurrentLoop, p.current_loop) &&
           Settings::WriteBool(kCurrentLoop, "AutoFlow", p.current_loop.auto_flow) &&
           Settings::WriteBool(kCurrentLoop, "RecalcAtPreset", p.current_loop.recalc_at_preset);
}

QRect OnScreen(const QRect& stored, const QList<QRect>& screens, const QRect& primary)
{
    for (const QRect& screen : screens) {
        if (screen.intersects(stored))
            return stored;
    }
    if (primary.isEmpty())
        return stored;
    // A size the file gives as 0 or negative is no size at all: at least one pixel.
    const int width = std::clamp(stored.width(), 1, primary.width());
    const int height = std::clamp(stored.height(), 1, primary.height());
    // Where the rectangle would have been relative to the primary screen, pulled inside it.
    const int left = std::clamp(stored.left(), primary.left(), primary.right() + 1 - width);
    const int top = std::clamp(stored.top(), primary.top(), primary.bottom() + 1 - height);
    return QRect(left, top, width, height);
}

}  // namespace App_settings
