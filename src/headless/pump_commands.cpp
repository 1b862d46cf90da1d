// The runner's pump commands: each parses its arguments and calls the loop operation that the
// loop page or a dialog calls for the same action.

#include "headless/pump_commands.h"

#include <charconv>
#include <sstream>
#include <string_view>

#include "platform/error.h"
#include "headless/json.h"

namespace {

std::vector<int> NumbersOfSetFlags(const std::vector<bool>& flags)
{
    std::vector<int> numbers;
    for (size_t i = 0; i < flags.size(); ++i)
        if (flags[i])
            numbers.push_back(static_cast<int>(i) + 1);
    return numbers;
}

std::string IdentityDigits(const std::array<uint8_t, 5>& identity)
{
    std::string digits;
    for (uint8_t byte : identity) {
        digits += static_cast<char>('0' + (byte >> 4));
        digits += static_cast<char>('0' + (byte & 0x0F));
    }
    return digits;
}

std::string NozzleFlagsJson(const Pump_detail& detail, bool Nozzle_detail::*flag)
{
    std::vector<bool> flags;
    for (const Nozzle_detail& nozzle : detail.nozzles)
        flags.push_back(nozzle.*flag);
    return JsonNumberArray(NumbersOfSetFlags(flags));
}

std::string ZarnStateJson(const Pump_detail& detail)
{
    std::vector<std::string> nozzles;
    for (const Nozzle_detail& nozzle : detail.nozzles) {
        if (!nozzle.allowed)
            continue;
        Json_object entry;
        entry.Add("number", nozzle.number)
            .Add("price", nozzle.price_text)
            .Add("volume_total", nozzle.volume_total_text)
            .Add("amount_total", nozzle.amount_total_text)
            .Add("fillings", nozzle.fillings_text);
        nozzles.push_back(entry.Text());
    }
    Json_object json;
    json.Add("status", detail.status)
        .Add("status_text", detail.status_text)
        .Add("stopped", detail.stopped)
        .Add("suspended", detail.suspended)
        .Add("volume", detail.volume_text)
        .Add("amount", detail.amount_text)
        .Add("price", detail.price_text)
        .Add("preset_volume", detail.preset_volume_text)
        .Add("preset_amount", detail.preset_amount_text)
        .Add("flow", detail.flow)
        .Add("nozzle_out", detail.nozzle_out)
        .Add("nozzle", detail.selected_nozzle)
        .AddRaw("allowed", NozzleFlagsJson(detail, &Nozzle_detail::allowed))
        .AddRaw("visible", NozzleFlagsJson(detail, &Nozzle_detail::visible))
        .Add("identity", IdentityDigits(detail.identity))
        .Add("online", detail.online)
        .Add("rx_errors", detail.rx_error_count)
        .Add("connected", detail.connected)
        .Add("logging", detail.logging)
        .Add("automation", detail.automation_level)
        .AddRaw("nozzles", JsonArray(nozzles));
    return json.Text();
}

std::string CurrentLoopStateJson(const Pump_detail& detail)
{
    Json_object json;
    json.Add("state", std::string(1, detail.state_letter))
        .Add("lifted", detail.nozzle_out)
        .Add("nozzle", detail.selected_nozzle)
        .AddRaw("enabled", NozzleFlagsJson(detail, &Nozzle_detail::allowed))
        .AddRaw("visible", NozzleFlagsJson(detail, &Nozzle_detail::visible))
        .Add("volume", detail.volume_text)
        .Add("amount", detail.amount_text)
        .Add("price", detail.price_text)
        .Add("preset", detail.preset_text)
        .Add("preset_is_volume", detail.preset_is_volume)
        .Add("flow", detail.flow)
        .Add("online", detail.online)
        .Add("rx_errors", detail.rx_error_count)
        .Add("connected", detail.connected)
        .Add("logging", detail.logging)
        .Add("automation", detail.automation_level);
    return json.Text();
}

// The characters of a number word: a leading '+' is allowed and skipped; a sign after it is not.
std::string_view NumberText(const std::string& word)
{
    std::string_view text(word);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && (text.front() == '+' || text.front() == '-'))
            return {};
    }
    return text;
}

// A comma-separated list of nozzle numbers ("1,2,5") or "none", as visible flags of a pump with
// `nozzles` nozzles. False for anything else, or a number outside 1 .. nozzles.
bool ParseVisibleList(const std::string& word, int nozzles, std::vector<bool>& flags, bool& out_of_range)
{
    flags.assign(static_cast<size_t>(nozzles), false);
    out_of_range = false;
    if (word == "none")
        return true;
    std::stringstream stream(word);
    std::string item;
    bool any = false;
    while (std::getline(stream, item, ',')) {
        int nozzle = 0;
        if (!ParseInt(item, nozzle))
            return false;
        if (nozzle < 1 || nozzle > nozzles) {
            out_of_range = true;
            return false;
        }
        flags[static_cast<size_t>(nozzle - 1)] = true;
        any = true;
    }
    return any;
}

// One pump command with its loop, position and words.
class Pump_command {
public:
    Pump_command(Pump_loop& loop, int position, const std::vector<std::string>& words, size_t first_argument)
        : loop_(loop), position_(position), words_(words), at_(first_argument)
    {
    }

    Reply Run(const std::string& usage);

private:
    size_t Arguments() const { return words_.size() - at_; }
    const std::string& Argument(size_t i) const { return words_[at_ + i]; }
    bool IntArgument(size_t i, int& value) const { return ParseInt(Argument(i), value); }
    bool RealArgument(size_t i, double& value) const { return ParseReal(Argument(i), value); }
    bool Zarn() const { return loop_.GetProtocol() == Protocol::zarn; }
    bool ValidNozzle(int nozzle) const { return nozzle >= 1 && nozzle <= loop_.Limits().nozzles; }
    Reply NoPump() const { return Reply::Error("no pump " + std::to_string(loop_.PumpNumberOf(position_))); }
    Reply BadNozzle() const
    {
        return Reply::Error("nozzle must be 1 to " + std::to_string(loop_.Limits().nozzles));
    }

    Reply Select(const std::string& usage);
    Reply Lift(const std::string& usage);
    Reply Nozzle(const std::string& usage);
    Reply Flow(bool adjust, const std::string& usage);
    Reply Log(const std::string& usage);
    Reply Error(const std::string& usage);
    Reply Visible(const std::string& usage);
    Reply Identity(const std::string& usage);
    Reply Totals(const std::string& usage);

    Pump_loop& loop_;
    const int position_;
    const std::vector<std::string>& words_;
    const size_t at_;
};

Reply Pump_command::Run(const std::string& usage)
{
    const std::string& verb = words_[0];
    if (!loop_.HasPump(position_))
        return NoPump();
    if (verb == "select")
        return Select(usage);
    if (verb == "lift")
        return Lift(usage);
    if (verb == "nozzle")
        return Nozzle(usage);
    if (verb == "flow" || verb == "adjust")
        return Flow(verb == "adjust", usage);
    if (verb == "log")
        return Log(usage);
    if (verb == "error")
        return Error(usage);
    if (verb == "visible")
        return Visible(usage);
    if (verb == "identity")
        return Identity(usage);
    if (verb == "totals")
        return Totals(usage);
    if (verb == "hangup") {
        loop_.HangUpNozzle(position_);
    } else if (verb == "toggleflow") {
        loop_.ToggleFlow(position_);
    } else if (verb == "connect" || verb == "disconnect") {
        loop_.SetConnected(position_, verb == "connect");
    } else if (verb == "automate") {
        int level = 0;
        if (!IntArgument(0, level) || level < 0 || level > 3)
            return Reply::Error("usage: " + usage + " (LEVEL 0-3)");
        loop_.SetAutomation(position_, level);
    } else if (verb == "unlog") {
        // The log ends either way; a write that failed on the way is the reply's error.
        const std::string failure = loop_.StopLogging(position_);
        if (!failure.empty())
            return Reply::Error(failure);
    } else if (verb == "state") {
        Pump_detail detail;
        if (!loop_.GetPumpDetail(position_, detail))
            return NoPump();
        return Reply::Ok(PumpStateJson(detail));
    } else if (verb == "rxerrors") {
        return Reply::Ok(JsonStringArray(loop_.RxErrorLines(position_)));
    }
    return Reply::Ok();
}

Reply Pump_command::Select(const std::string& usage)
{
    int nozzle = 0;
    if (!IntArgument(0, nozzle))
        return Reply::Error("usage: " + usage);
    if (!Zarn())
        return Reply::Error("a current-loop pump selects by lifting: use lift L P N");
    if (!ValidNozzle(nozzle))
        return BadNozzle();
    const std::optional<bool> allowed = loop_.SelectNozzle(position_, nozzle);
    return Reply::Ok(allowed.value_or(false) ? "allowed" : "not allowed");
}

Reply Pump_command::Lift(const std::string& usage)
{
    if (Zarn()) {
        if (Arguments() != 0)
            return Reply::Error("a Zarn pump lifts its selected nozzle: use lift L P, or nozzle L P N");
        loop_.LiftNozzle(position_);
        return Reply::Ok();
    }
    if (Arguments() == 0)
        return Reply::Error("a current-loop pump needs the nozzle: lift L P N");
    int nozzle = 0;
    if (!IntArgument(0, nozzle))
        return Reply::Error("usage: " + usage);
    if (!ValidNozzle(nozzle))
        return BadNozzle();
    loop_.LiftNozzle(position_, nozzle);
    return Reply::Ok();
}

Reply Pump_command::Nozzle(const std::string& usage)
{
    int nozzle = 0;
    if (!IntArgument(0, nozzle))
        return Reply::Error("usage: " + usage);
    if (!ValidNozzle(nozzle))
        return BadNozzle();
    loop_.NozzleClick(position_, nozzle);
    return Reply::Ok();
}

Reply Pump_command::Flow(bool adjust, const std::string& usage)
{
    double value = 0;
    if (!RealArgument(0, value))
        return Reply::Error("usage: " + usage);
    if (adjust)
        return loop_.AdjustFlow(position_, value) ? Reply::Ok() : Reply::Error("not a number");
    return loop_.SetFlow(position_, value) ? Reply::Ok()
                                           : Reply::Error("flow must be a number of litres per minute, 0 or more");
}

Reply Pump_command::Log(const std::string& usage)
{
    if (Arguments() == 2 && Argument(1) != "hex")
        return Reply::Error("usage: " + usage);
    if (loop_.IsLogging(position_))
        return Reply::Error("pump " + std::to_string(loop_.PumpNumberOf(position_)) + " is already logging");
    try {
        loop_.StartLogging(position_, Argument(0), Arguments() == 1);
    } catch (const Gallion_error& error) {
        return Reply::Error(error.what());
    }
    return Reply::Ok();
}

// As the error-setup dialog followed by "Commit error"; codes the pump has no meaning for and
// negative counts are refused before anything is stored.
Reply Pump_command::Error(const std::string& usage)
{
    int code = 0;
    int count = 0;
    if (!IntArgument(0, code) || !IntArgument(1, count))
        return Reply::Error("usage: " + usage);
    if (!loop_.IsErrorCode(code))
        return Reply::Error("error code " + Argument(0) + " is not known to a " +
                            (Zarn() ? std::string("Zarn") : std::string("current-loop")) + " pump");
    if (count < 0)
        return Reply::Error("the count of errors must be 0 or more");
    loop_.SetErrorSetup(position_, code, count);
    loop_.CommitError(position_);
    return Reply::Ok();
}

Reply Pump_command::Visible(const std::string& usage)
{
    std::vector<bool> flags;
    bool out_of_range = false;
    if (!ParseVisibleList(Argument(0), loop_.Limits().nozzles, flags, out_of_range))
        return out_of_range ? BadNozzle() : Reply::Error("usage: " + usage);
    loop_.SetVisibleNozzles(position_, flags);
    return Reply::Ok();
}

Reply Pump_command::Identity(const std::string& usage)
{
    if (Argument(0) != "standard" && Argument(0) != "full")
        return Reply::Error("usage: " + usage);
    if (!loop_.SetFullIdentity(position_, Argument(0) == "full"))
        return Reply::Error("identity applies to Zarn pumps only");
    return Reply::Ok();
}

Reply Pump_command::Totals(const std::string& usage)
{
    int nozzle = 0;
    if (!IntArgument(0, nozzle))
        return Reply::Error("usage: " + usage);
    const std::string error = loop_.SetTotalsFromText(position_, nozzle, Argument(1), Argument(2), Argument(3));
    return error.empty() ? Reply::Ok() : Reply::Error(error);
}

}  // namespace

std::string PumpStateJson(const Pump_detail& detail)
{
    return detail.protocol == Protocol::zarn ? ZarnStateJson(detail) : CurrentLoopStateJson(detail);
}

bool ParseInt(const std::string& word, int& value)
{
    const std::string_view text = NumberText(word);
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return !text.empty() && ec == std::errc() && ptr == end;
}

bool ParseReal(const std::string& word, double& value)
{
    const std::string_view text = NumberText(word);
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return !text.empty() && ec == std::errc() && ptr == end;
}

Reply RunPumpCommand(Pump_loop& loop, int position, const std::vector<std::string>& words, size_t first_argument,
                     const std::string& usage)
{
    return Pump_command(loop, position, words, first_argument).Run(usage);
}
