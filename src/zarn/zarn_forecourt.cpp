#include "zarn/zarn_forecourt.h"

#include <algorithm>

#include "engine/pump_address.h"

Zarn_forecourt::Zarn_forecourt(const std::string& port_name, bool spy, uint8_t first_pump_number,
                               uint8_t last_pump_number)
    : port_name_(port_name),
      spy_(spy),
      first_(first_pump_number),
      last_(last_pump_number),
      title_(" --- " + port_name + " Zarn ---"),
      feed_(std::make_unique<Message_displayer>())
{
    // When the port cannot be opened the error leaves here and the feed, never started, goes
    // with the half-built forecourt.
    io_ = std::make_unique<Zarn_IO>(feed_.get(), port_name, spy);
    feed_->Start();
}

Zarn_forecourt::~Zarn_forecourt()
{
    io_.reset();    // no more traffic: the port is closed
    feed_.reset();  // every open log gets its closing lines
    for (int i = 0; i < kMaxPumps; ++i) {
        automaters_[i].reset();  // hangs its nozzle up while the pump still runs
        pumps_[i].reset();
    }
}

int Zarn_forecourt::HighestIndex() const
{
    if (last_ < first_)
        return -1;
    return std::min(last_ - first_, kMaxPumps - 1);
}

bool Zarn_forecourt::ValidIndex(int index) const
{
    return index >= 0 && index <= HighestIndex();
}

uint8_t Zarn_forecourt::AddressOf(int index) const
{
    return PumpAddressOf(first_ + index);
}

int Zarn_forecourt::PumpCount() const
{
    return static_cast<int>(std::count_if(pumps_.begin(), pumps_.end(), [](const auto& p) { return p != nullptr; }));
}

int Zarn_forecourt::CreatePump(int index, bool identity_flag)
{
    if (CreateUnconnectedPump(index, identity_flag) < 0)
        return -1;
    ConnectPump(index);
    return index;
}

int Zarn_forecourt::CreateUnconnectedPump(int index, bool identity_flag)
{
    if (!ValidIndex(index) || pumps_[index])
        return -1;
    pumps_[index] = std::make_unique<Zarn_pump>(AddressOf(index), identity_flag);
    connected_[index] = false;
    return index;
}

bool Zarn_forecourt::DeletePump(int index)
{
    if (!HasPump(index))
        return false;
    if (connected_[index])
        io_->UnregisterPump(&pumps_[index]->Line());
    connected_[index] = false;
    automaters_[index].reset();
    StopLogging(index);
    pumps_[index].reset();
    return true;
}

Zarn_pump* Zarn_forecourt::GetPump(int index) const
{
    return ValidIndex(index) ? pumps_[index].get() : nullptr;
}

bool Zarn_forecourt::ConnectPump(int index)
{
    if (!HasPump(index) || connected_[index])
        return false;
    connected_[index] = io_->RegisterPump(&pumps_[index]->Line()) == 0;
    return connected_[index];
}

bool Zarn_forecourt::DisconnectPump(int index)
{
    if (!HasPump(index) || !connected_[index])
        return false;
    io_->UnregisterPump(&pumps_[index]->Line());
    connected_[index] = false;
    return true;
}

bool Zarn_forecourt::IsConnected(int index) const
{
    return ValidIndex(index) && connected_[index];
}

bool Zarn_forecourt::StartAutomation(int index, int level)
{
    if (!HasPump(index) || !Automater::ValidLevel(level))
        return false;
    automaters_[index].reset();
    automaters_[index] = std::make_unique<Automater>(*pumps_[index], level);
    return true;
}

void Zarn_forecourt::StopAutomation(int index)
{
    if (ValidIndex(index))
        automaters_[index].reset();
}

int Zarn_forecourt::AutomationLevel(int index) const
{
    if (!ValidIndex(index) || !automaters_[index])
        return 0;
    return automaters_[index]->Level();
}

bool Zarn_forecourt::StartLogging(int index, const std::string& file_name, bool interpreted)
{
    if (!HasPump(index) || logging_[index])
        return false;
    feed_->AddLogger(file_name, AddressOf(index), interpreted);
    logging_[index] = true;
    return true;
}

std::string Zarn_forecourt::StopLogging(int index)
{
    if (!ValidIndex(index))
        return "";
    std::string failure;
    feed_->RemoveLoggers(AddressOf(index), &failure);
    logging_[index] = false;
    return failure;
}

bool Zarn_forecourt::IsLogging(int index) const
{
    return ValidIndex(index) && logging_[index];
}

bool Zarn_forecourt::ApplyError(int index)
{
    if (!HasPump(index))
        return false;
    pumps_[index]->InjectError(error_type_[index], error_value_[index]);
    return true;
}

int Zarn_forecourt::ErrorType(int index) const
{
    return ValidIndex(index) ? error_type_[index] : 0;
}

int Zarn_forecourt::ErrorValue(int index) const
{
    return ValidIndex(index) ? error_value_[index] : 0;
}

bool Zarn_forecourt::SetErrorType(int index, int type)
{
    if (!ValidIndex(index))
        return false;
    error_type_[index] = type;
    return true;
}

bool Zarn_forecourt::SetErrorValue(int index, int value)
{
    if (!ValidIndex(index))
        return false;
    error_value_[index] = value;
    return true;
}
