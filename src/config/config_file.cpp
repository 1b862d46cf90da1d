#include "config/config_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cerrno>
#include <cstring>

#include "platform/error.h"
#include "zarn/bcd.h"

namespace {

// Decimals written for a Zarn loop without pumps; they have no effect on loading.
constexpr uint8_t kDefaultZarnDecimals = 2;
// The full kind of Zarn pump carries 02 in the third byte of its identity.
constexpr size_t kIdentityKindByte = 2;
constexpr uint8_t kFullKindMark = 0x02;
// Reading stops here: no configuration file of a real run comes near it, and a file chosen by
// mistake (a disk image, say) is not read whole into memory.
constexpr size_t kMaxFileBytes = 64 * 1024 * 1024;

// A loaded loop's title: its port name, a blank, its protocol.
const std::string kZarnTitle = " Zarn";
const std::string kCurrentLoopTitle = " Current Loop";

// ---------------------------------------------------------------------------------------------
// From running loops to records

Bcd_field FieldOf(const BCD& number)
{
    return MakeBcdField(number.Value(), number.Decimals());
}

Feed_record FeedOf(bool on, uint8_t filter_address, bool interpreted)
{
    Feed_record feed;
    feed.on = on;
    feed.filter_address = filter_address;
    feed.interpreted = interpreted;
    return feed;
}

Zarn_pump_record RecordOfPump(Zarn_pump& pump, int slot, bool connected)
{
    Zarn_pump_record record;
    record.slot = static_cast<uint8_t>(slot);
    const std::array<uint8_t, 5> identity = pump.Identity();
    std::copy(identity.begin(), identity.end(), record.identity.packed.begin());
    record.visible = pump.VisibleNozzles();
    for (int nozzle = 1; nozzle <= kZarnNozzles; ++nozzle) {
        BCD volume, amount, fillings;
        pump.NozzleTotals(nozzle, volume, amount, fillings);
        Totals_triple& totals = record.totals[nozzle - 1];
        totals.volume = FieldOf(volume);
        totals.amount = FieldOf(amount);
        totals.fillings = FieldOf(fillings);
    }
    record.connected = connected;
    return record;
}

// ---------------------------------------------------------------------------------------------
// From records to running loops

BCD TotalOf(const Bcd_field& field, int decimals)
{
    const uint8_t target = static_cast<uint8_t>(decimals);
    return BCD(kBcdFieldBytes, target, BcdFieldValueAt(field, target));
}

// Gives a freshly created pump the stored decimals, visible nozzles and totals.
void ApplyStoredPump(Zarn_pump& pump, const Zarn_pump_record& stored, const Zarn_loop_record& loop)
{
    pump.SetDecimals(loop.volume_decimals, loop.amount_decimals, loop.price_decimals);
    pump.SetVisibleNozzles(stored.visible);
    for (int nozzle = 1; nozzle <= kZarnNozzles; ++nozzle) {
        const Totals_triple& totals = stored.totals[nozzle - 1];
        pump.SetNozzleTotals(nozzle, TotalOf(totals.volume, loop.volume_decimals),
                             TotalOf(totals.amount, loop.amount_decimals), TotalOf(totals.fillings, 0));
    }
}

const Zarn_pump_record* StoredPumpAt(const Zarn_loop_record& record, int slot)
{
    for (const Zarn_pump_record& pump : record.pumps) {
        if (pump.slot == slot)
            return &pump;
    }
    return nullptr;
}

int StoredLevelAt(const std::vector<Automation_record>& automations, int slot)
{
    for (const Automation_record& automation : automations) {
        if (automation.slot == slot)
            return automation.level;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Files

std::string CannotWriteText(const std::string& name, int error)
{
    return "Cannot write the configuration file " + name + ": " + std::strerror(error);
}

std::string FolderOf(const std::string& name)
{
    const size_t slash = name.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : name.substr(0, slash);
}

bool WriteAll(int fd, const std::vector<uint8_t>& bytes)
{
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = EIO;
        if (n <= 0)
            return false;
        written += static_cast<size_t>(n);
    }
    return true;
}

// The permissions the new file gets: those of the file it replaces, else read-write for the
// owner and readable for others.
mode_t ModeFor(const std::string& name)
{
    struct stat status {};
    if (::stat(name.c_str(), &status) == 0)
        return status.st_mode & 07777;
    return 0644;
}

// The file a save writes: `name` itself, or where the symbolic link `name` ends up (through a
// chain of links, relative targets taken from the folder of their link), so the save changes the
// target and the link stays. A target that does not exist yet is created. Empty and an error
// code when the chain cannot be followed (a loop, an unreadable link).
std::string SaveTarget(const std::string& name, int& error)
{
    std::string path = name;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat status {};
        if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode))
            return path;
        std::vector<char> target(PATH_MAX + 1);
        const ssize_t length = ::readlink(path.c_str(), target.data(), target.size() - 1);
        if (length < 0) {
            error = errno;
            return "";
        }
        std::string next(target.data(), static_cast<size_t>(length));
        path = (!next.empty() && next[0] == '/') ? next : FolderOf(path) + "/" + next;
    }
    error = ELOOP;
    return "";
}

// Writes `bytes` to a temporary file beside `name` (beside the target when `name` is a symbolic
// link), puts it on the disk and renames it into place.
std::string ReplaceFile(const std::string& link_or_name, const std::vector<uint8_t>& bytes)
{
    int link_error = 0;
    const std::string name = SaveTarget(link_or_name, link_error);
    if (name.empty())
        return CannotWriteText(link_or_name, link_error);
    std::string temporary = name + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0)
        return CannotWriteText(link_or_name, errno);

    int error = 0;
    if (::fchmod(fd, ModeFor(name)) != 0 || !WriteAll(fd, bytes) || ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temporary.c_str(), name.c_str()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        return CannotWriteText(link_or_name, error);
    }

    // Make the rename itself durable; a folder that cannot be synced leaves the file in place.
    const int folder = ::open(FolderOf(name).c_str(), O_RDONLY | O_DIRECTORY);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return "";
}

// The file's bytes; empty when it cannot be read or is not a regular file (a FIFO or a device
// would block or never end). The open does not wait, whatever `name` is.
std::vector<uint8_t> ReadFileBytes(const std::string& name)
{
    std::vector<uint8_t> bytes;
    const int fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return bytes;
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        uint8_t buffer[65536];
        while (bytes.size() < kMaxFileBytes) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            bytes.insert(bytes.end(), buffer, buffer + n);
        }
    }
    ::close(fd);
    return bytes;
}

Configuration ConfigurationOf(const std::vector<Loop_ref>& loops)
{
    Configuration configuration;
    for (const Loop_ref& loop : loops) {
        if (Zarn_forecourt* const* zarn = std::get_if<Zarn_forecourt*>(&loop))
            configuration.loops.push_back(RecordOfLoop(**zarn));
        else
            configuration.loops.push_back(RecordOfLoop(*std::get<CL_forecourt*>(loop)));
    }
    return configuration;
}

}  // namespace

Loaded_loop BuildAnyLoop(const Loop_record& record)
{
    if (const auto* zarn = std::get_if<Zarn_loop_record>(&record))
        return BuildLoop(*zarn);
    return BuildLoop(std::get<CL_loop_record>(record));
}

Decode_result ReadConfigurationFile(const std::string& name)
{
    return DecodeConfiguration(ReadFileBytes(name));
}

Zarn_loop_record RecordOfLoop(Zarn_forecourt& forecourt)
{
    Zarn_loop_record record;
    record.first = forecourt.FirstPumpNumber();
    record.last = forecourt.LastPumpNumber();
    record.port_name = forecourt.PortName();
    record.spy = forecourt.Spy();
    record.volume_decimals = record.amount_decimals = record.price_decimals = kDefaultZarnDecimals;
    for (int slot = 0; slot <= forecourt.HighestIndex(); ++slot) {
        Zarn_pump* pump = forecourt.GetPump(slot);
        if (!pump)
            continue;
        if (record.pumps.empty()) {  // the decimals of the pump in the lowest occupied slot
            record.volume_decimals = static_cast<uint8_t>(pump->VolumeDecimals());
            record.amount_decimals = static_cast<uint8_t>(pump->AmountDecimals());
            record.price_decimals = static_cast<uint8_t>(pump->PriceDecimals());
        }
        record.pumps.push_back(RecordOfPump(*pump, slot, forecourt.IsConnected(slot)));
        if (const int level = forecourt.AutomationLevel(slot))
            record.automations.push_back({static_cast<uint8_t>(slot), static_cast<uint8_t>(level)});
    }
    record.feed = FeedOf(forecourt.IsCommunicationOn(), forecourt.GetFilterAddress(), forecourt.GetInterpreted());
    return record;
}

CL_loop_record RecordOfLoop(CL_forecourt& forecourt)
{
    CL_loop_record record;
    record.first = static_cast<uint8_t>(forecourt.FirstPumpNumber());
    record.last = static_cast<uint8_t>(forecourt.LastPumpNumber());
    record.port_name = forecourt.PortName();
    record.spy = forecourt.Spy();
    const CL_decimals decimals = forecourt.GetDecimals();
    record.decimals = {static_cast<uint8_t>(decimals.volume),       static_cast<uint8_t>(decimals.amount),
                       static_cast<uint8_t>(decimals.price),        static_cast<uint8_t>(decimals.total_volume),
                       static_cast<uint8_t>(decimals.total_amount), static_cast<uint8_t>(decimals.total_price)};
    for (int slot = 0; slot < CL_forecourt::kSlots; ++slot) {
        CL_pump* pump = forecourt.GetPump(slot);
        if (!pump)
            continue;
        CL_pump_record stored;
        stored.slot = static_cast<uint8_t>(slot);
        stored.visible = pump->VisibleNozzles();
        stored.connected = forecourt.IsConnected(slot);
        record.pumps.push_back(stored);
        if (const int level = forecourt.AutomationLevel(slot))
            record.automations.push_back({static_cast<uint8_t>(slot), static_cast<uint8_t>(level)});
    }
    record.feed = FeedOf(forecourt.IsCommunicationOn(), forecourt.GetFilterAddress(), forecourt.GetInterpreted());
    return record;
}

std::unique_ptr<Zarn_forecourt> BuildLoop(const Zarn_loop_record& record)
{
    auto forecourt = std::make_unique<Zarn_forecourt>(record.port_name, record.spy, record.first, record.last);
    forecourt->SetTitle(record.port_name + kZarnTitle);
    forecourt->SetCommunicationOn(record.feed.on);
    forecourt->SetFilterAddress(record.feed.filter_address);
    forecourt->SetInterpreted(record.feed.interpreted);

    // The pumps get their stored values before any of them answers the line.
    for (const Zarn_pump_record& stored : record.pumps) {
        const bool full_kind = stored.identity.packed[kIdentityKindByte] == kFullKindMark;
        if (forecourt->CreateUnconnectedPump(stored.slot, full_kind) < 0)
            continue;  // a slot outside the loop; the decoder lets none through
        ApplyStoredPump(*forecourt->GetPump(stored.slot), stored, record);
    }
    for (int slot = 0; slot <= forecourt->HighestIndex(); ++slot) {
        const Zarn_pump_record* stored = StoredPumpAt(record, slot);
        if (stored && stored->connected)
            forecourt->ConnectPump(slot);
        if (const int level = StoredLevelAt(record.automations, slot))
            forecourt->StartAutomation(slot, level);
    }
    return forecourt;
}

std::unique_ptr<CL_forecourt> BuildLoop(const CL_loop_record& record)
{
    CL_forecourt_setup setup;
    setup.decimals.volume = record.decimals[0];
    setup.decimals.amount = record.decimals[1];
    setup.decimals.price = record.decimals[2];
    setup.decimals.total_volume = record.decimals[3];
    setup.decimals.total_amount = record.decimals[4];
    setup.decimals.total_price = record.decimals[5];
    setup.communication_on = record.feed.on;
    setup.filter_address = record.feed.filter_address;
    setup.interpreted = record.feed.interpreted;
    setup.title = record.port_name + kCurrentLoopTitle;
    for (const CL_pump_record& stored : record.pumps) {
        CL_forecourt_setup::Pump pump;
        pump.slot = stored.slot;
        pump.visible = stored.visible;
        pump.visible_set = true;
        pump.connected = stored.connected;
        pump.automation_level = StoredLevelAt(record.automations, stored.slot);
        setup.pumps.push_back(pump);
    }
    return std::make_unique<CL_forecourt>(record.port_name, record.spy, record.first, record.last, setup);
}

std::string SaveConfigurationFile(const std::string& name, const std::vector<Loop_ref>& loops)
{
    if (name.empty())
        return "";
    try {
        return ReplaceFile(name, EncodeConfiguration(ConfigurationOf(loops)));
    } catch (const std::exception& error) {
        return error.what();
    }
}

Load_result LoadConfigurationFile(const std::string& name)
{
    Load_result result;
    if (name.empty())
        return result;
    try {
        const Decode_result decoded = ReadConfigurationFile(name);
        for (const Loop_record& record : decoded.configuration.loops) {
            try {
                result.loops.push_back(BuildAnyLoop(record));
            } catch (const Gallion_error& error) {
                result.errors.push_back(error.what());  // this loop only; the next one may build
            }
        }
        if (!decoded.error.empty())
            result.errors.push_back(decoded.error);
    } catch (const std::exception& error) {
        // Anything else (no memory, no thread) ends the loading; the loops built so far stay.
        result.errors.push_back(error.what());
    }
    return result;
}
