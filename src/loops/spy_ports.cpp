#include "loops/spy_ports.h"

#include "platform/settings.h"
#include "spy/spy_control.h"
#include "spy/tspylogger.h"

namespace Spy_ports {

namespace {

const char* const kSection = "SpyPort";

}  // namespace

static_assert(kMinFileSize == TSpyLogger::kMinFileSize);
static_assert(kMaxNumberOfFiles == TSpyLogger::kMaxNumberOfFiles);

const char* const kDefaultDirectory = "(default)";

Settings_text ReadSettings()
{
    Settings_text settings;
    settings.max_file_size =
        Settings::ReadString(kSection, "MaxFileSize", std::to_string(TSpyLogger::kDefaultMaxFileSize));
    settings.number_of_files =
        Settings::ReadString(kSection, "NumberOfFiles", std::to_string(TSpyLogger::kDefaultNumberOfFiles));
    settings.output_directory = Settings::ReadString(kSection, "OutputDirectory", kDefaultDirectory);
    return settings;
}

bool WriteSettings(const Settings_text& settings)
{
    return Settings::WriteString(kSection, "MaxFileSize", settings.max_file_size) &&
           Settings::WriteString(kSection, "NumberOfFiles", settings.number_of_files) &&
           Settings::WriteString(kSection, "OutputDirectory", settings.output_directory);
}

std::vector<std::string> ControlEventNames()
{
    std::vector<std::string> names;
    for (const SpyEventState& event : ListSpyEvents())
        names.push_back(event.event_name);
    return names;
}

bool IsRecording(const std::string& event_name, bool& exists)
{
    return SpyEventRunning(event_name, exists);
}

void SetRecording(const std::string& event_name, bool on)
{
    SwitchSpyEvent(event_name, on);
}

}  // namespace Spy_ports
