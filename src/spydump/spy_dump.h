#pragma once
#include <ostream>
#include <string>
#include <vector>

// gallion-spy-dump: prints the records of spy files as text, one line per chunk (time, direction,
// the bytes in hex) and, for a known protocol, one line per block or frame that a chunk completes
// (its interpreted text). Files are taken in ring order (by the time of their first record), and
// the byte streams run on from one file into the next. A truncated or damaged file is reported
// where the damage is, and reading goes on with the next record that can be found. Only regular
// files are read (anything else is refused, without waiting on it), through a buffer of fixed
// size, so memory does not grow with the files.

enum class Spy_protocol { automatic, zarn, current_loop, none };

// "zarn", "cl", "none" or "auto"; false for another word.
bool ParseSpyProtocol(const std::string& word, Spy_protocol& protocol);

// Returns the exit status: 0 when every file was read whole, 1 when something was reported
// (truncation, damage), 2 when a file could not be read (or not to its end).
int DumpSpyFiles(const std::vector<std::string>& file_names, Spy_protocol protocol, std::ostream& out);
