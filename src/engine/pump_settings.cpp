#include "engine/pump_settings.h"

#include <climits>
#include <cmath>
#include <limits>

#include "platform/settings.h"

namespace {

// What becomes of a number outside its range.
enum class Outside { is_default, is_clamped };

// One key of a section: which field it sets and the range of its numbers. Exactly one of the
// three fields is set.
struct Setting_rule {
    const char* key;
    int Pump_settings::*integer;
    double Pump_settings::*real;
    bool Pump_settings::*flag;
    double minimum;
    double maximum;
    Outside outside;
    bool zarn_only;
};

constexpr double kNoLimit = std::numeric_limits<double>::max();

// The one table of the keys both protocol sections share, and the two only Zarn reads.
const Setting_rule kRules[] = {
    {"PumpSleepMs", &Pump_settings::pump_sleep_ms, nullptr, nullptr, 1, INT_MAX, Outside::is_clamped, false},
    {"ThrottleVolume", nullptr, &Pump_settings::throttle_volume, nullptr, 0, kNoLimit, Outside::is_default, false},
    {"ThrottleAmount", nullptr, &Pump_settings::throttle_amount, nullptr, 0, kNoLimit, Outside::is_default, false},
    {"ThrottleFlow", nullptr, &Pump_settings::throttle_flow, nullptr, 0, kNoLimit, Outside::is_default, false},
    {"PollTimeout", &Pump_settings::poll_timeout, nullptr, nullptr, 0, INT_MAX, Outside::is_default, false},
    {"VolumeDecimals", &Pump_settings::volume_decimals, nullptr, nullptr, 0, 8, Outside::is_default, false},
    {"AmountDecimals", &Pump_settings::amount_decimals, nullptr, nullptr, 0, 8, Outside::is_default, false},
    {"PriceDecimals", &Pump_settings::price_decimals, nullptr, nullptr, 0, 8, Outside::is_default, false},
    {"LogRXErrors", nullptr, nullptr, &Pump_settings::log_rx_errors, 0, 0, Outside::is_default, false},
    {"AutoFlow", nullptr, nullptr, &Pump_settings::auto_flow, 0, 0, Outside::is_default, false},
    {"RecalcAtPreset", nullptr, nullptr, &Pump_settings::recalc_at_preset, 0, 0, Outside::is_default, false},
    {"FillingCompleteOnlyAfterNozzleReturned", nullptr, nullptr,
     &Pump_settings::filling_complete_only_after_nozzle_returned, 0, 0, Outside::is_default, true},
    {"HandleReturningMessages", nullptr, nullptr, &Pump_settings::handle_returning_messages, 0, 0,
     Outside::is_default, true},
};

// The number as the rule has it: inside the range as read, outside its default or the nearest limit.
double Ruled(const Setting_rule& rule, double value, double default_value)
{
    if (std::isfinite(value) && value >= rule.minimum && value <= rule.maximum)
        return value;
    if (rule.outside == Outside::is_default || !std::isfinite(value))
        return default_value;
    return value < rule.minimum ? rule.minimum : rule.maximum;
}

}  // namespace

Pump_settings ReadPumpSettings(const std::string& section)
{
    const Pump_settings defaults;
    Pump_settings settings;
    const bool zarn = section == "Zarn";
    for (const Setting_rule& rule : kRules) {
        if (rule.zarn_only && !zarn)
            continue;
        if (rule.integer) {
            const int read = Settings::ReadInt(section.c_str(), rule.key, defaults.*rule.integer);
            settings.*rule.integer = static_cast<int>(Ruled(rule, read, defaults.*rule.integer));
        } else if (rule.real) {
            const double read = Settings::ReadFloat(section.c_str(), rule.key, defaults.*rule.real);
            settings.*rule.real = Ruled(rule, read, defaults.*rule.real);
        } else {
            settings.*rule.flag = Settings::ReadBool(section.c_str(), rule.key, defaults.*rule.flag);
        }
    }
    return settings;
}
