#include "shell/app_settings.h"

#include <algorithm>
#include <string>

#include "platform/settings.h"

namespace App_settings {
namespace {

const char* const kMain = "Main";
const char* const kAddLoop = "AddLoop";

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
    p.zarn = ReadPumpSettings(kZarnSection, Settings_reader::preferences);
    p.current_loop = ReadPumpSettings(kCurrentLoopSection, Settings_reader::preferences);
    return p;
}

bool WritePreferences(const Preferences& p)
{
    return Settings::WriteBool(kMain, "AutoLoad", p.auto_load) && Settings::WriteBool(kMain, "AutoSave", p.auto_save) &&
           Settings::WriteBool(kMain, "ShowSpyPort", p.show_spy_port) && WritePumpSettings(kZarnSection, p.zarn) &&
           WritePumpSettings(kCurrentLoopSection, p.current_loop);
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
