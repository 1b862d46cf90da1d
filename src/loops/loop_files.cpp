#include "loops/loop_files.h"

#include <filesystem>
#include <system_error>

#include "common/error.h"
#include "config/config_file.h"
#include "loops/cl_loop.h"
#include "loops/zarn_loop.h"

struct Loop_file::Records {
    Configuration configuration;
};

namespace {

// Copies the file that is about to be replaced to its backup name: a copy beside the backup,
// then renamed over it, so an interrupted copy never leaves a half backup. Returns "" when done
// or when there is nothing to keep (no file yet), else what went wrong.
std::string KeepBackup(const std::string& file_name)
{
    namespace fs = std::filesystem;
    std::error_code error;
    if (!fs::is_regular_file(file_name, error))
        return "";
    const std::string backup = BackupName(file_name);
    const std::string partial = backup + ".part";
    if (fs::copy_file(file_name, partial, fs::copy_options::overwrite_existing, error))
        fs::rename(partial, backup, error);
    if (!error)
        return "";
    const std::string reason = error.message();
    fs::remove(partial, error);
    return "Cannot keep the previous configuration as " + backup + ": " + reason;
}

}  // namespace

std::string BackupName(const std::string& file_name)
{
    return file_name + ".bak";
}

std::string SaveLoops(const std::string& file_name, const std::vector<const Pump_loop*>& loops,
                      Previous_file previous)
{
    std::string backup_error;
    if (previous == Previous_file::keep_as_backup && !file_name.empty())
        backup_error = KeepBackup(file_name);

    std::vector<Loop_ref> forecourts;
    for (const Pump_loop* loop : loops) {
        if (const auto* zarn = dynamic_cast<const Zarn_loop*>(loop))
            forecourts.push_back(&zarn->GetForecourt());
        else if (const auto* current_loop = dynamic_cast<const CL_loop*>(loop))
            forecourts.push_back(&current_loop->GetForecourt());
    }
    const std::string save_error = SaveConfigurationFile(file_name, forecourts);
    if (!save_error.empty())
        return save_error;
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
