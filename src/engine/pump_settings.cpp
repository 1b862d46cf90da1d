#include "engine/pump_settings.h"

#include <climits>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

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
};

constexpr double kNoLimit = std::numeric_limits<double>::max();

// The one table of the keys of both protocol sections.
const Setting_rule kRules[] = {
    {"PumpSleepMs", &Pump_settings::pump_sleep_ms, nullptr, nullptr, 1, INT_MAX, Outside::is_clamped},
    {"ThrottleVolume", nullptr, &Pump_settings::throttle_volume, nullptr, 0, kNoLimit, Outside::is_default},
    {"ThrottleAmount", nullptr, &Pump_settings::throttle_amount, nullptr, 0, kNoLimit, Outside::is_default},
    {"ThrottleFlow", nullptr, &Pump_settings::throttle_flow, nullptr, 0, kNoLimit, Outside::is_default},
    {"PollTimeout", &Pump_settings::poll_timeout, nullptr, nullptr, 0, INT_MAX, Outside::is_default},
    {"VolumeDecimals", &Pump_settings::volume_decimals, nullptr, nullptr, 0, 8, Outside::is_default},
    {"AmountDecimals", &Pump_settings::amount_decimals, nullptr, nullptr, 0, 8, Outside::is_default},
    {"PriceDecimals", &Pump_settings::price_decimals, nullptr, nullptr, 0, 8, Outside::is_default},
    {"LogRXErrors", nullptr, nullptr, &Pump_settings::log_rx_errors, 0, 0, Outside::is_default},
    {"AutoFlow", nullptr, nullptr, &Pump_settings::auto_flow, 0, 0, Outside::is_default},
    {"RecalcAtPreset", nullptr, nullptr, &Pump_settings::recalc_at_preset, 0, 0, Outside::is_default},
    {"FillingCompleteOnlyAfterNozzleReturned", nullptr, nullptr,
     &Pump_settings::filling_complete_only_after_nozzle_returned, 0, 0, Outside::is_default},
    {"HandleReturningMessages", nullptr, nullptr, &Pump_settings::handle_returning_messages, 0, 0,
     Outside::is_default},
};

// The keys each section holds, in the order they are written (a new file lists them so).
const std::vector<std::string> kZarnKeys = {
    "PumpSleepMs",   "ThrottleVolume", "ThrottleAmount",          "ThrottleFlow",   "PollTimeout",
    "VolumeDecimals", "AmountDecimals", "PriceDecimals",           "LogRXErrors",    "HandleReturningMessages",
    "RecalcAtPreset", "FillingCompleteOnlyAfterNozzleReturned", "AutoFlow"};
const std::vector<std::string> kCurrentLoopKeys = {
    "PumpSleepMs",    "ThrottleVolume", "ThrottleAmount", "ThrottleFlow", "PollTimeout", "VolumeDecimals",
    "AmountDecimals", "PriceDecimals",  "LogRXErrors",    "AutoFlow",     "RecalcAtPreset"};

const Setting_rule& RuleOf(const std::string& key)
{
    for (const Setting_rule& rule : kRules) {
        if (key == rule.key)
            return rule;
    }
    throw std::logic_error("no rule for settings key " + key);
}

// The number as the rule has it: inside the range as read, outside its default or the nearest
// limit. The Preferences dialog takes every number as the file holds it, so the operator sees and
// corrects it there.
double Ruled(const Setting_rule& rule, double value, double default_value, Settings_reader reader)
{
    if (reader == Settings_reader::preferences)
        return value;
    if (std::isfinite(value) && value >= rule.minimum && value <= rule.maximum)
        return value;
    if (rule.outside == Outside::is_default || !std::isfinite(value))
        return default_value;
    return value < rule.minimum ? rule.minimum : rule.maximum;
}

}  // namespace

const std::vector<std::string>& PumpSettingKeys(const std::string& section)
{
    return section == kZarnSection ? kZarnKeys : kCurrentLoopKeys;
}

Pump_settings DefaultPumpSettings(const std::string& section, Settings_reader reader)
{
    Pump_settings defaults;
    if (reader == Settings_reader::preferences) {
        defaults.handle_returning_messages = false;
        if (section == kCurrentLoopSection)
            defaults.poll_timeout = 15;
    }
    return defaults;
}

Pump_settings ReadPumpSettings(const std::string& section, Settings_reader reader)
{
    const Pump_settings defaults = DefaultPumpSettings(section, reader);
    Pump_settings settings = defaults;
    for (const std::string& key : PumpSettingKeys(section)) {
        const Setting_rule& rule = RuleOf(key);
        if (rule.integer) {
            const int read = Settings::ReadInt(section, key, defaults.*rule.integer);
            settings.*rule.integer = static_cast<int>(Ruled(rule, read, defaults.*rule.integer, reader));
        } else if (rule.real) {
            const double read = Settings::ReadFloat(section, key, defaults.*rule.real);
            settings.*rule.real = Ruled(rule, read, defaults.*rule.real, reader);
        } else {
            settings.*rule.flag = Settings::ReadBool(section, key, defaults.*rule.flag);
        }
    }
    return settings;
}

bool WritePumpSettings(const std::string& section, const Pump_settings& settings)
{
    for (const std::string& key : PumpSettingKeys(section)) {
        const Setting_rule& rule = RuleOf(key);
        bool written;
        if (rule.integer)
            written = Settings::WriteInt(section, key, settings.*rule.integer);
        else if (rule.real)
            written = Settings::WriteFloat(section, key, settings.*rule.real);
        else
            written = Settings::WriteBool(section, key, settings.*rule.flag);
        if (!written)
            return false;
    }
    return true;
}
