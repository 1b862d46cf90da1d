// The Zarn loop: the loop page's, panel's and dialogs' actions on a Zarn forecourt and its pumps.

#include "loops/zarn_loop.h"

#include "loops/decimal_text.h"
#include "zarn/zarn_bcd.h"

namespace {

constexpr int kNozzles = 15;
constexpr int kPanelButtons = 5;

// Identities the detail dialog writes for its two choices.
const std::array<uint8_t, 5> kStandardIdentity{0x01, 0x01, 0x01, 0x01, 0x01};
const std::array<uint8_t, 5> kFullIdentity{0x00, 0x00, 0x02, 0x00, 0x00};
constexpr size_t kIdentityKindByte = 2;
constexpr uint8_t kFullKindMark = 0x02;

}  // namespace

bool Zarn_loop::ValidNozzle(int nozzle)
{
    return nozzle >= 1 && nozzle <= kNozzles;
}

bool Zarn_loop::AddPump(int position)
{
    // The loop page creates pumps with the identity flag set, and with the settings as they are now.
    return position >= 0 && forecourt_->CreatePump(position, true, ReadPumpSettings(Zarn_engine::kSettingsSection)) == position;
}

std::string Zarn_loop::MiniViewStatusText(int position) const
{
    Zarn_pump* pump = Pump(position);
    if (!pump)
        return "";
    Zarn_pump_state state;
    pump->GetPanelState(state);
    return state.short_status_text;
}

bool Zarn_loop::GetPanelView(int position, Panel_view& view) const
{
    Zarn_pump* pump = Pump(position);
    if (!pump)
        return false;
    Zarn_pump_state state;
    pump->GetPanelState(state);
    view = PanelViewOf(position, state, state.short_status_text);
    return true;
}

bool Zarn_loop::GetPumpDetail(int position, Pump_detail& detail) const
{
    Zarn_pump* pump = Pump(position);
    if (!pump)
        return false;
    Zarn_pump_state state;
    if (!pump->GetState(state))
        return false;
    detail = DetailOf(position, state);
    detail.status_text = state.status_text;
    detail.short_status_text = state.short_status_text;
    detail.status = state.status;
    detail.stopped = state.stopped != 0;
    detail.suspended = state.suspended != 0;
    detail.preset_volume_text = state.preset_volume;
    detail.preset_amount_text = state.preset_amount;
    detail.identity = state.identity;
    detail.full_identity = state.identity[kIdentityKindByte] == kFullKindMark;
    return true;
}

void Zarn_loop::NozzleClick(int position, int nozzle)
{
    Zarn_pump* pump = Pump(position);
    if (!pump || !ValidNozzle(nozzle))
        return;
    Zarn_pump_state state;
    pump->GetPanelState(state);
    if (nozzle == state.selected_nozzle) {
        pump->HangUpNozzle();
        return;
    }
    pump->SelectNozzle(nozzle);
    if (!state.nozzle_out)
        pump->LiftNozzle();
}

void Zarn_loop::NozzleKeyOnAll(int position, int nozzle)
{
    Zarn_pump* pump = Pump(position);
    if (!pump || !ValidNozzle(nozzle))
        return;
    // Nozzle 1 is selected before the lift; the others are lifted first, as the keys always did.
    if (nozzle == 1) {
        pump->SelectNozzle(nozzle);
        pump->LiftNozzle();
    } else {
        pump->LiftNozzle();
        pump->SelectNozzle(nozzle);
    }
}

void Zarn_loop::DetailNozzleButton(int position, int nozzle)
{
    Zarn_pump* pump = Pump(position);
    if (!pump || !ValidNozzle(nozzle))
        return;
    Zarn_pump_state state;
    pump->GetPanelState(state);
    if (state.selected_nozzle != 0) {
        pump->HangUpNozzle();
        return;
    }
    pump->LiftNozzle();
    pump->SelectNozzle(nozzle);
}

std::optional<bool> Zarn_loop::SelectNozzle(int position, int nozzle)
{
    Zarn_pump* pump = Pump(position);
    if (!pump || !ValidNozzle(nozzle))
        return std::nullopt;
    return pump->SelectNozzle(nozzle);
}

void Zarn_loop::LiftNozzle(int position, int nozzle)
{
    Zarn_pump* pump = Pump(position);
    if (pump && nozzle == 0)
        pump->LiftNozzle();
}

std::vector<Error_choice> Zarn_loop::ErrorChoices() const
{
    return {{1, "CPU Reset"},
            {3, "RAM Error"},
            {4, "PROM Checksum Error"},
            {6, "Pulser error"},
            {7, "Pulser current error"},
            {9, "Emergency stop"},
            {10, "Power failure"},
            {11, "Pressure lost"},
            {12, "Blending ration error"},
            {13, "Low leak error"},
            {14, "High leak error"},
            {0, ""},
            {103, "Rubbish data (CRC ok)"},
            {101, "CRC error"},
            {102, "Sequence error"},
            {100, "No answer"},
            {0, ""},
            {17, "VAP alarm (x11)"},
            {18, "VAP error (x12)"},
            {19, "VAP device error (x13)"},
            {16, "VAP OK (x10)"},
            {0, ""},
            {20, "Low tank level detected (0x14)"},
            {21, "Low tank level Ok, after low tank level detected (0x15)"}};
}

bool Zarn_loop::IsErrorCode(int code) const
{
    // 0 clears the setting, 1-21 are alarm codes, 100-103 spoil the next replies.
    return (code >= 0 && code <= 21) || (code >= 100 && code <= 103);
}

bool Zarn_loop::SetFullIdentity(int position, bool full)
{
    Zarn_pump* pump = Pump(position);
    if (!pump)
        return false;
    pump->SetIdentity(full ? kFullIdentity : kStandardIdentity);
    return true;
}

// As the set-totals dialog: volume and amount in display units, brought to the pump's decimals
// (truncating), and a whole number of fillings; each must fit the counter's ten digits.
std::string Zarn_loop::SetTotalsFromText(int position, int nozzle, const std::string& volume_text,
                                         const std::string& amount_text, const std::string& fillings_text)
{
    Zarn_pump* pump = Pump(position);
    if (!pump)
        return "no pump " + std::to_string(PumpNumberOf(position));
    if (!ValidNozzle(nozzle))
        return "nozzle must be 1 to 15";
    const int digits = 2 * kTotalWidth;
    const std::optional<uint64_t> volume = DecimalTextToUnits(volume_text, pump->VolumeDecimals(), digits);
    if (!volume)
        return "Volume not a valid value";
    const std::optional<uint64_t> amount = DecimalTextToUnits(amount_text, pump->AmountDecimals(), digits);
    if (!amount)
        return "Amount not a valid value";
    const std::optional<uint64_t> fillings = WholeNumberText(fillings_text, digits);
    if (!fillings)
        return "Number of fillings not a valid value";
    pump->SetNozzleTotals(nozzle, BCD(kTotalWidth, static_cast<uint8_t>(pump->VolumeDecimals()), *volume),
                          BCD(kTotalWidth, static_cast<uint8_t>(pump->AmountDecimals()), *amount),
                          BCD(kTotalWidth, 0, *fillings));
    return "";
}

std::vector<uint8_t> Zarn_loop::OutputRegisters(int position) const
{
    Zarn_pump* pump = Pump(position);
    if (!pump)
        return {};
    const std::array<uint8_t, 255> registers = pump->GetOutputRegisters();
    return std::vector<uint8_t>(registers.begin(), registers.end());
}
