#include "spy/spy_settings.h"

#include <algorithm>

#include "platform/settings.h"

namespace {

const char* const kSection = "SpyPort";

}  // namespace

Spy_settings ReadSpySettings()
{
    const Spy_settings defaults;
    Spy_settings settings;
    settings.max_file_size = std::max<int64_t>(Settings::ReadInt64(kSection, "MaxFileSize", defaults.max_file_size),
                                               Spy_settings::kMinFileSize);
    settings.number_of_files = std::clamp(Settings::ReadInt(kSection, "NumberOfFiles", defaults.number_of_files),
                                          Spy_settings::kMinNumberOfFiles, Spy_settings::kMaxNumberOfFiles);
    settings.output_directory = Settings::ReadString(kSection, "OutputDirectory", defaults.output_directory);
    return settings;
}

Spy_settings_text ReadSpySettingsText()
{
    const Spy_settings defaults;
    Spy_settings_text settings;
    settings.max_file_size = Settings::ReadString(kSection, "MaxFileSize", std::to_string(defaults.max_file_size));
    settings.number_of_files =
        Settings::ReadString(kSection, "NumberOfFiles", std::to_string(defaults.number_of_files));
    settings.output_directory = Settings::ReadString(kSection, "OutputDirectory", defaults.output_directory);
    return settings;
}

bool WriteSpySettingsText(const Spy_settings_text& settings)
{
    return Settings::WriteString(kSection, "MaxFileSize", settings.max_file_size) &&
           Settings::WriteString(kSection, "NumberOfFiles", settings.number_of_files) &&
           Settings::WriteString(kSection, "OutputDirectory", settings.output_directory);
}
