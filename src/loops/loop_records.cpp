#include "loops/loop_records.h"

#include <algorithm>

#include "config/config_file.h"
#include "loops/pump_loop.h"
#include "platform/error.h"
#include "zarn/zarn_bcd.h"

namespace {

// Decimals written for a Zarn loop without pumps; they have no effect on loading.
constexpr uint8_t kDefaultZarnDecimals = 2;
// The full kind of Zarn pump carries 02 in the third byte of its identity.
constexpr size_t kIdentityKindByte = 2;
constexpr uint8_t kFullKindMark = 0x02;

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

int StoredLevelAt(const std::vector<Automation_record>& automations, int slot)
{
    for (const Automation_record& automation : automations) {
        if (automation.slot == slot)
            return automation.level;
    }
    return 0;
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

namespace {

// Every loop is built the same way: the forecourt with its port open but not yet serving the line
// (made by the caller, with what the whole loop shares), its title and feed settings, the pumps with
// their stored values but not yet answering (`make_pump` creates one unconnected and gives it its
// values; a slot outside the loop makes nothing, and the decoder lets none through), then the line
// served, then slot by slot the connection of each pump stored as connected and the start of its
// automation.
template <class Forecourt, class Record, class Make_pump>
std::unique_ptr<Forecourt> SetUpStoredLoop(std::unique_ptr<Forecourt> forecourt, const Record& record,
                                           const std::string& title_tag, Make_pump make_pump)
{
    forecourt->SetTitle(record.port_name + title_tag);
    forecourt->SetLinePacing(ReadLineSpeedPacing());
    forecourt->SetCommunicationOn(record.feed.on);
    forecourt->SetFilterAddress(record.feed.filter_address);
    forecourt->SetInterpreted(record.feed.interpreted);
    for (const auto& stored : record.pumps)
        make_pump(*forecourt, stored);
    forecourt->StartIo();
    for (int slot = 0; slot <= forecourt->HighestIndex(); ++slot) {
        const auto stored = std::find_if(record.pumps.begin(), record.pumps.end(),
                                         [slot](const auto& pump) { return pump.slot == slot; });
        if (stored != record.pumps.end() && stored->connected)
            forecourt->ConnectPump(slot);
        if (const int level = StoredLevelAt(record.automations, slot))
            forecourt->StartAutomation(slot, level);
    }
    return forecourt;
}

}  // namespace

std::unique_ptr<Zarn_forecourt> BuildLoop(const Zarn_loop_record& record)
{
    const Pump_settings settings = ReadPumpSettings(Zarn_engine::kSettingsSection);
    auto forecourt = std::make_unique<Zarn_forecourt>(record.port_name, record.spy, record.first, record.last,
                                                      settings, Zarn_forecourt::Io_start::on_request);
    return SetUpStoredLoop(std::move(forecourt), record, kZarnTitle,
                           [&](Zarn_forecourt& loop, const Zarn_pump_record& stored) {
                               const bool full_kind = stored.identity.packed[kIdentityKindByte] == kFullKindMark;
                               if (loop.CreateUnconnectedPump(stored.slot, full_kind, settings) >= 0)
                                   ApplyStoredPump(*loop.GetPump(stored.slot), stored, record);
                           });
}

std::unique_ptr<CL_forecourt> BuildLoop(const CL_loop_record& record)
{
    const Pump_settings settings = ReadPumpSettings(CL_engine::kSettingsSection);
    auto forecourt = std::make_unique<CL_forecourt>(record.port_name, record.spy, record.first, record.last,
                                                    settings, CL_forecourt::Io_start::on_request);
    CL_decimals decimals;
    decimals.volume = record.decimals[0];
    decimals.amount = record.decimals[1];
    decimals.price = record.decimals[2];
    decimals.total_volume = record.decimals[3];
    decimals.total_amount = record.decimals[4];
    decimals.total_price = record.decimals[5];
    forecourt->SetDecimals(decimals);  // stored decimals outside 0-8 leave the settings' ones
    return SetUpStoredLoop(std::move(forecourt), record, kCurrentLoopTitle,
                           [&](CL_forecourt& loop, const CL_pump_record& stored) {
                               loop.CreateUnconnectedPump(stored.slot, stored.visible, settings);
                           });
}

std::string SaveConfigurationFile(const std::string& name, const std::vector<Loop_ref>& loops)
{
    return WriteConfigurationFile(name, ConfigurationOf(loops));
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
