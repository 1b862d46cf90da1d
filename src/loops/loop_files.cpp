#include "loops/loop_files.h"

#include <filesystem>
#include <system_error>

#include "platform/error.h"
#include "config/config_file.h"
#include "loops/loop_records.h"
#include "loops/cl_loop.h"
#include "loops/zarn_loop.h"

struct Loop_file::Records {
    Configuration configuration;
};

namespace {

// The copy of the file a save replaces, made beside the backup before the save (the new file's
// write may still fail) and put in place as the backup only once the new file is in place, so a
// failed save leaves the file and its backup as they were.
std::string PartialBackupName(const std::string& file_name)
{
    return BackupName(file_name) + ".part";
}

std::string BackupErrorText(const std::string& file_name, const std::error_code& error)
{
    return "Cannot keep the previous configuration as " + BackupName(file_name) + ": " + error.message();
}

// Copies the file that is about to be replaced to its partial backup; `copied` tells whether
// there is one (no file yet: nothing to keep). Returns "" or what went wrong.
std::string CopyPrevious(const std::string& file_name, bool& copied)
{
    namespace fs = std::filesystem;
    copied = false;
    std::error_code error;
    if (!fs::is_regular_file(file_name, error))
        return "";
    const std::string partial = PartialBackupName(file_name);
    if (fs::copy_file(file_name, partial, fs::copy_options::overwrite_existing, error)) {
        copied = true;
        return "";
    }
    std::error_code ignored;
    fs::remove(partial, ignored);
    return BackupErrorText(file_name, error);
}

// Renames the partial backup over the backup: the backup is always a whole file.
std::string PutBackupInPlace(const std::string& file_name)
{
    namespace fs = std::filesystem;
    std::error_code error;
    fs::rename(PartialBackupName(file_name), BackupName(file_name), error);
    if (!error)
        return "";
    std::error_code ignored;
    fs::remove(PartialBackupName(file_name), ignored);
    return BackupErrorText(file_name, error);
}

}  // namespace

std::string BackupName(const std::string& file_name)
{
    return file_name + ".bak";
}

std::string SaveLoops(const std::string& file_name, const std::vector<const Pump_loop*>& loops,
                      Previous_file previous)
{
    const bool keep = previous == Previous_file::keep_as_backup && !file_name.empty();
    bool copied = false;
    std::string backup_error;
    if (keep)
        backup_error = CopyPrevious(file_name, copied);

    std::vector<Loop_ref> forecourts;
    for (const Pump_loop* loop : loops) {
        if (const auto* zarn = dynamic_cast<const Zarn_loop*>(loop))
            forecourts.push_back(&zarn->GetForecourt());
        else if (const auto* current_loop = dynamic_cast<const CL_loop*>(loop))
            forecourts.push_back(&current_loop->GetForecourt());
    }
    // The new file is written beside, put on the disk and renamed into place; only then does the
    // copy of the previous one become the backup.
    const std::string save_error = SaveConfigurationFile(file_name, forecourts);
    if (!save_error.empty()) {
        if (copied) {
            std::error_code ignored;
            std::filesystem::remove(PartialBackupName(file_name), ignored);
        }
        return save_error;
    }
    if (copied)
        backup_error = PutBackupInPlace(file_name);
    return backup_error;
}

Loop_file::Loop_file(const std::string& file_name) : records_(std::make_unique<Records>())
{
    try {
        Decode_result decoded = ReadConfigurationFile(file_name);
        records_->configuration = std::move(decoded.configuration);
        error_ = decoded.error;
    } catch (const std::exception& error) {
        error_ = error.what();
    }
}

Loop_file::~Loop_file() = default;

int Loop_file::LoopCount() const
{
    return static_cast<int>(records_->configuration.loops.size());
}

std::vector<std::unique_ptr<Pump_loop>> Loop_file::Build(std::vector<std::string>& errors) const
{
    std::vector<std::unique_ptr<Pump_loop>> loops;
    for (const Loop_record& record : records_->configuration.loops) {
        try {
            Loaded_loop loaded = BuildAnyLoop(record);
            if (auto* zarn = std::get_if<std::unique_ptr<Zarn_forecourt>>(&loaded))
                loops.push_back(std::make_unique<Zarn_loop>(std::move(*zarn)));
            else
                loops.push_back(std::make_unique<CL_loop>(std::move(std::get<std::unique_ptr<CL_forecourt>>(loaded))));
        } catch (const Gallion_error& error) {
            errors.push_back(error.what());  // this loop only; the next one may build
        }
    }
    return loops;
}
