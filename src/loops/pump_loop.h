#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/pump_settings.h"  // plain values: the protocol settings the Preferences dialog edits
#include "engine/pump_snapshot.h"

// The protocol-neutral face of one loop: what a loop page, a pump panel, the dialogs and the
// headless runner do to a loop, whatever its protocol. One implementation per protocol owns the
// protocol's forecourt (its port, threads and pumps); nothing above this layer reaches into an
// engine.
//
// Positions are 0 based: the pump at position p has pump number FirstPump() + p and line address
// pump number + 79. Every operation checks its position (and nozzle) first: on a position outside
// the loop or without a pump it does nothing and returns the "nothing done" value given below.
//
// Threads: every operation is meant for the one thread that owns the loop (the window thread or
// the runner's command thread). Snapshots are copies the pump made under its own lock, so a page
// may poll them on a timer while the loop's threads run.

enum class Protocol { zarn, current_loop };

// What a protocol allows. Defined once for the New loop dialog, the runner, the pages and the
// configuration loader.
struct Protocol_limits {
    int lowest_pump_number;   // 1
    int highest_pump_number;  // Zarn 32, current loop 15
    int max_pumps;            // Zarn 16, current loop 8 (= the positions of a page)
    int nozzles;              // per pump: Zarn 15, current loop 5
    int key_nozzles;          // nozzles the digit keys reach: Zarn 10, current loop 5
};
const Protocol_limits& LimitsOf(Protocol protocol);
// "zarn" or "cl", as the runner and the loop list name them.
std::string ProtocolWord(Protocol protocol);
// Refuses (with the message the user sees) a range that the protocol cannot serve: first and last
// pump number within the protocol's numbers, first <= last and at most max_pumps pumps.
// Returns "" for a valid range, else "Invalid pump number interval for the chosen protocol".
std::string CheckPumpRange(Protocol protocol, int first, int last);

// One nozzle button of a pump panel.
struct Nozzle_view {
    bool visible = false;
    bool allowed = false;   // Zarn: allowed by the controller; current loop: enabled
    bool selected = false;  // the pump's selected (Zarn) or lifted (current loop) nozzle
    bool operator==(const Nozzle_view&) const = default;
};

// What a pump panel shows; compared with the last one shown to redraw only what changed.
struct Panel_view {
    std::string status_text;  // the panel's short status text
    std::string volume_text, amount_text, price_text;
    bool online = false;
    std::array<Nozzle_view, 5> nozzles{};  // buttons 1-5
    int selected_nozzle = 0;               // 0: none (may be above 5 on a Zarn pump)
    bool logging = false;
    int automation_level = 0;  // 0 none, 1 Light, 2 Normal, 3 Heavy
    bool connected = false;
    bool operator==(const Panel_view&) const = default;
};

// One nozzle of a pump in full (the detail dialogs and the runner's state): the pump's own
// record of it.
using Nozzle_detail = Nozzle_snapshot;

// A pump in full: the pump's snapshot (the facts both protocols share, in the same words, and
// every nozzle), the loop's facts of the pump, and the protocol's own part. Fields a protocol
// does not have keep their defaults.
struct Pump_detail : Pump_snapshot {
    Protocol protocol = Protocol::zarn;
    int pump_number = 0;
    std::string status_text;        // long status text (the detail dialog's)
    std::string short_status_text;  // the panel's text
    bool connected = false;
    bool logging = false;
    int automation_level = 0;
    // Zarn.
    int status = 0;  // the number its status reply carries
    bool stopped = false;
    bool suspended = false;
    std::string preset_volume_text, preset_amount_text;
    std::array<uint8_t, 5> identity{};
    bool full_identity = false;  // the third identity byte is 2
    // Current loop.
    char state_letter = 0;
    std::string preset_text;
    bool preset_is_volume = false;
};

// The current-loop loop's decimals that the decimals dialog edits (the totals' decimals of the
// loop are kept as they are).
struct Loop_decimals {
    int volume = 2, amount = 2, price = 2;
};

// One row of an error-simulation list: its text and the code the pump takes. A row with code
// kKeepsErrorCode (a heading or separator of the current-loop list) keeps the stored code.
struct Error_choice {
    int code;
    std::string text;
};
constexpr int kKeepsErrorCode = -1;

class Pump_loop {
public:
    virtual ~Pump_loop() = default;

    // The loop's facts.
    virtual Protocol GetProtocol() const = 0;
    const Protocol_limits& Limits() const { return LimitsOf(GetProtocol()); }
    virtual std::string PortName() const = 0;
    // What a controller opens or connects to: a pseudo-terminal's other end, a TCP endpoint.
    virtual std::string DevicePath() const = 0;
    virtual bool PortIsVirtual() const = 0;
    // True for a loop that listens for TCP controllers on every interface (any spelling of the
    // any-address): anyone who reaches the machine can talk to its pumps.
    bool ListensOnEveryInterface() const;
    virtual bool Spy() const = 0;  // the port records its traffic (a spy port)
    // Whether replies leave at the pace of a real 9600-baud line (virtual ports only: a serial
    // device stays unpaced). A new loop starts with the setting "LineSpeedPacing".
    virtual void SetLinePacing(bool on) = 0;
    virtual bool LinePacing() const = 0;
    virtual int FirstPump() const = 0;
    virtual int LastPump() const = 0;
    virtual std::string Title() const = 0;  // the forecourt's title (the configuration file keeps it)
    std::string TabCaption() const;         // port name + " Zarn" / " Current Loop"
    virtual bool IoRunning() const = 0;       // false once a port error ended the line
    virtual std::string IoErrorText() const = 0;
    int Positions() const;                    // last - first + 1
    bool ValidPosition(int position) const;   // 0 <= position < Positions()
    int PumpNumberOf(int position) const { return FirstPump() + position; }
    uint8_t AddressOf(int position) const;    // pump number + 79
    // "Pump N.log", the log file name proposed for the pump at a position.
    std::string ProposedLogName(int position) const;

    // Pumps.
    virtual bool HasPump(int position) const = 0;
    virtual bool AddPump(int position) = 0;     // false: outside the loop or taken
    virtual bool RemovePump(int position) = 0;  // false: no pump there
    int PumpCount() const;

    // Snapshots; false (the record untouched) when there is no pump.
    virtual bool GetPanelView(int position, Panel_view& view) const = 0;
    virtual bool GetPumpDetail(int position, Pump_detail& detail) const = 0;
    // The state name the mini view shows after the pump number ("Filling", "Max amt/vol reached",
    // a current-loop state without a name as its character code); "" when there is no pump.
    virtual std::string MiniViewStatusText(int position) const = 0;
    // The pump's receive-error lines: a copy, or taken out of the pump's list.
    virtual std::vector<std::string> RxErrorLines(int position) const = 0;
    virtual std::vector<std::string> TakeRxErrorLines(int position) = 0;

    // Nozzles. n is 1 based; a nozzle outside 1 .. Limits().nozzles does nothing.
    // The pump panel's nozzle button and the page's digit keys: the selected nozzle's button hangs
    // it up; another selects it and lifts it (Zarn: lifts only if no nozzle was out).
    virtual void NozzleClick(int position, int nozzle) = 0;
    // Ctrl with a digit, on one pump of an all-pumps action (Zarn: nozzle 1 is selected then
    // lifted, others lifted then selected; current loop: lifted).
    virtual void NozzleKeyOnAll(int position, int nozzle) = 0;
    // The detail dialog's nozzle button: any selected nozzle is hung up; otherwise the nozzle is
    // lifted (Zarn: lift, then select).
    virtual void DetailNozzleButton(int position, int nozzle) = 0;
    // Zarn: selects a nozzle; returns whether the controller allows it (nullopt: nothing done,
    // and always nullopt on a current-loop loop, whose pumps select by lifting).
    virtual std::optional<bool> SelectNozzle(int position, int nozzle) = 0;
    // Zarn: lifts the selected nozzle (nozzle 0); current loop: lifts nozzle 1-5 (0 does nothing).
    virtual void LiftNozzle(int position, int nozzle = 0) = 0;
    virtual void HangUpNozzle(int position) = 0;

    // Flow in litres per minute. False, doing nothing, without a pump or for a flow that is
    // negative or not finite (AdjustFlow: a delta that is not finite).
    virtual bool SetFlow(int position, double flow) = 0;
    virtual bool AdjustFlow(int position, double delta) = 0;
    void ToggleFlow(int position);  // 0 when flowing, else 40

    // Line connection: a disconnected pump keeps simulating but does not answer.
    virtual bool IsConnected(int position) const = 0;
    virtual void SetConnected(int position, bool connected) = 0;

    // Automatic filling, 0 stops it, 1 Light, 2 Normal, 3 Heavy.
    virtual int AutomationLevel(int position) const = 0;
    virtual void SetAutomation(int position, int level) = 0;

    // Pump logs. StartLogging raises Gallion_error with the reason when the file cannot be used
    // (it cannot be created, is not a regular file, is another user's link in a shared folder, or
    // another pump logs to it); false when there is no pump or it logs already. StopLogging returns
    // the log's write failure ("Writing log file \"NAME\" failed: REASON; N lines lost"), "" when
    // every line was written.
    virtual bool IsLogging(int position) const = 0;
    virtual bool StartLogging(int position, const std::string& file_name, bool interpreted) = 0;
    virtual std::string StopLogging(int position) = 0;

    // Error simulation: the error-setup dialog stores a choice, "Commit error" applies it.
    virtual std::vector<Error_choice> ErrorChoices() const = 0;  // in the dialog's order
    // Whether the pump knows the code (Zarn 0-21 and 100-103, current loop 4, 8, 16, 32, 64 and
    // 240-242); the runner and the dialogs refuse others.
    virtual bool IsErrorCode(int code) const = 0;
    virtual int ErrorType(int position) const = 0;
    virtual int ErrorValue(int position) const = 0;
    virtual void SetErrorSetup(int position, int type, int value) = 0;
    virtual void CommitError(int position) = 0;

    // Visible nozzles, one flag per nozzle of the pump (Zarn 15, current loop 5); empty when there
    // is no pump. A shorter list sets the first flags and leaves the others as they are.
    virtual std::vector<bool> VisibleNozzles(int position) const = 0;
    virtual void SetVisibleNozzles(int position, const std::vector<bool>& visible) = 0;

    // Zarn only (false / "" on a current-loop loop): the identity the detail dialog writes
    // (standard 01 01 01 01 01, full 00 00 02 00 00) and the set-totals dialog.
    virtual bool SetFullIdentity(int position, bool full) = 0;
    // Sets nozzle n's totals from the dialog's texts: volume and amount in display units with '.'
    // or ',' as decimal separator, fillings a whole number. Returns "" when set, else the message
    // for the user ("Volume not a valid value", "Amount not a valid value", "Number of fillings not
    // a valid value", or why the call does not apply).
    virtual std::string SetTotalsFromText(int position, int nozzle, const std::string& volume,
                                          const std::string& amount, const std::string& fillings) = 0;
    // The pump's output registers (Zarn; empty otherwise).
    virtual std::vector<uint8_t> OutputRegisters(int position) const = 0;

    // Current loop only: the loop's decimals (false: not a current-loop loop, or a value outside 0-8).
    virtual std::optional<Loop_decimals> Decimals() const = 0;
    virtual bool SetDecimals(const Loop_decimals& decimals) = 0;

    // The communication feed.
    virtual void SetCommunicationOn(bool on) = 0;
    virtual bool IsCommunicationOn() const = 0;
    virtual void SetInterpreted(bool interpreted) = 0;
    virtual bool GetInterpreted() const = 0;
    virtual std::string FetchCommunicationText() = 0;  // "" when nothing waits
    virtual void SetFilterAddress(uint8_t address) = 0;   // 0: all pumps
    virtual uint8_t GetFilterAddress() const = 0;
    void SetFilterPosition(std::optional<int> position);  // nullopt: all pumps

    // The wire trace: one JSON line per frame in both directions (time, direction, pump, raw
    // bytes, interpreted text, verdict), polls and EOT included, written by a low-priority thread.
    // StartTrace raises Gallion_error ("Cannot create trace file ...") when the file cannot be
    // used; false when the loop traces already. StopTrace writes what waits and closes the file;
    // it returns the trace's write failure ("Writing trace file \"NAME\" failed: REASON; N frames
    // lost"), "" when every frame was written.
    virtual bool StartTrace(const std::string& file_name) = 0;
    virtual std::string StopTrace() = 0;
    virtual bool IsTracing() const = 0;
    virtual std::string TraceFileName() const = 0;  // "" when not tracing

    // The write failure of the running trace or of a running pump log of the loop, "" while they
    // all write well (the loop list and the main window's status bar show it).
    virtual std::string WriteFailureText() const = 0;
};

// The setting "LineSpeedPacing" (section "Main", default off): whether a new loop on a virtual
// port starts paced at line speed.
bool ReadLineSpeedPacing();

// Creates a loop of a protocol on a port, paced as ReadLineSpeedPacing says before it serves the
// line, with the protocol's settings as they are now; raises Gallion_error with the engine's text ("Invalid
// port ...") when the port cannot be opened, or the range text when the range is invalid.
std::unique_ptr<Pump_loop> CreateLoop(Protocol protocol, const std::string& port_name, bool spy, int first,
                                      int last);
