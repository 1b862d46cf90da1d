#include "currentloop/cl_forecourt.h"

namespace {

CL_decimals DecimalsOf(const Pump_settings& settings)
{
    CL_decimals decimals;
    decimals.volume = settings.volume_decimals;
    decimals.amount = settings.amount_decimals;
    decimals.price = settings.price_decimals;
    return decimals;
}

}  // namespace

CL_forecourt::CL_forecourt(const std::string& port_name, bool spy, int first_pump_number, int last_pump_number,
                           const Pump_settings& settings, Io_start io_start)
    : Forecourt(port_name, spy, first_pump_number, last_pump_number, settings, io_start),
      decimals_(DecimalsOf(settings))
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
