// The current-loop loop: the current-loop page's, panel's and dialogs' actions on its forecourt.

#include "loops/cl_loop.h"


namespace {

constexpr int kNozzles = 5;

// The texts of the states both windows name; any other state shows its character code.
std::string StateText(char state, const char* max_reached_text)
{
    switch (state) {
    case 'A':
        return "Reset";
    case 'C':
        return "Authorised";
    case 'D':
        return "Filling";
    case 'E':
        return "Filling compl";
    case 'L':
        return max_reached_text;
    default:
        return std::to_string(static_cast<int>(static_cast<unsigned char>(state)));
    }
}

}  // namespace

std::string CL_loop::PanelStatusText(char state)
{
    return StateText(state, "Max amt/vol");
}

std::string CL_loop::DetailStatusText(char state)
{
    return StateText(state, "max amount/volume reached");
}

std::string CL_loop::MiniViewStateText(char state)
{
    return StateText(state, "Max amount/volume reached");
}

std::string CL_loop::MiniViewStatusText(int position) const
{
    CL_pump* pump = Pump(position);
    if (!pump)
        return "";
    return MiniViewStateText(pump->GetState().state);
}

bool CL_loop::GetPanelView(int position, Panel_view& view) const
{
    CL_pump* pump = Pump(position);
    if (!pump)
        return false;
    const CL_pump_state state = pump->GetState();
    view = PanelViewOf(position, state, PanelStatusText(state.state));
    return true;
}

bool CL_loop::GetPumpDetail(int position, Pump_detail& detail) const
{
    CL_pump* pump = Pump(position);
    if (!pump)
        return false;
    const CL_pump_state state = pump->GetState();
    detail = DetailOf(position, state);
    detail.status_text = DetailStatusText(state.state);
    detail.short_status_text = PanelStatusText(state.state);
    detail.state_letter = state.state;
    detail.preset_text = state.preset_text;
    detail.preset_is_volume = state.preset_is_volume;
    return true;
}

// The lifted nozzle's button hangs it up; another button lifts (and so selects) that nozzle.
void CL_loop::NozzleClick(int position, int nozzle)
{
    CL_pump* pump = Pump(position);
    if (!pump || !ValidNozzle(nozzle))
        return;
    if (pump->GetState().selected_nozzle == nozzle)
        pump->HangUpNozzle();
    else
        pump->LiftNozzle(nozzle);
}

void CL_loop::DetailNozzleButton(int position, int nozzle)
{
    CL_pump* pump = Pump(position);
    if (!pump || !ValidNozzle(nozzle))
        return;
    if (pump->GetState().selected_nozzle != 0)
        pump->HangUpNozzle();
    else
        pump->LiftNozzle(nozzle);
}

void CL_loop::LiftNozzle(int position, int nozzle)
{
    CL_pump* pump = Pump(position);
    if (pump && ValidNozzle(nozzle))
        pump->LiftNozzle(nozzle);
}

std::vector<Error_choice> CL_loop::ErrorChoices() const
{
    return {{kKeepsErrorCode, "Alarms - - - - - - - - - - "},
            {cl_error::kDoublePulse, "Double pulse error"},
            {cl_error::kPulserCurrent, "Pulser current error"},
            {cl_error::kCommunication, "Communication error"},
            {cl_error::kCpuReset, "CPU reset"},
            {kKeepsErrorCode, "- - - - - - - - - - - - - - - -"},
            {kKeepsErrorCode, ""},
            {cl_error::kRandomData, "Rubbish data (CRC ok)"},
            {cl_error::kBadCrc, "CRC error"},
            {cl_error::kNoAnswer, "No answer "}};
}

bool CL_loop::IsErrorCode(int code) const
{
    switch (code) {
    case cl_error::kDoublePulse:
    case cl_error::kPulserCurrent:
    case cl_error::kCommunication:
    case cl_error::kCpuReset:
    case cl_error::kNone:
    case cl_error::kBadCrc:
    case cl_error::kRandomData:
    case cl_error::kNoAnswer:
        return true;
    default:
        return false;
    }
}

std::optional<Loop_decimals> CL_loop::Decimals() const
{
    const CL_decimals stored = forecourt_->GetDecimals();
    Loop_decimals decimals;
    decimals.volume = stored.volume;
    decimals.amount = stored.amount;
    decimals.price = stored.price;
    return decimals;
}

// As the decimals dialog: volume, amount and price decimals replaced, the totals' kept.
bool CL_loop::SetDecimals(const Loop_decimals& decimals)
{
    CL_decimals stored = forecourt_->GetDecimals();
    stored.volume = decimals.volume;
    stored.amount = decimals.amount;
    stored.price = decimals.price;
    return forecourt_->SetDecimals(stored);
}
