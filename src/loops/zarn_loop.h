#pragma once
#include <memory>

#include "loops/pump_loop.h"
#include "zarn/zarn_forecourt.h"

// A Zarn loop: owns its forecourt and does to it what the Zarn loop page and dialogs do.
class Zarn_loop : public Pump_loop {
public:
    explicit Zarn_loop(std::unique_ptr<Zarn_forecourt> forecourt);

    Zarn_forecourt& Forecourt() const { return *forecourt_; }

    Protocol GetProtocol() const override { return Protocol::zarn; }
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
    bool AddPump(int position) override;
    bool RemovePump(int position) override { return forecourt_->DeletePump(position); }

    bool GetPanelView(int position, Panel_view& view) const override;
    bool GetPumpDetail(int position, Pump_detail& detail) const override;
    std::vector<std::string> RxErrorLines(int position) const override;
    std::vector<std::string> TakeRxErrorLines(int position) override;

    void NozzleClick(int position, int nozzle) override;
    void NozzleKeyOnAll(int position, int nozzle) override;
    void DetailNozzleButton(int position, int nozzle) override;
    std::optional<bool> SelectNozzle(int position, int nozzle) override;
    void LiftNozzle(int position, int nozzle = 0) override;
    void HangUpNozzle(int position) override;
    bool SetFlow(int position, double flow) override;
    bool AdjustFlow(int position, double delta) override;

    bool IsConnected(int position) const override { return forecourt_->IsConnected(position); }
    void SetConnected(int position, bool connected) override;
    int AutomationLevel(int position) const override { return forecourt_->AutomationLevel(position); }
    void SetAutomation(int position, int level) override;
    bool IsLogging(int position) const override { return forecourt_->IsLogging(position); }
    bool StartLogging(int position, const std::string& file_name, bool interpreted) override;
    void StopLogging(int position) override { forecourt_->StopLogging(position); }

    std::vector<Error_choice> ErrorChoices() const override;
    bool IsErrorCode(int code) const override;
    int ErrorType(int position) const override { return forecourt_->ErrorType(position); }
    int ErrorValue(int position) const override { return forecourt_->ErrorValue(position); }
    void SetErrorSetup(int position, int type, int value) override;
    void CommitError(int position) override { forecourt_->ApplyError(position); }

    std::vector<bool> VisibleNozzles(int position) const override;
    void SetVisibleNozzles(int position, const std::vector<bool>& visible) override;
    bool SetFullIdentity(int position, bool full) override;
    std::string SetTotalsFromText(int position, int nozzle, const std::string& volume, const std::string& amount,
                                  const std::string& fillings) override;
    std::vector<uint8_t> OutputRegisters(int position) const override;
    std::optional<Loop_decimals> Decimals() const override { return std::nullopt; }
    bool SetDecimals(const Loop_decimals&) override { return false; }

    void SetCommunicationOn(bool on) override { forecourt_->SetCommunicationOn(on); }
    bool IsCommunicationOn() const override { return forecourt_->IsCommunicationOn(); }
    void SetInterpreted(bool interpreted) override { forecourt_->SetInterpreted(interpreted); }
    bool GetInterpreted() const override { return forecourt_->GetInterpreted(); }
    std::string FetchCommunicationText() override { return forecourt_->FetchCommunicationText(); }
    void SetFilterAddress(uint8_t address) override { forecourt_->SetFilterAddress(address); }
    uint8_t GetFilterAddress() const override { return forecourt_->GetFilterAddress(); }

private:
    Zarn_pump* Pump(int position) const { return forecourt_->GetPump(position); }
    static bool ValidNozzle(int nozzle);

    std::unique_ptr<Zarn_forecourt> forecourt_;
    const bool is_virtual_;
};
