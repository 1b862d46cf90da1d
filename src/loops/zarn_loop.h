#pragma once
#include <memory>

#include "loops/forecourt_loop.h"
#include "zarn/zarn_forecourt.h"

// A Zarn loop: owns its forecourt and does to it what the Zarn loop page and dialogs do.
class Zarn_loop : public Forecourt_loop<Zarn_forecourt> {
public:
    using Forecourt_loop::Forecourt_loop;

    Protocol GetProtocol() const override { return Protocol::zarn; }
    bool AddPump(int position) override;

    bool GetPanelView(int position, Panel_view& view) const override;
    std::string MiniViewStatusText(int position) const override;
    bool GetPumpDetail(int position, Pump_detail& detail) const override;

    void NozzleClick(int position, int nozzle) override;
    void NozzleKeyOnAll(int position, int nozzle) override;
    void DetailNozzleButton(int position, int nozzle) override;
    std::optional<bool> SelectNozzle(int position, int nozzle) override;
    void LiftNozzle(int position, int nozzle = 0) override;

    std::vector<Error_choice> ErrorChoices() const override;
    bool IsErrorCode(int code) const override;

    bool SetFullIdentity(int position, bool full) override;
    std::string SetTotalsFromText(int position, int nozzle, const std::string& volume, const std::string& amount,
                                  const std::string& fillings) override;
    std::vector<uint8_t> OutputRegisters(int position) const override;
    std::optional<Loop_decimals> Decimals() const override { return std::nullopt; }
    bool SetDecimals(const Loop_decimals&) override { return false; }

private:
    Zarn_pump* Pump(int position) const { return forecourt_->GetPump(position); }
    static bool ValidNozzle(int nozzle);
};
