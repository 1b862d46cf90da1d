#pragma once
#include <memory>
#include <string>
#include <vector>

#include "loops/pump_loop.h"

// Configuration files for loops of either protocol: saving the running loops, reading a file and
// building its loops. All of it runs on the thread that owns the loops.

// What becomes of the file a save replaces: nothing more, or a copy kept as file_name + ".bak"
// (the auto-save's "autosave.gcf.bak"), which replaces the previous backup only once the new file
// is whole and in place.
enum class Previous_file { replace, keep_as_backup };

// Writes the loops, in tab order, to `file_name` (written beside, put on the disk, then renamed
// into place). Returns "" on success, else what went wrong (the old file and its backup are then
// as they were). With keep_as_backup, a backup that cannot be made is reported too (the previous
// backup stays), but the save still goes ahead.
std::string SaveLoops(const std::string& file_name, const std::vector<const Pump_loop*>& loops,
                      Previous_file previous = Previous_file::replace);
// The name of the backup that Previous_file::keep_as_backup keeps.
std::string BackupName(const std::string& file_name);

// A file read and checked whole, before any running loop is touched.
class Loop_file {
public:
    // Reads `file_name`. Error() is empty when the whole file is usable, else the text for the user
    // (a missing, unreadable or damaged file): the caller keeps its loops then.
    explicit Loop_file(const std::string& file_name);
    ~Loop_file();
    const std::string& Error() const { return error_; }
    int LoopCount() const;

    // Builds the file's loops in its order. A loop whose port cannot be opened is left out and its
    // error text added to `errors`; the others are built. Call only when Error() is empty, after
    // the caller has destroyed the loops that may hold the same ports.
    std::vector<std::unique_ptr<Pump_loop>> Build(std::vector<std::string>& errors) const;

private:
    struct Records;
    std::unique_ptr<Records> records_;
    std::string error_;
};
