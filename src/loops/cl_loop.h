#pragma once
#include <memory>

#include "currentloop/cl_forecourt.h"
#include "loops/forecourt_loop.h"

// A current-loop loop: owns its forecourt and does to it what the current-loop page and dialogs do.
class CL_loop : public Forecourt_loop<CL_forecourt> {
public:
    using Forecourt_loop::Forecourt_loop;

    Protocol GetProtocol() const override { return Protocol::current_loop; }
    // A pump with the settings as they are now.
    bool AddPump(int position) override
    {
        return position >= 0 && forecourt_->CreatePump(position, ReadPumpSettings(CL_engine::kSettingsSection)) == position;
    }

    bool GetPanelView(int position, Panel_view& view) const override;
    std::string MiniViewStatusText(int position) const override;
    bool GetPumpDetail(int position, Pump_detail& detail) const override;

    void NozzleClick(int position, int nozzle) override;
    void NozzleKeyOnAll(int position, int nozzle) override { LiftNozzle(position, nozzle); }
    void DetailNozzleButton(int position, int nozzle) override;
    std::optional<bool> SelectNozzle(int, int) override { return std::nullopt; }
    void LiftNozzle(int position, int nozzle = 0) override;

    std::vector<Error_choice> ErrorChoices() const override;
    bool IsErrorCode(int code) const override;

    bool SetFullIdentity(int, bool) override { return false; }
    std::string SetTotalsFromText(int, int, const std::string&, const std::string&, const std::string&) override
    {
        return "totals apply to Zarn pumps only";
    }
    std::vector<uint8_t> OutputRegisters(int) const override { return {}; }
    std::optional<Loop_decimals> Decimals() const override;
    bool SetDecimals(const Loop_decimals& decimals) override;

    // The panel's and the detail dialog's text for a state letter.
    static std::string PanelStatusText(char state);
    static std::string DetailStatusText(char state);
    static std::string MiniViewStateText(char state);

private:
    CL_pump* Pump(int position) const { return forecourt_->GetPump(position); }
    static bool ValidNozzle(int nozzle) { return nozzle >= 1 && nozzle <= 5; }
};
