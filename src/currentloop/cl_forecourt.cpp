#include "currentloop/cl_forecourt.h"

#include "engine/pump_settings.h"

namespace {

CL_decimals DecimalsFromSettings()
{
    const Pump_settings settings = ReadPumpSettings("CurrentLoop");
    CL_decimals decimals;
    decimals.volume = settings.volume_decimals;
    decimals.amount = settings.amount_decimals;
    decimals.price = settings.price_decimals;
    return decimals;
}

}  // namespace

CL_forecourt::CL_forecourt(const std::string& port_name, bool spy, int first_pump_number, int last_pump_number,
                           Io_start io_start)
    : Forecourt(port_name, spy, first_pump_number, last_pump_number, io_start), decimals_(DecimalsFromSettings())
{
}

bool CL_forecourt::SetDecimals(const CL_decimals& decimals)
{
    if (!CL_DecimalsValid(decimals))
        return false;
    decimals_ = decimals;
    ForEachPump([&](CL_pump& pump) { pump.SetDecimals(decimals_); });
    return true;
}
