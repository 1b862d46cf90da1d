// The runner's current-loop loop: every command goes through the current-loop forecourt and
// pump operations, as the current-loop page and its dialogs use them.

#include <cmath>

#include "common/error.h"
#include "currentloop/cl_forecourt.h"
#include "headless/json.h"
#include "headless/runner.h"

namespace {

const int kClNozzles = 5;

std::vector<int> NumbersOfSetFlags(const std::array<bool, kClNozzles>& flags)
{
    std::vector<int> numbers;
    for (int i = 0; i < kClNozzles; ++i)
        if (flags[i])
            numbers.push_back(i + 1);
    return numbers;
}

class Cl_runner_loop : public Runner_loop {
public:
    explicit Cl_runner_loop(std::unique_ptr<CL_forecourt> forecourt)
        : forecourt_(std::move(forecourt)), is_virtual_(IsVirtualPortName(forecourt_->PortName()))
    {
    }

    std::string Protocol() const override { return "cl"; }
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
        if (forecourt_->CreatePump(slot) != slot)
            return Reply::Error("position not available");
        return Reply::Ok();
    }

    Reply RemovePump(int slot) override { return forecourt_->DeletePump(slot) ? Reply::Ok() : NoPump(slot); }

    Reply Select(int, int) override
    {
        return Reply::Error("a current-loop pump selects by lifting: use lift L P N");
    }

    Reply Lift(int slot, std::optional<int> nozzle) override
    {
        CL_pump* pump = forecourt_->GetPump(slot);
        if (!pump)
            return NoPump(slot);
        if (!nozzle)
            return Reply::Error("a current-loop pump needs the nozzle: lift L P N");
        if (*nozzle < 1 || *nozzle > kClNozzles)
            return BadNozzle();
        pump->LiftNozzle(*nozzle);
        return Reply::Ok();
    }

    Reply HangUp(int slot) override
    {
        CL_pump* pump = forecourt_->GetPump(slot);
        if (!pump)
            return NoPump(slot);
        pump->HangUpNozzle();
        return Reply::Ok();
    }

    // The current-loop page's nozzle click: the lifted nozzle's button hangs it up, another
    // button lifts (and so selects) that nozzle.
    Reply NozzleClick(int slot, int nozzle) override
    {
        CL_pump* pump = forecourt_->GetPump(slot);
        if (!pump)
            return NoPump(slot);
        if (nozzle < 1 || nozzle > kClNozzles)
            return BadNozzle();
        if (pump->GetState().current_nozzle == nozzle)
            pump->HangUpNozzle();
        else
            pump->LiftNozzle(nozzle);
        return Reply::Ok();
    }

    Reply SetFlow(int slot, double flow) override
    {
        CL_pump* pump = forecourt_->GetPump(slot);
        if (!pump)
            return NoPump(slot);
        if (!std::isfinite(flow) || flow < 0)
            return Reply::Error("flow must be a number of litres per minute, 0 or more");
        pump->SetFlow(flow);
        return Reply::Ok();
    }

    Reply AdjustFlow(int slot, double delta) override
    {
        CL_pump* pump = forecourt_->GetPump(slot);
        if (!pump)
            return NoPump(slot);
        if (!std::isfinite(delta))
            return Reply::Error("not a number");
        pump->AdjustFlow(delta);
        return Reply::Ok();
    }

    Reply ToggleFlow(int slot) override
    {
        CL_pump* pump = forecourt_->GetPump(slot);
        if (!pump)
            return NoPump(slot);
        pump->SetFlow(pump->GetState().flow > 0 ? 0.0 : 40.0);
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
        CL_pump* pump = forecourt_->GetPump(slot);
        if (!pump)
            return NoPump(slot);
        std::array<bool, kClNozzles> visible{};
        for (int nozzle : nozzles) {
            if (nozzle < 1 || nozzle > kClNozzles)
                return BadNozzle();
            visible[nozzle - 1] = true;
        }
        pump->SetVisibleNozzles(visible);
        return Reply::Ok();
    }

    Reply SetIdentity(int, bool) override { return Reply::Error("identity applies to Zarn pumps only"); }

    Reply SetTotals(int, int, const std::string&, const std::string&, const std::string&) override
    {
        return Reply::Error("totals apply to Zarn pumps only");
    }

    Reply StateJson(int slot) override
    {
        CL_pump* pump = forecourt_->GetPump(slot);
        if (!pump)
            return NoPump(slot);
        CL_pump_state state = pump->GetState();
        Json_object json;
        json.Add("state", std::string(1, state.state))
            .Add("lifted", state.lifted)
            .Add("nozzle", state.current_nozzle)
            .AddRaw("enabled", JsonNumberArray(NumbersOfSetFlags(state.enabled)))
            .AddRaw("visible", JsonNumberArray(NumbersOfSetFlags(state.visible)))
            .Add("volume", state.volume_text)
            .Add("amount", state.amount_text)
            .Add("price", state.price_text)
            .Add("preset", state.preset_text)
            .Add("preset_is_volume", state.preset_is_volume)
            .Add("flow", state.flow)
            .Add("online", state.online)
            .Add("rx_errors", static_cast<int>(state.rx_errors))
            .Add("connected", forecourt_->IsConnected(slot))
            .Add("logging", forecourt_->IsLogging(slot))
            .Add("automation", forecourt_->AutomationLevel(slot));
        return Reply::Ok(json.Text());
    }

    Reply RxErrorsJson(int slot) override
    {
        CL_pump* pump = forecourt_->GetPump(slot);
        if (!pump)
            return NoPump(slot);
        return Reply::Ok(JsonStringArray(pump->RxErrorLines()));
    }

    // As the decimals dialog: volume, amount and price decimals replaced, the totals' kept.
    Reply SetDecimals(int volume, int amount, int price) override
    {
        CL_decimals decimals = forecourt_->GetDecimals();
        decimals.volume = volume;
        decimals.amount = amount;
        decimals.price = price;
        if (!forecourt_->SetDecimals(decimals))
            return Reply::Error("decimals must be 0 to 8");
        return Reply::Ok();
    }

    Loop_ref Forecourt() override { return forecourt_.get(); }

private:
    Reply NoPump(int slot) const { return Reply::Error("no pump " + std::to_string(FirstPump() + slot)); }
    static Reply BadNozzle() { return Reply::Error("nozzle must be 1 to 5"); }

    std::unique_ptr<CL_forecourt> forecourt_;
    const bool is_virtual_;
};

}  // namespace

std::unique_ptr<Runner_loop> CreateClRunnerLoop(const std::string& port, bool spy, int first, int last)
{
    return WrapClForecourt(std::make_unique<CL_forecourt>(port, spy, first, last));
}

std::unique_ptr<Runner_loop> WrapClForecourt(std::unique_ptr<CL_forecourt> forecourt)
{
    return std::make_unique<Cl_runner_loop>(std::move(forecourt));
}
