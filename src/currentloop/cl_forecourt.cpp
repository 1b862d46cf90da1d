#include "currentloop/cl_forecourt.h"

#include "platform/settings.h"

namespace {

int DecimalsSetting(const char* key)
{
    const int value = Settings::ReadInt("CurrentLoop", key, 2);
    return value >= 0 && value <= kCL_MaxDecimals ? value : 2;
}

CL_decimals DecimalsFromSettings()
{
    CL_decimals decimals;
    decimals.volume = DecimalsSetting("VolumeDecimals");
    decimals.amount = DecimalsSetting("AmountDecimals");
    decimals.price = DecimalsSetting("PriceDecimals");
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
