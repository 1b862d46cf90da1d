#pragma once
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "platform/tport.h"
#include "loops/pump_loop.h"

// What a loop does the same way on either protocol's forecourt: both forecourts offer the same
// operations under the same names (connection, automation, logs, error setup, feed, facts), and both
// pumps the same flow, hang-up, visible-nozzle and receive-error operations. Zarn_loop and CL_loop
// add what differs: nozzles, snapshots, error lists, identity, totals and decimals.
template <class Forecourt>
class Forecourt_loop : public Pump_loop {
public:
    explicit Forecourt_loop(std::unique_ptr<Forecourt> forecourt)
        : forecourt_(std::move(forecourt)), is_virtual_(Port_name::Parse(forecourt_->PortName()).IsVirtual())
    {
    }

    Forecourt& GetForecourt() const { return *forecourt_; }

    std::string PortName() const override { return forecourt_->PortName(); }
    std::string DevicePath() const override { return forecourt_->DevicePath(); }
    bool PortIsVirtual() const override { return is_virtual_; }
    bool Spy() const override { return forecourt_->Spy(); }
    void SetLinePacing(bool on) override { forecourt_->SetLinePacing(on); }
    bool LinePacing() const override { return forecourt_->LinePacing(); }
    int FirstPump() const override { return forecourt_->FirstPumpNumber(); }
    int LastPump() const override { return forecourt_->LastPumpNumber(); }
    std::string Title() const override { return forecourt_->Title(); }
    bool IoRunning() const override { return forecourt_->IoRunning(); }
    std::string IoErrorText() const override { return forecourt_->IoErrorText(); }

    bool HasPump(int position) const override { return forecourt_->GetPump(position) != nullptr; }
    bool RemovePump(int position) override { return forecourt_->DeletePump(position); }

    std::vector<std::string> RxErrorLines(int position) const override
    {
        auto* pump = forecourt_->GetPump(position);
        return pump ? pump->RxErrorLines() : std::vector<std::string>();
    }
    std::vector<std::string> TakeRxErrorLines(int position) override
    {
        auto* pump = forecourt_->GetPump(position);
        return pump ? pump->TakeRxErrorLines() : std::vector<std::string>();
    }

    void HangUpNozzle(int position) override
    {
        if (auto* pump = forecourt_->GetPump(position))
            pump->HangUpNozzle();
    }
    bool SetFlow(int position, double flow) override
    {
        auto* pump = forecourt_->GetPump(position);
        if (!pump || !std::isfinite(flow) || flow < 0)
            return false;
        pump->SetFlow(flow);
        return true;
    }
    bool AdjustFlow(int position, double delta) override
    {
        auto* pump = forecourt_->GetPump(position);
        if (!pump || !std::isfinite(delta))
            return false;
        pump->AdjustFlow(delta);
        return true;
    }

    bool IsConnected(int position) const override { return forecourt_->IsConnected(position); }
    void SetConnected(int position, bool connected) override
    {
        if (connected)
            forecourt_->ConnectPump(position);
        else
            forecourt_->DisconnectPump(position);
    }
    int AutomationLevel(int position) const override { return forecourt_->AutomationLevel(position); }
    void SetAutomation(int position, int level) override
    {
        if (level == 0)
            forecourt_->StopAutomation(position);
        else
            forecourt_->StartAutomation(position, level);
    }
    bool IsLogging(int position) const override { return forecourt_->IsLogging(position); }
    bool StartLogging(int position, const std::string& file_name, bool interpreted) override
    {
        return forecourt_->StartLogging(position, file_name, interpreted);
    }
    std::string StopLogging(int position) override { return forecourt_->StopLogging(position); }

    int ErrorType(int position) const override { return forecourt_->ErrorType(position); }
    int ErrorValue(int position) const override { return forecourt_->ErrorValue(position); }
    void SetErrorSetup(int position, int type, int value) override
    {
        forecourt_->SetErrorType(position, type);
        forecourt_->SetErrorValue(position, value);
    }
    void CommitError(int position) override { forecourt_->ApplyError(position); }

    std::vector<bool> VisibleNozzles(int position) const override
    {
        auto* pump = forecourt_->GetPump(position);
        if (!pump)
            return {};
        const auto flags = pump->VisibleNozzles();
        return std::vector<bool>(flags.begin(), flags.end());
    }
    // A shorter list sets the first flags and leaves the others as they are.
    void SetVisibleNozzles(int position, const std::vector<bool>& visible) override
    {
        auto* pump = forecourt_->GetPump(position);
        if (!pump)
            return;
        auto flags = pump->VisibleNozzles();
        for (size_t i = 0; i < visible.size() && i < flags.size(); ++i)
            flags[i] = visible[i];
        pump->SetVisibleNozzles(flags);
    }

    void SetCommunicationOn(bool on) override { forecourt_->SetCommunicationOn(on); }
    bool IsCommunicationOn() const override { return forecourt_->IsCommunicationOn(); }
    void SetInterpreted(bool interpreted) override { forecourt_->SetInterpreted(interpreted); }
    bool GetInterpreted() const override { return forecourt_->GetInterpreted(); }
    std::string FetchCommunicationText() override { return forecourt_->FetchCommunicationText(); }
    void SetFilterAddress(uint8_t address) override { forecourt_->SetFilterAddress(address); }
    uint8_t GetFilterAddress() const override { return forecourt_->GetFilterAddress(); }

    bool StartTrace(const std::string& file_name) override { return forecourt_->Trace().Start(file_name); }
    std::string StopTrace() override { return forecourt_->Trace().Stop(); }
    std::string WriteFailureText() const override
    {
        const std::string trace = forecourt_->Trace().WriteFailureText();
        return trace.empty() ? forecourt_->LogWriteFailure() : trace;
    }
    bool IsTracing() const override { return forecourt_->Trace().Active(); }
    std::string TraceFileName() const override { return forecourt_->Trace().FileName(); }

protected:
    // What the panel at `position` shows: the pump's snapshot under the panel's status text, with
    // the loop's facts of the pump.
    Panel_view PanelViewOf(int position, const Pump_snapshot& pump, const std::string& status_text) const
    {
        Panel_view view;
        view.status_text = status_text;
        view.volume_text = pump.volume_text;
        view.amount_text = pump.amount_text;
        view.price_text = pump.price_text;
        view.online = pump.online;
        view.selected_nozzle = pump.selected_nozzle;
        for (size_t i = 0; i < view.nozzles.size() && i < pump.nozzles.size(); ++i) {
            view.nozzles[i].visible = pump.nozzles[i].visible;
            view.nozzles[i].allowed = pump.nozzles[i].allowed;
            view.nozzles[i].selected = pump.selected_nozzle == pump.nozzles[i].number;
        }
        view.logging = IsLogging(position);
        view.automation_level = AutomationLevel(position);
        view.connected = IsConnected(position);
        return view;
    }
    // The pump at `position` in full: its snapshot with the loop's facts of it; the caller adds
    // the protocol's part.
    Pump_detail DetailOf(int position, const Pump_snapshot& pump) const
    {
        Pump_detail detail;
        static_cast<Pump_snapshot&>(detail) = pump;
        detail.protocol = GetProtocol();
        detail.pump_number = PumpNumberOf(position);
        detail.logging = IsLogging(position);
        detail.automation_level = AutomationLevel(position);
        detail.connected = IsConnected(position);
        return detail;
    }

    std::unique_ptr<Forecourt> forecourt_;

private:
    const bool is_virtual_;
};
