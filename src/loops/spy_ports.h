#pragma once
#include <cstdint>
#include <string>
#include <vector>

// The spy ports as the windows reach them: the recorder's settings in section SpyPort of the
// settings file, and the control events of every spy port of this user (in this program and in
// every other running instance), through which recording is switched on and off.

namespace Spy_ports {

// Limits of the recorder's settings: a file of at least 1 KiB, 1 to 9999 files in the ring (the
// index has four digits; 0 files would never rotate).
constexpr int64_t kMinFileSize = 1024;
constexpr int kMinNumberOfFiles = 1;
constexpr int kMaxNumberOfFiles = 9999;
extern const char* const kDefaultDirectory;  // "(default)": the current folder

// Section SpyPort as texts, as stored (defaults "640000", "4", "(default)").
struct Settings_text {
    std::string max_file_size;
    std::string number_of_files;
    std::string output_directory;
};
Settings_text ReadSettings();
// Writes MaxFileSize, NumberOfFiles and OutputDirectory; false when the file could not be written.
bool WriteSettings(const Settings_text& settings);

// The names of this user's live spy control events ("SPY_COM1", "SPY__dev_pts_7"), sorted.
std::vector<std::string> ControlEventNames();
// Whether the event is set (recording on); false in `exists` when it is gone.
bool IsRecording(const std::string& event_name, bool& exists);
// Sets or clears the event. Raises Gallion_error with "Not a valid spyobject" when it is gone,
// "Not able to start spyobject" / "Not able to stop spyobject" when it does not take the state.
void SetRecording(const std::string& event_name, bool on);

}  // namespace Spy_ports
