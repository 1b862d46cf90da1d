// The runner's Zarn loop: every command goes through the Zarn forecourt and pump operations, as
// the loop page and the dialogs use them.

#include <cmath>
#include <cstdio>

#include "common/error.h"
#include "common/text.h"
#include "headless/json.h"
#include "headless/runner.h"
#include "zarn/bcd.h"
#include "zarn/zarn_forecourt.h"

namespace {

const int kZarnNozzles = 15;

// Identities the detail dialog writes for its two choices.
const std::array<uint8_t, 5> kStandardIdentity{0x01, 0x01, 0x01, 0x01, 0x01};
const std::array<uint8_t, 5> kFullIdentity{0x00, 0x00, 0x02, 0x00, 0x00};

// A volume or amount typed for the set-totals dialog: a point or a comma as decimal separator,
// no sign, a finite number.
bool ParseTotal(std::string text, double& value)
{
    for (char& c : text)
        if (c == ',')
            c = '.';
    return ParseReal(text, value) && std::isfinite(value) && value >= 0;
}

// The number of fillings: digits only (empty counts as 0), at most the ten digits of its field.
bool ParseFillings(const std::string& text, uint64_t& value)
{
    if (text.size() > 10)
        return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

std::vector<int> NumbersOfSetFlags(const std::array<bool, kZarnNozzles>& flags)
{
    std::vector<int> numbers;
    for (int i = 0; i < kZarnNozzles; ++i)
        if (flags[i])
            numbers.push_back(i + 1);
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

class Zarn_runner_loop : public Runner_loop {
public:
    explicit Zarn_runner_loop(std::unique_ptr<Zarn_forecourt> forecourt)
        : forecourt_(std::move(forecourt)), is_virtual_(IsVirtualPortName(forecourt_->PortName()))
    {
    }

    std::string Protocol() const override { return "zarn"; }
    std::string PortName() const override { return forecourt_->PortName(); }
    int FirstPump() const override { return forecourt_->FirstPumpNumber(); }
    int LastPump() const override { return forecourt_->LastPumpNumber(); }
    std::string Title() const override { return forecourt_->Title(); }
    std::string DevicePath() const override { return forecourt_->DevicePath(); }
    bool PortIsVirtual() const override { return is_virtual_; }

    void SetCommunicationOn(bool on) override { forecourt_->SetCommunicationOn(on); }
    std::string FetchCommunicationText() override { return forecourt_->FetchCommunicationText(); }
    void SetInterpreted(bool interpreted) override { forecourt_->SetInterpreted(interpreted); }
    void SetFilterSlot(std::optional<int> slot) override
    {
        forecourt_->SetFilterAddress(slot ? forecourt_->AddressOf(*slot) : 0);
    }

    Reply AddPump(int slot) override
    {
        // The loop page creates pumps with the identity flag set.
        if (forecourt_->CreatePump(slot, true) != slot)
            return Reply::Error("position not available");
        return Reply::Ok();
    }

    Reply RemovePump(int slot) override
    {
        return forecourt_->DeletePump(slot) ? Reply::Ok() : NoPump(slot);
    }

    Reply Select(int slot, int nozzle) override
    {
        Zarn_pump* pump = forecourt_->GetPump(slot);
        if (!pump)
            return NoPump(slot);
        if (nozzle < 1 || nozzle > kZarnNozzles)
            return BadNozzle();
        return Reply::Ok(pump->SelectNozzle(nozzle) ? "allowed" : "not allowed");
    }

    Reply Lift(int slot, std::optional<int> nozzle) override
    {
        if (nozzle)
            return Reply::Error("a Zarn pump lifts its selected nozzle: use lift L P, or nozzle L P N");
        Zarn_pump* pump = forecourt_->GetPump(slot);
        if (!pump)
            return NoPump(slot);
        pump->LiftNozzle();
        return Reply::Ok();
    }

    Reply HangUp(int slot) override
    {
        Zarn_pump* pump = forecourt_->GetPump(slot);
        if (!pump)
            return NoPump(slot);
        pump->HangUpNozzle();
        return Reply::Ok();
    }

    // The loop page's nozzle click: the selected nozzle's button hangs it up; another button
    // selects that nozzle and lifts it when no nozzle was out.
    Reply NozzleClick(int slot, int nozzle) override
    {
        Zarn_pump* pump = forecourt_->GetPump(slot);
        if (!pump)
            return NoPump(slot);
        if (nozzle < 1 || nozzle > kZarnNozzles)
            return BadNozzle();
        Zarn_pump_state state;
        pump->GetState(state);
        if (nozzle == state.selected_nozzle) {
            pump->HangUpNozzle();
            return Reply::Ok();
        }
        pump->SelectNozzle(nozzle);
        if (state.nozzle_out == 0)
            pump->LiftNozzle();
        return Reply::Ok();
    }

    Reply SetFlow(int slot, double flow) override
    {
        Zarn_pump* pump = forecourt_->GetPump(slot);
        if (!pump)
            return NoPump(slot);
        if (!std::isfinite(flow) || flow < 0)
            return Reply::Error("flow must be a number of litres per minute, 0 or more");
        pump->SetFlow(flow);
        return Reply::Ok();
    }

    Reply AdjustFlow(int slot, double delta) override
    {
        Zarn_pump* pump = forecourt_->GetPump(slot);
        if (!pump)
            return NoPump(slot);
        if (!std::isfinite(delta))
            return Reply::Error("not a number");
        pump->AdjustFlow(delta);
        return Reply::Ok();
    }

    Reply ToggleFlow(int slot) override
    {
        Zarn_pump* pump = forecourt_->GetPump(slot);
        if (!pump)
            return NoPump(slot);
        Zarn_pump_state state;
        pump->GetState(state);
        pump->SetFlow(state.flow > 0 ? 0.0 : 40.0);
        return Reply::Ok();
    }

    Reply Connect(int slot, bool connect) override
    {
        if (!forecourt_->GetPump(slot))
            return NoPump(slot);
        if (connect)
            forecourt_->ConnectPump(slot);
        else
            forecourt_->DisconnectPump(slot);
        return Reply::Ok();
    }

    Reply Automate(int slot, int level) override
    {
        if (!forecourt_->GetPump(slot))
            return NoPump(slot);
        if (level == 0)
            forecourt_->StopAutomation(slot);
        else
            forecourt_->StartAutomation(slot, level);
        return Reply::Ok();
    }

    Reply StartLog(int slot, const std::string& file, bool interpreted) override
    {
        if (!forecourt_->GetPump(slot))
            return NoPump(slot);
        if (forecourt_->IsLogging(slot))
            return Reply::Error("pump " + std::to_string(FirstPump() + slot) + " is already logging");
        try {
            forecourt_->StartLogging(slot, file, interpreted);
        } catch (const Gallion_error& error) {
            return Reply::Error(error.what());
        }
        return Reply::Ok();
    }

    Reply StopLog(int slot) override
    {
        if (!forecourt_->GetPump(slot))
            return NoPump(slot);
        forecourt_->StopLogging(slot);
        return Reply::Ok();
    }

    Reply ApplyError(int slot, int code, int count) override
    {
        if (!forecourt_->GetPump(slot))
            return NoPump(slot);
        forecourt_->SetErrorType(slot, code);
        forecourt_->SetErrorValue(slot, count);
        forecourt_->ApplyError(slot);
        return Reply::Ok();
    }

    Reply SetVisible(int slot, const std::vector<int>& nozzles) override
    {
        Zarn_pump* pump = forecourt_->GetPump(slot);
        if (!pump)
            return NoPump(slot);
        std::array<bool, kZarnNozzles> visible{};
        for (int nozzle : nozzles) {
            if (nozzle < 1 || nozzle > kZarnNozzles)
                return BadNozzle();
            visible[nozzle - 1] = true;
        }
        pump->SetVisibleNozzles(visible);
        return Reply::Ok();
    }

    Reply SetIdentity(int slot, bool full) override
    {
        Zarn_pump* pump = forecourt_->GetPump(slot);
        if (!pump)
            return NoPump(slot);
        pump->SetIdentity(full ? kFullIdentity : kStandardIdentity);
        return Reply::Ok();
    }

    // As the set-totals dialog: volume and amount in display units, converted to the pump's
    // decimals (truncating), and a whole number of fillings.
    Reply SetTotals(int slot, int nozzle, const std::string& volume_text, const std::string& amount_text,
                    const std::string& fillings_text) override
    {
        Zarn_pump* pump = forecourt_->GetPump(slot);
        if (!pump)
            return NoPump(slot);
        if (nozzle < 1 || nozzle > kZarnNozzles)
            return BadNozzle();
        double volume = 0;
        double amount = 0;
        uint64_t fillings = 0;
        if (!ParseTotal(volume_text, volume))
            return Reply::Error("Volume not a valid value");
        if (!ParseTotal(amount_text, amount))
            return Reply::Error("Amount not a valid value");
        if (!ParseFillings(fillings_text, fillings))
            return Reply::Error("Number of fillings not a valid value");
        const uint8_t total_width = 5;
        BCD volume_total = BCD::FromReal(volume, total_width, static_cast<uint8_t>(pump->VolumeDecimals()));
        BCD amount_total = BCD::FromReal(amount, total_width, static_cast<uint8_t>(pump->AmountDecimals()));
        if (volume_total.ToReal() + 1 < volume)
            return Reply::Error("Volume not a valid value");
        if (amount_total.ToReal() + 1 < amount)
            return Reply::Error("Amount not a valid value");
        pump->SetNozzleTotals(nozzle, volume_total, amount_total, BCD(total_width, 0, fillings));
        return Reply::Ok();
    }

    Reply StateJson(int slot) override
    {
        Zarn_pump* pump = forecourt_->GetPump(slot);
        if (!pump)
            return NoPump(slot);
        Zarn_pump_state state;
        pump->GetState(state);
        std::vector<std::string> nozzles;
        for (int i = 0; i < kZarnNozzles; ++i) {
            if (!state.allowed[i])
                continue;
            Json_object nozzle;
            nozzle.Add("number", i + 1)
                .Add("price", state.unit_price[i])
                .Add("volume_total", state.volume_total[i])
                .Add("amount_total", state.amount_total[i])
                .Add("fillings", state.fillings[i]);
            nozzles.push_back(nozzle.Text());
        }
        Json_object json;
        json.Add("status", state.status)
            .Add("status_text", state.status_text)
            .Add("stopped", state.stopped != 0)
            .Add("suspended", state.suspended != 0)
            .Add("volume", state.filled_volume)
            .Add("amount", state.filled_amount)
            .Add("price", state.filling_price)
            .Add("preset_volume", state.preset_volume)
            .Add("preset_amount", state.preset_amount)
            .Add("flow", state.flow)
            .Add("nozzle_out", state.nozzle_out != 0)
            .Add("nozzle", static_cast<int>(state.selected_nozzle))
            .AddRaw("allowed", JsonNumberArray(NumbersOfSetFlags(state.allowed)))
            .AddRaw("visible", JsonNumberArray(NumbersOfSetFlags(state.visible)))
            .Add("identity", IdentityDigits(state.identity))
            .Add("online", state.online)
            .Add("rx_errors", state.rx_error_count)
            .Add("connected", forecourt_->IsConnected(slot))
            .Add("logging", forecourt_->IsLogging(slot))
            .Add("automation", forecourt_->AutomationLevel(slot))
            .AddRaw("nozzles", JsonArray(nozzles));
        return Reply::Ok(json.Text());
    }

    Reply RxErrorsJson(int slot) override
    {
        Zarn_pump* pump = forecourt_->GetPump(slot);
        if (!pump)
            return NoPump(slot);
        return Reply::Ok(JsonStringArray(pump->RxErrorLines()));
    }

    Reply SetDecimals(int, int, int) override
    {
        return Reply::Error("decimals are set per current-loop loop; Zarn pumps take theirs from the settings "
                            "file and the controller");
    }

    Loop_ref Forecourt() override { return forecourt_.get(); }

private:
    Reply NoPump(int slot) const { return Reply::Error("no pump " + std::to_string(FirstPump() + slot)); }
    static Reply BadNozzle() { return Reply::Error("nozzle must be 1 to 15"); }

    std::unique_ptr<Zarn_forecourt> forecourt_;
    const bool is_virtual_;
};

}  // namespace

std::unique_ptr<Runner_loop> CreateZarnRunnerLoop(const std::string& port, bool spy, int first, int last)
{
    return WrapZarnForecourt(
        std::make_unique<Zarn_forecourt>(port, spy, static_cast<uint8_t>(first), static_cast<uint8_t>(last)));
}

std::unique_ptr<Runner_loop> WrapZarnForecourt(std::unique_ptr<Zarn_forecourt> forecourt)
{
    return std::make_unique<Zarn_runner_loop>(std::move(forecourt));
}
