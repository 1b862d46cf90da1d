#pragma once
#include <memory>

#include "currentloop/cl_forecourt.h"
#include "loops/pump_loop.h"

// A current-loop loop: owns its forecourt and does to it what the current-loop page and dialogs do.
class CL_loop : public Pump_loop {
public:
    explicit CL_loop(std::unique_ptr<CL_forecourt> forecourt);

    CL_forecourt& Forecourt() const { return *forecourt_; }

    Protocol GetProtocol() const override { return Protocol::current_loop; }
    std::string PortName() const override { return forecourt_->PortName(); }
    std::string DevicePath() const override { return forecourt_->DevicePath(); }
    bool PortIsVirtual() const override { return is_virtual_; }
    bool Spy() const override { return forecourt_->Spy(); }
    int FirstPump() const override { return forecourt_->FirstPumpNumber(); }
    int LastPump() const override { return forecourt_->LastPumpNumber(); }
    std::string Title() const override { return forecourt_->Title(); }
    bool IoRunning() const override { return forecourt_->IoRunning(); }
    std::string IoErrorText() const override { return forecourt_->IoErrorText(); }

    bool HasPump(int position) const override { return forecourt_->GetPump(position) != nullptr; }
    bool AddPump(int position) override { return position >= 0 && forecourt_->CreatePump(position) == position; }
    bool RemovePump(int position) override { return forecourt_->DeletePump(position); }

    bool GetPanelView(int position, Panel_view& view) const override;
    bool GetPumpDetail(int position, Pump_detail& detail) const override;
    std::vector<std::string> RxErrorLines(int position) const override;
    std::vector<std::string> TakeRxErrorLines(int position) override;

    void NozzleClick(int position, int nozzle) override;
    void NozzleKeyOnAll(int position, int nozzle) override { LiftNozzle(position, nozzle); }
    void DetailNozzleButton(int position, int nozzle) override;
    std::optional<bool> SelectNozzle(int, int) override { return std::nullopt; }
    void LiftNozzle(int position, int nozzle = 0) override;
    void HangUpNozzle(int position) override;
    bool SetFlow(int position, double flow) override;
    bool AdjustFlow(int position, double delta) override;

    bool IsConnected(int position) const override { return forecourt_->IsConnected(position); }
    void SetConnected(int position, bool connected) override;
    int AutomationLevel(int position) const override { return forecourt_->AutomationLevel(position); }
    void SetAutomation(int position, int level) override;
    bool IsLogging(int position) const override { return forecourt_->IsLogging(position); }
    bool StartLogging(int position, const std::string& file_name, bool interpreted) override
    {
        return forecourt_->StartLogging(position, file_name, interpreted);
    }
    void StopLogging(int position) override { forecourt_->StopLogging(position); }

    std::vector<Error_choice> ErrorChoices() const override;
    bool IsErrorCode(int code) const override;
    int ErrorType(int position) const override { return forecourt_->ErrorType(position); }
    int ErrorValue(int position) const override { return forecourt_->ErrorValue(position); }
    void SetErrorSetup(int position, int type, int value) override;
    void CommitError(int position) override { forecourt_->ApplyError(position); }

    std::vector<bool> VisibleNozzles(int position) const override;
    void SetVisibleNozzles(int position, const std::vector<bool>& visible) override;
    bool SetFullIdentity(int, bool) override { return false; }
    std::string SetTotalsFromText(int, int, const std::string&, const std::string&, const std::string&) override
    {
        return "totals apply to Zarn pumps only";
    }
    std::vector<uint8_t> OutputRegisters(int) const override { return {}; }
    std::optional<Loop_decimals> Decimals() const override;
    bool SetDecimals(const Loop_decimals& decimals) override;

    void SetCommunicationOn(bool on) override { forecourt_->SetCommunicationOn(on); }
    bool IsCommunicationOn() const override { return forecourt_->IsCommunicationOn(); }
    void SetInterpreted(bool interpreted) override { forecourt_->SetInterpreted(interpreted); }
    bool GetInterpreted() const override { return forecourt_->GetInterpreted(); }
    std::string FetchCommunicationText() override { return forecourt_->FetchCommunicationText(); }
    void SetFilterAddress(uint8_t address) override { forecourt_->SetFilterAddress(address); }
    uint8_t GetFilterAddress() const override { return forecourt_->GetFilterAddress(); }

    // The panel's and the detail dialog's text for a state letter.
    static std::string PanelStatusText(char state);
    static std::string DetailStatusText(char state);

private:
    CL_pump* Pump(int position) const { return forecourt_->GetPump(position); }
    static bool ValidNozzle(int nozzle) { return nozzle >= 1 && nozzle <= 5; }

    std::unique_ptr<CL_forecourt> forecourt_;
    const bool is_virtual_;
};
