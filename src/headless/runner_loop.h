#pragma once
#include <optional>
#include <string>
#include <vector>

#include "config/config_file.h"

// The answer to one runner command: "ok" with optional data, or an error message.
struct Reply {
    bool ok = true;
    std::string text;
    static Reply Ok(const std::string& data = "") { return {true, data}; }
    static Reply Error(const std::string& message) { return {false, message}; }
};

// One loop of the runner, whatever its protocol. The runner has checked the pump number against
// the loop's range and passes the slot (pump number - first pump number). Each operation does
// what the loop page or a dialog does with the same input, through the forecourt's operations.
class Runner_loop {
public:
    virtual ~Runner_loop() = default;

    virtual std::string Protocol() const = 0;  // "zarn" or "cl"
    virtual std::string PortName() const = 0;
    virtual int FirstPump() const = 0;
    virtual int LastPump() const = 0;
    virtual std::string Title() const = 0;
    virtual std::string DevicePath() const = 0;
    virtual bool PortIsVirtual() const = 0;

    // Communication feed.
    virtual void SetCommunicationOn(bool on) = 0;
    virtual std::string FetchCommunicationText() = 0;
    virtual void SetInterpreted(bool interpreted) = 0;
    virtual void SetFilterSlot(std::optional<int> slot) = 0;  // nullopt: all pumps

    // Pumps.
    virtual Reply AddPump(int slot) = 0;
    virtual Reply RemovePump(int slot) = 0;
    virtual Reply Select(int slot, int nozzle) = 0;
    virtual Reply Lift(int slot, std::optional<int> nozzle) = 0;
    virtual Reply HangUp(int slot) = 0;
    virtual Reply NozzleClick(int slot, int nozzle) = 0;
    virtual Reply SetFlow(int slot, double flow) = 0;
    virtual Reply AdjustFlow(int slot, double delta) = 0;
    virtual Reply ToggleFlow(int slot) = 0;
    virtual Reply Connect(int slot, bool connect) = 0;
    virtual Reply Automate(int slot, int level) = 0;
    virtual Reply StartLog(int slot, const std::string& file, bool interpreted) = 0;
    virtual Reply StopLog(int slot) = 0;
    virtual Reply ApplyError(int slot, int code, int count) = 0;
    virtual Reply SetVisible(int slot, const std::vector<int>& nozzles) = 0;
    virtual Reply SetIdentity(int slot, bool full) = 0;
    virtual Reply SetTotals(int slot, int nozzle, const std::string& volume, const std::string& amount,
                            const std::string& fillings) = 0;
    virtual Reply StateJson(int slot) = 0;
    virtual Reply RxErrorsJson(int slot) = 0;
    virtual Reply SetDecimals(int volume, int amount, int price) = 0;

    // The forecourt, for saving to a configuration file.
    virtual Loop_ref Forecourt() = 0;
};
