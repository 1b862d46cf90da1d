#include "currentloop/cl_forecourt.h"

#include "engine/pump_address.h"
#include "platform/settings.h"

namespace {

int DecimalsSetting(const char* key)
{
    const int value = Settings::ReadInt("CurrentLoop", key, 2);
    return value >= 0 && value <= kCL_MaxDecimals ? value : 2;
}

}  // namespace

CL_decimals CL_forecourt::DecimalsFromSettings()
{
    CL_decimals decimals;
    decimals.volume = DecimalsSetting("VolumeDecimals");
    decimals.amount = DecimalsSetting("AmountDecimals");
    decimals.price = DecimalsSetting("PriceDecimals");
    return decimals;
}

CL_forecourt::CL_forecourt(const std::string& port_name, bool spy, int first_pump_number, int last_pump_number)
    : CL_forecourt(port_name, spy, first_pump_number, last_pump_number, nullptr)
{
}

CL_forecourt::CL_forecourt(const std::string& port_name, bool spy, int first_pump_number, int last_pump_number,
                           const CL_forecourt_setup& setup)
    : CL_forecourt(port_name, spy, first_pump_number, last_pump_number, &setup)
{
}

CL_forecourt::CL_forecourt(const std::string& port_name, bool spy, int first_pump_number, int last_pump_number,
                           const CL_forecourt_setup* setup)
    : port_name_(port_name),
      spy_(spy),
      first_(first_pump_number),
      last_(last_pump_number),
      title_(" --- " + port_name + " CL ---"),
      decimals_(DecimalsFromSettings()),
      feed_(std::make_unique<CL_Message_displayer>())
{
    error_type_.fill(cl_error::kNone);
    if (setup) {
        if (CL_DecimalsValid(setup->decimals))
            decimals_ = setup->decimals;
        if (!setup->title.empty())
            title_ = setup->title;
        feed_->SetCommunicationOn(setup->communication_on);
        feed_->SetFilterAddress(setup->filter_address);
        feed_->SetInterpreted(setup->interpreted);
    }
    feed_->Start();
    io_ = std::make_unique<CL_IO>(port_name, spy, *feed_);
    if (!setup) {
        io_->Start();
        return;
    }

    for (const CL_forecourt_setup::Pump& stored : setup->pumps) {
        if (!SlotInLoop(stored.slot) || pumps_[stored.slot])
            continue;
        auto pump = std::make_unique<CL_pump>(AddressOf(stored.slot));
        pump->SetDecimals(decimals_);
        if (stored.visible_set)
            pump->SetVisibleNozzles(stored.visible);
        pump->Start();
        pumps_[stored.slot] = std::move(pump);
    }
    io_->Start();
    for (const CL_forecourt_setup::Pump& stored : setup->pumps) {
        if (!ValidSlot(stored.slot) || !pumps_[stored.slot])
            continue;
        if (stored.connected)
            ConnectPump(stored.slot);
        if (stored.automation_level >= 1 && stored.automation_level <= 3)
            StartAutomation(stored.slot, stored.automation_level);
    }
}

CL_forecourt::~CL_forecourt()
{
    io_.reset();
    feed_.reset();
    for (auto& automater : automaters_)
        automater.reset();
    for (auto& pump : pumps_)
        pump.reset();
}

uint8_t CL_forecourt::AddressOf(int i) const
{
    // Pump numbers 1 to 32 have addresses 'P' to 'o'; anything else has no address (0).
    const int number = first_ + i;
    if (!ValidSlot(i) || number < 1 || number > 32)
        return 0;
    return PumpAddressOf(number);
}

int CL_forecourt::CreatePump(int i)
{
    if (!SlotInLoop(i) || pumps_[i])
        return -1;
    auto pump = std::make_unique<CL_pump>(AddressOf(i));
    pump->SetDecimals(decimals_);
    pump->Start();
    pumps_[i] = std::move(pump);
    connected_[i] = io_->RegisterPump(pumps_[i].get());
    return i;
}

bool CL_forecourt::DeletePump(int i)
{
    if (!ValidSlot(i) || !pumps_[i])
        return false;
    // Unregistering waits for a dispatch under way, so the I/O thread is out of the pump.
    io_->UnregisterPump(pumps_[i].get());
    connected_[i] = false;
    automaters_[i].reset();
    StopLogging(i);
    pumps_[i].reset();
    return true;
}

CL_pump* CL_forecourt::GetPump(int i) const
{
    return ValidSlot(i) ? pumps_[i].get() : nullptr;
}

bool CL_forecourt::ConnectPump(int i)
{
    if (!ValidSlot(i) || !pumps_[i] || connected_[i])
        return false;
    connected_[i] = io_->RegisterPump(pumps_[i].get());
    return connected_[i];
}

bool CL_forecourt::DisconnectPump(int i)
{
    if (!ValidSlot(i) || !pumps_[i] || !connected_[i])
        return false;
    io_->UnregisterPump(pumps_[i].get());
    connected_[i] = false;
    return true;
}

bool CL_forecourt::IsConnected(int i) const
{
    return ValidSlot(i) && connected_[i];
}

bool CL_forecourt::StartAutomation(int i, int level, const CL_automater_timing& timing)
{
    if (!ValidSlot(i) || !pumps_[i] || level < 1 || level > 3)
        return false;
    automaters_[i].reset();
    automaters_[i] = std::make_unique<CL_Automater>(*pumps_[i], level, timing);
    automaters_[i]->Start();
    return true;
}

void CL_forecourt::StopAutomation(int i)
{
    if (ValidSlot(i))
        automaters_[i].reset();
}

int CL_forecourt::AutomationLevel(int i) const
{
    return ValidSlot(i) && automaters_[i] ? automaters_[i]->AutomationLevel() : 0;
}

bool CL_forecourt::StartLogging(int i, const std::string& file_name, bool interpreted)
{
    if (!ValidSlot(i) || !pumps_[i] || logging_[i])
        return false;
    logging_[i] = feed_->AddLogger(file_name, AddressOf(i), interpreted);
    return logging_[i];
}

std::string CL_forecourt::StopLogging(int i)
{
    if (!ValidSlot(i) || !logging_[i])
        return "";
    std::string failure;
    feed_->RemoveLogger(AddressOf(i), &failure);
    logging_[i] = false;
    return failure;
}

bool CL_forecourt::IsLogging(int i) const
{
    return ValidSlot(i) && logging_[i];
}

int CL_forecourt::ErrorType(int i) const
{
    return ValidSlot(i) ? error_type_[i] : cl_error::kNone;
}

int CL_forecourt::ErrorValue(int i) const
{
    return ValidSlot(i) ? error_value_[i] : 0;
}

bool CL_forecourt::SetErrorType(int i, int code)
{
    if (!ValidSlot(i))
        return false;
    error_type_[i] = code;
    return true;
}

bool CL_forecourt::SetErrorValue(int i, int count)
{
    if (!ValidSlot(i))
        return false;
    error_value_[i] = count;
    return true;
}

bool CL_forecourt::ApplyError(int i)
{
    if (!ValidSlot(i) || !pumps_[i])
        return false;
    pumps_[i]->InjectError(error_type_[i], error_value_[i]);
    return true;
}

bool CL_forecourt::SetDecimals(const CL_decimals& decimals)
{
    if (!CL_DecimalsValid(decimals))
        return false;
    decimals_ = decimals;
    for (auto& pump : pumps_) {
        if (pump)
            pump->SetDecimals(decimals_);
    }
    return true;
}
