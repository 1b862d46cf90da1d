#pragma once
#include <cstdint>
#include <string>

// Section "SpyPort" of the settings file: where the spy recorder writes and how its ring of files
// turns. The recorder reads it when a recording run starts; the spy-port settings dialog shows and
// writes the same keys as the texts they are stored as. Defaults and limits are defined here only.
struct Spy_settings {
    static constexpr int64_t kMinFileSize = 1024;   // smaller would start a file for every chunk
    static constexpr int kMinNumberOfFiles = 1;     // a ring of 0 files would never rotate
    static constexpr int kMaxNumberOfFiles = 9999;  // the file index has four digits
    static constexpr const char* kDefaultDirectory = "(default)";  // no folder: the current one

    int64_t max_file_size = 640000;                    // "MaxFileSize", bytes (64-bit)
    int number_of_files = 4;                           // "NumberOfFiles"
    std::string output_directory = kDefaultDirectory;  // "OutputDirectory"
};

// The section as the recorder takes it: a missing key or a number that does not convert gives
// the default; a number outside its limits gives the nearest limit.
Spy_settings ReadSpySettings();

// The section as stored, for the dialog's fields; a missing key reads as its default's text.
struct Spy_settings_text {
    std::string max_file_size;
    std::string number_of_files;
    std::string output_directory;
};
Spy_settings_text ReadSpySettingsText();
// Writes MaxFileSize, NumberOfFiles and OutputDirectory; false when the file could not be written.
bool WriteSpySettingsText(const Spy_settings_text& settings);
