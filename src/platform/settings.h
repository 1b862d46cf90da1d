#pragma once
#include <cstdint>
#include <string>

// Access to the settings file "Gallion.ini" with private-profile semantics: every call opens the
// file, reads or writes, and closes it; nothing is cached. A missing file or key, or a value that
// does not convert, gives the caller's default. Booleans are written "1"/"0" and read true for any
// non-zero integer. Floats are written with the locale's decimal separator (see SetDecimalPoint)
// and read with a point or a comma. Writing creates the file when needed and keeps every other section, key and line as it was.
//
// Location: the file named by SetFile() (the program option), else $GALLION_INI, else
// "Gallion.ini" beside the program file when that folder is writable and is not a "bin" or "sbin"
// folder (an installed program never writes beside itself), else
// $XDG_CONFIG_HOME/Gallion/Gallion.ini (~/.config/Gallion/Gallion.ini).
namespace Settings {

void SetFile(const std::string& path);  // empty: back to the default location

// The decimal separator of the user's locale as the environment gives it (LC_ALL, LC_NUMERIC,
// LANG), whatever the process's numeric locale is at the moment.
char UserDecimalPoint();
// Floats are written with this separator from now on (0: the process's numeric locale decides,
// the default). A program that runs its engines in the "C" convention sets the user's separator
// here first, so the file keeps following the user's locale. Reading takes '.' or ',' either way.
void SetDecimalPoint(char point);
std::string File();

int ReadInt(const std::string& section, const std::string& key, int default_value);
// A whole number beyond the 32-bit range (file sizes): 3000000000 stays 3000000000.
int64_t ReadInt64(const std::string& section, const std::string& key, int64_t default_value);
bool ReadBool(const std::string& section, const std::string& key, bool default_value);
double ReadFloat(const std::string& section, const std::string& key, double default_value);
std::string ReadString(const std::string& section, const std::string& key, const std::string& default_value);

// Each returns false when the file could not be written.
bool WriteInt(const std::string& section, const std::string& key, int value);
bool WriteBool(const std::string& section, const std::string& key, bool value);
bool WriteFloat(const std::string& section, const std::string& key, double value);
bool WriteString(const std::string& section, const std::string& key, const std::string& value);

}  // namespace Settings
