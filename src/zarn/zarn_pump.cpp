#include "zarn/zarn_pump.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <utility>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/random_seed.h"

namespace {

constexpr double kAutoFlow = 40.0;       // litres per minute while "AutoFlow" is on
constexpr uint8_t kNozzleOutFlag = 0x10;
constexpr int kDefaultDecimals = 2;

int DecimalsOrDefault(int decimals)
{
    return decimals >= 0 && decimals <= BCD::kMaxDecimals ? decimals : kDefaultDecimals;
}

bool IsAlarmCode(int code)
{
    return code == 1 || (code >= 3 && code <= 4) || (code >= 6 && code <= 7) || (code >= 9 && code <= 14) ||
           (code >= 16 && code <= 21);
}

std::array<uint8_t, 5> CreationIdentity(bool identity_flag)
{
    if (identity_flag)
        return {0x00, 0x00, 0x02, 0x22, 0x22};
    return {0x00, 0x00, 0x11, 0x11, 0x11};
}

}  // namespace

std::string ZarnStatusText(int status)
{
    switch (status) {
    case kStatusNotProgrammed: return "Not programmed";
    case kStatusReset: return "Reset";
    case kStatusAuthorized: return "Authorized";
    case kStatusFilling: return "Filling";
    case kStatusFillingCompleted: return "Filling completed";
    case kStatusMaxReached: return "Max amount/volume reached";
    case kStatusSwitchedOff: return "Switched off";
    default: return "";
    }
}

std::string ZarnShortStatusText(int status)
{
    switch (status) {
    case kStatusNotProgrammed: return "Not progr.";
    case kStatusFillingCompleted: return "Filling compl.";
    case kStatusMaxReached: return "Max amt/vol reached";
    default: return ZarnStatusText(status);
    }
}

Zarn_pump::Zarn_pump(uint8_t address, bool identity_flag, const Pump_settings& settings)
    : address_(address),
      settings_(settings),
      random_(RandomSeed(static_cast<uint32_t>(address) << 24)),
      line_(address, receive_queue_, settings_.poll_timeout, &thread_)
{
    std::lock_guard<std::mutex> lock(mutex_);
    identity_ = CreationIdentity(identity_flag);
    for (int i = 0; i < 5; ++i)
        visible_[i] = true;
    ApplyDecimalsLocked(settings_.volume_decimals, settings_.amount_decimals, settings_.price_decimals);
    SetStatusLocked(kStatusNotProgrammed);
    saved_status_ = status_;
    QueueDc1Locked();
    // The first cycle waits for this constructor to release the lock.
    thread_.StartOnDemand(
        [this] {
            std::lock_guard<std::mutex> cycle_lock(mutex_);
            return CycleLocked();
        },
        settings_.pump_sleep_ms);
}

Zarn_pump::~Zarn_pump()
{
    thread_.Stop();
}

// ---------------------------------------------------------------------------------------------
// The cycle

int64_t Zarn_pump::CycleLocked()
{
    switch (status_) {
    case kStatusAuthorized:
        if (selected_nozzle_ != 0)
            filling_price_ = unit_prices_[selected_nozzle_ - 1];
        FillingStepLocked();
        if (status_ == kStatusAuthorized && filling_started_) {
            SetStatusLocked(kStatusFilling);
            QueueDc1Locked();
            QueueDc3Locked();
        }
        break;
    case kStatusFilling:
        FillingStepLocked();
        QueueDc2Locked();
        break;
    case kStatusMaxReached:
        if (!settings_.filling_complete_only_after_nozzle_returned)
            SetStatusLocked(kStatusFillingCompleted);
        QueueDc1Locked();
        break;
    default:
        delivery_clock_running_ = false;  // no delivery in this status: the next one starts afresh
        break;
    }

    bool took_blocks = false;
    rx_errors_.CountOnly(static_cast<int>(std::min<uint64_t>(receive_queue_.TakeNewlyDropped(), INT_MAX)));
    while (std::unique_ptr<Message> block = receive_queue_.Take()) {
        ProcessBlockLocked(*block);
        took_blocks = true;
    }

    const bool poll_timed_out = CheckPollTimeoutLocked();
    // The statuses' own steps run before the blocks: after a block the next cycle comes after the
    // usual pause, to act on the status the block left. Apart from that and a running delivery
    // nothing changes by itself: blocks and operations wake the thread, and the poll deadline is
    // its own moment.
    const int64_t until_deadline = line_.PollSleepLimitMs(poll_timed_out);
    if (took_blocks || DeliveryRunningLocked())
        return Pump_thread::Sooner(settings_.pump_sleep_ms, until_deadline);
    return until_deadline;
}

// The statuses whose cycle does something every time: fuel may flow (authorised and delivery
// possible), a filling reports its progress (DC2), or the maximum was reached (DC1, then
// status 5).
bool Zarn_pump::DeliveryRunningLocked() const
{
    return status_ == kStatusFilling || status_ == kStatusMaxReached ||
           (status_ == kStatusAuthorized && stopped_ == 0);
}

bool Zarn_pump::CheckPollTimeoutLocked()
{
    if (!line_.PollTimedOut()) {
        online_ = true;
        return false;
    }
    online_ = false;
    if (status_ != kStatusNotProgrammed && status_ != kStatusSwitchedOff) {
        CloseFillingLocked();  // fuel already delivered still reaches the totals
        SetStatusLocked(kStatusSwitchedOff);
        QueueDc1Locked();
    }
    StopDeliveryLocked();
    return true;
}

bool Zarn_pump::DeliveryPossibleLocked() const
{
    if (nozzle_out_ != kNozzleOutFlag || selected_nozzle_ == 0 || filling_completed_)
        return false;
    const int index = selected_nozzle_ - 1;
    return allowed_[index] && unit_prices_[index].Value() != 0;
}

void Zarn_pump::FillingStepLocked()
{
    if (alarm_code_ != 0) {
        StopDeliveryLocked();
        CloseFillingLocked();
        // No DC1 of its own: the controller learns of the alarm by the DC5 sent when it was set,
        // and reads the status with its next Return status (DC1, DC3, DC5).
        if (!settings_.filling_complete_only_after_nozzle_returned)
            SetStatusLocked(kStatusFillingCompleted);
        return;  // an alarm allows no delivery at all until Reset clears it
    }
    if (!DeliveryPossibleLocked()) {
        stopped_ = 1;
        delivery_clock_running_ = false;
        return;
    }
    stopped_ = 0;
    if (settings_.auto_flow)
        flow_ = kAutoFlow;

    if (suspended_) {
        delivery_clock_running_ = false;  // the pause is not delivered when CD15 resumes
    } else {
        const uint32_t now = TickMs();
        if (delivery_clock_running_) {
            const uint32_t elapsed = now - last_tick_;  // unsigned difference: right across the wrap
            double effective_flow = flow_;
            if (ThrottledLocked() && effective_flow > settings_.throttle_flow)
                effective_flow = settings_.throttle_flow;
            real_filled_volume_ += effective_flow * elapsed / 60000.0;
            filled_volume_.SetReal(real_filled_volume_);
            if (real_filled_volume_ > 0)
                filling_started_ = true;
        }
        last_tick_ = now;
        delivery_clock_running_ = true;
        filled_amount_ = BCD::Multiply(filled_volume_, unit_prices_[selected_nozzle_ - 1], kFilledWidth,
                                       filled_amount_.Decimals());
    }
    PresetCheckLocked();
}

bool Zarn_pump::ThrottledLocked() const
{
    const BCD amount_margin = BCD::FromReal(settings_.throttle_amount, kFilledWidth, filled_amount_.Decimals());
    const BCD volume_margin = BCD::FromReal(settings_.throttle_volume, kFilledWidth, filled_volume_.Decimals());
    return BCD::WithinMargin(preset_amount_, filled_amount_, amount_margin) ||
           BCD::WithinMargin(preset_volume_, filled_volume_, volume_margin);
}

void Zarn_pump::PresetCheckLocked()
{
    if (!(preset_amount_ <= filled_amount_ || preset_volume_ <= filled_volume_))
        return;
    if (settings_.recalc_at_preset) {
        const BCD& price = unit_prices_[selected_nozzle_ - 1];
        if (preset_amount_ < filled_amount_) {
            filled_amount_ = BCD(kFilledWidth, filled_amount_.Decimals());
            filled_amount_ += preset_amount_;
            filled_volume_ = BCD::Divide(filled_amount_, price, kFilledWidth, filled_volume_.Decimals());
            real_filled_volume_ = filled_volume_.ToReal();
        } else if (preset_volume_ < filled_volume_) {
            filled_volume_ = BCD(kFilledWidth, filled_volume_.Decimals());
            filled_volume_ += preset_volume_;
            filled_amount_ = BCD::Multiply(filled_volume_, price, kFilledWidth, filled_amount_.Decimals());
            real_filled_volume_ = filled_volume_.ToReal();
        }
    }
    // Status 6 holds for the rest of this cycle (a filling's DC2 with the final figures follows);
    // the next cycle queues DC1: with status 5 when "FillingCompleteOnlyAfterNozzleReturned" is
    // off, else with status 6 every cycle until the nozzle is returned.
    SetStatusLocked(kStatusMaxReached);
    StopDeliveryLocked();
    CloseFillingLocked();
}

void Zarn_pump::StopDeliveryLocked()
{
    stopped_ = 1;
    flow_ = 0;
    delivery_clock_running_ = false;
}

void Zarn_pump::CloseFillingLocked()
{
    if (!filling_started_)
        return;
    if (selected_nozzle_ >= 1 && selected_nozzle_ <= kNozzleCount) {
        const int index = selected_nozzle_ - 1;
        volume_totals_[index] += filled_volume_;
        amount_totals_[index] += filled_amount_;
        fillings_[index] += BCD(kTotalWidth, 0, 1);
    }
    filling_completed_ = true;
    filling_started_ = false;
}

void Zarn_pump::SetStatusLocked(int status)
{
    status_ = status;
    const std::string text = ZarnStatusText(status);
    if (!text.empty()) {  // status 8 has no text of its own: the previous one stays on show
        status_text_ = text;
        short_status_text_ = ZarnShortStatusText(status);
    }
}

// ---------------------------------------------------------------------------------------------
// Commands from the controller

void Zarn_pump::ProcessBlockLocked(const Message& block)
{
    Transaction_reader reader(block, DecimalsLocked());
    try {
        while (!reader.AtEnd()) {
            ApplyCommandLocked(reader.Next(status_ != kStatusFilling));
            reader.SetDecimals(DecimalsLocked());
        }
    } catch (const Gallion_error& error) {
        RecordRxError(rx_errors_, error.what(), block, settings_.log_rx_errors, WallSeconds());
    }
}

Zarn_decimals Zarn_pump::DecimalsLocked() const
{
    Zarn_decimals decimals;
    decimals.volume = static_cast<uint8_t>(volume_decimals_);
    decimals.amount = static_cast<uint8_t>(amount_decimals_);
    decimals.price = static_cast<uint8_t>(price_decimals_);
    return decimals;
}

void Zarn_pump::ApplyCommandLocked(const Zarn_command& command)
{
    using Kind = Zarn_command::Kind;
    switch (command.kind) {
    case Kind::Cd1:
        ApplyCd1Locked(command.code);
        break;
    case Kind::Cd2:
        allowed_ = command.allowed;
        break;
    case Kind::Cd3:
        preset_volume_ = command.preset;
        break;
    case Kind::Cd4:
        preset_amount_ = command.preset;
        break;
    case Kind::Cd5:
        if (status_ == kStatusFilling)
            break;  // prices never change under a running filling
        for (size_t i = 0; i < command.prices.size() && i < unit_prices_.size(); ++i)
            unit_prices_[i] = command.prices[i];
        break;
    case Kind::Cd7:
        output_registers_[command.output_register] = command.output_value;
        break;
    case Kind::Cd9:
        if (command.decimals.volume != volume_decimals_ || command.decimals.amount != amount_decimals_ ||
            command.decimals.price != price_decimals_)
            ApplyDecimalsLocked(command.decimals.volume, command.decimals.amount, command.decimals.price);
        break;
    case Kind::Ignored:
        break;
    case Kind::Cd14:
        suspended_ = 1;
        delivery_clock_running_ = false;
        PostLocked(BuildDc14(address_));
        break;
    case Kind::Cd15:
        suspended_ = 0;
        PostLocked(BuildDc15(address_));
        break;
    case Kind::Cd101:
        QueueDc101Locked(command.code);
        break;
    }
}

void Zarn_pump::ApplyCd1Locked(uint8_t code)
{
    switch (code) {
    case kCd1ReturnStatus:
        QueueDc1Locked();
        QueueDc3Locked();
        if (alarm_code_ != 0)
            QueueDc5Locked();
        return;
    case kCd1ReturnParameters:
        PostLocked(BuildDc7(address_, DecimalsLocked()));
        return;
    case kCd1ReturnIdentity:
        PostLocked(BuildDc9(address_, identity_));
        return;
    case kCd1ReturnFillingInfo:
        QueueDc2Locked();
        QueueDc3Locked();
        return;
    case kCd1Reset:
        CloseFillingLocked();  // a started filling reaches the totals before it is cleared
        real_filled_volume_ = 0;
        filled_volume_.SetValue(0);
        filled_amount_.SetValue(0);
        preset_volume_.SetValue(preset_volume_.Largest());
        preset_amount_.SetValue(preset_amount_.Largest());
        alarm_code_ = 0;
        filling_completed_ = false;
        SetStatusLocked(kStatusReset);
        StopDeliveryLocked();
        break;
    case kCd1Authorize:
        SetStatusLocked(kStatusAuthorized);
        break;
    case kCd1Stop:
        if (!(settings_.filling_complete_only_after_nozzle_returned && status_ == kStatusFilling))
            SetStatusLocked(kStatusFillingCompleted);
        CloseFillingLocked();
        StopDeliveryLocked();
        break;
    case kCd1SwitchOff:
        CloseFillingLocked();
        SetStatusLocked(kStatusSwitchedOff);
        selected_nozzle_ = 0;
        StopDeliveryLocked();
        break;
    case kCd1Suspend:
        if (status_ != kStatusSuspended)  // a second Suspend keeps the status saved by the first
            saved_status_ = status_;
        SetStatusLocked(kStatusSuspended);
        delivery_clock_running_ = false;
        break;
    case kCd1Resume:
        if (status_ == kStatusSuspended)  // a Resume without a Suspend changes nothing
            SetStatusLocked(saved_status_);
        break;
    default:
        return;  // the reader lets only known codes through
    }
    QueueDc1Locked();
}

void Zarn_pump::ApplyDecimalsLocked(int volume_decimals, int amount_decimals, int price_decimals)
{
    volume_decimals_ = DecimalsOrDefault(volume_decimals);
    amount_decimals_ = DecimalsOrDefault(amount_decimals);
    price_decimals_ = DecimalsOrDefault(price_decimals);
    const auto volume = static_cast<uint8_t>(volume_decimals_);
    const auto amount = static_cast<uint8_t>(amount_decimals_);
    const auto price = static_cast<uint8_t>(price_decimals_);
    real_filled_volume_ = 0;
    filled_volume_ = BCD(kFilledWidth, volume);
    filled_amount_ = BCD(kFilledWidth, amount);
    // A cleared preset is "no preset" (the largest value, as after Reset): a preset of 0 would end
    // every delivery at its first step.
    preset_volume_ = BCD(kFilledWidth, volume);
    preset_volume_.SetValue(preset_volume_.Largest());
    preset_amount_ = BCD(kFilledWidth, amount);
    preset_amount_.SetValue(preset_amount_.Largest());
    filling_price_ = BCD(kPriceWidth, price);
    for (int i = 0; i < kNozzleCount; ++i) {
        unit_prices_[i] = BCD(kPriceWidth, price);
        volume_totals_[i] = BCD(kTotalWidth, volume);
        amount_totals_[i] = BCD(kTotalWidth, amount);
        fillings_[i] = BCD(kTotalWidth, 0);
    }
}

// ---------------------------------------------------------------------------------------------
// Replies

void Zarn_pump::PostLocked(std::unique_ptr<Message> reply)
{
    if (rubbish_count_ > 0) {
        --rubbish_count_;
        rx_errors_.CountOnly(line_.PostReply(BuildRubbish(address_, random_), /*standalone*/ true));
        return;
    }
    // A reply dropped because too many wait unacknowledged counts as a receive error.
    rx_errors_.CountOnly(line_.PostReply(std::move(reply)));
}

void Zarn_pump::QueueDc1Locked()
{
    PostLocked(BuildDc1(address_, status_));
}

void Zarn_pump::QueueDc2Locked()
{
    PostLocked(BuildDc2(address_, filled_volume_, filled_amount_));
}

void Zarn_pump::QueueDc3Locked()
{
    BCD price(kPriceWidth, static_cast<uint8_t>(price_decimals_));
    if (selected_nozzle_ >= 1 && selected_nozzle_ <= kNozzleCount)
        price = unit_prices_[selected_nozzle_ - 1];
    PostLocked(BuildDc3(address_, price, nozzle_out_, selected_nozzle_));
}

void Zarn_pump::QueueDc5Locked()
{
    PostLocked(BuildDc5(address_, alarm_code_));
}

void Zarn_pump::QueueDc101Locked(uint8_t counter)
{
    Nozzle_totals totals;
    totals.volume = volume_totals_;
    totals.amount = amount_totals_;
    totals.fillings = fillings_;
    totals.volume_decimals = static_cast<uint8_t>(volume_decimals_);
    totals.amount_decimals = static_cast<uint8_t>(amount_decimals_);
    PostLocked(BuildDc101(address_, counter, totals));
}

// ---------------------------------------------------------------------------------------------
// Operations of the operator, the panels and the automation

bool Zarn_pump::SelectNozzle(int nozzle)
{
    if (nozzle < 1 || nozzle > kNozzleCount)
        return false;
    std::lock_guard<std::mutex> lock(mutex_);
    // A running filling keeps its nozzle (also while it is authorised again or suspended).
    if (status_ == kStatusFilling || filling_started_)
        return false;
    selected_nozzle_ = static_cast<uint8_t>(nozzle);
    QueueDc3Locked();
    thread_.Wake();
    return allowed_[nozzle - 1];
}

void Zarn_pump::LiftNozzle()
{
    std::lock_guard<std::mutex> lock(mutex_);
    nozzle_out_ = kNozzleOutFlag;
    QueueDc3Locked();
    thread_.Wake();
}

void Zarn_pump::HangUpNozzle()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_ == 0) {
        SetStatusLocked(kStatusFillingCompleted);
        CloseFillingLocked();
        StopDeliveryLocked();
        QueueDc1Locked();
    } else if (settings_.filling_complete_only_after_nozzle_returned && filling_completed_) {
        SetStatusLocked(kStatusFillingCompleted);
        QueueDc1Locked();
    }
    nozzle_out_ = 0;
    selected_nozzle_ = 0;
    QueueDc3Locked();
    thread_.Wake();
}

void Zarn_pump::SetFlow(double litres_per_minute)
{
    if (!std::isfinite(litres_per_minute))
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_ == 0)
        flow_ = std::max(0.0, litres_per_minute);
    thread_.Wake();
}

void Zarn_pump::AdjustFlow(double delta)
{
    if (!std::isfinite(delta))
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_ == 0)
        flow_ = std::max(0.0, flow_ + delta);
    thread_.Wake();
}

void Zarn_pump::SetAlarmCode(uint8_t code)
{
    std::lock_guard<std::mutex> lock(mutex_);
    alarm_code_ = code;
    QueueDc5Locked();
    thread_.Wake();
}

void Zarn_pump::InjectError(int code, int value)
{
    if (IsAlarmCode(code)) {
        SetAlarmCode(static_cast<uint8_t>(code));
        return;
    }
    const int count = std::max(0, value);
    std::lock_guard<std::mutex> lock(mutex_);
    if (code >= 100 && code <= 102)
        line_.SetLinkError(code, count);
    else if (code == 103)
        rubbish_count_ = count;
    thread_.Wake();
}

// ---------------------------------------------------------------------------------------------
// Snapshots and accessors

void Zarn_pump::FillNozzleFlagsLocked(Zarn_pump_state& state) const
{
    state.nozzles.resize(kNozzleCount);
    for (int i = 0; i < kNozzleCount; ++i) {
        Nozzle_snapshot& nozzle = state.nozzles[i];
        nozzle.number = i + 1;
        nozzle.visible = visible_[i];
        nozzle.allowed = allowed_[i];
    }
}

void Zarn_pump::FillPanelPartLocked(Zarn_pump_state& state) const
{
    state.status = status_;
    state.short_status_text = short_status_text_;
    state.amount_text = filled_amount_.Text();
    state.volume_text = filled_volume_.Text();
    state.price_text = filling_price_.Text();
    state.nozzle_out = nozzle_out_ != 0;
    state.selected_nozzle = selected_nozzle_;
    FillNozzleFlagsLocked(state);
    state.online = online_;
}

bool Zarn_pump::GetState(Zarn_pump_state& state)
{
    if (thread_.Stopping()) {
        state = Zarn_pump_state();
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    FillPanelPartLocked(state);
    state.status_text = status_text_;
    state.stopped = stopped_;
    state.suspended = suspended_;
    state.preset_amount = preset_amount_.Text();
    state.preset_volume = preset_volume_.Text();
    for (int i = 0; i < kNozzleCount; ++i) {
        const bool shown = allowed_[i];
        Nozzle_snapshot& nozzle = state.nozzles[i];
        nozzle.price_text = shown ? unit_prices_[i].Text() : std::string();
        nozzle.volume_total_text = shown ? volume_totals_[i].Text() : std::string();
        nozzle.amount_total_text = shown ? amount_totals_[i].Text() : std::string();
        nozzle.fillings_text = shown ? fillings_[i].Text() : std::string();
    }
    state.flow = flow_;
    state.identity = identity_;
    state.rx_error_count = rx_errors_.Count();
    state.log_rx_errors = settings_.log_rx_errors;
    return true;
}

void Zarn_pump::GetPanelState(Zarn_pump_state& state)
{
    std::lock_guard<std::mutex> lock(mutex_);
    FillPanelPartLocked(state);
}

void Zarn_pump::GetNozzleFlags(Zarn_pump_state& state)
{
    std::lock_guard<std::mutex> lock(mutex_);
    FillNozzleFlagsLocked(state);
}

int Zarn_pump::GetStatus()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

std::array<uint8_t, 255> Zarn_pump::GetOutputRegisters()
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::array<uint8_t, 255> registers{};
    std::copy_n(output_registers_.begin(), registers.size(), registers.begin());
    return registers;
}

void Zarn_pump::SetVisibleNozzles(const std::array<bool, 15>& visible)
{
    std::lock_guard<std::mutex> lock(mutex_);
    visible_ = visible;
    thread_.Wake();
}

std::array<bool, 15> Zarn_pump::VisibleNozzles()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return visible_;
}

bool Zarn_pump::SetNozzleTotals(int nozzle, const BCD& volume_total, const BCD& amount_total, const BCD& fillings)
{
    if (nozzle < 1 || nozzle > kNozzleCount)
        return false;
    std::lock_guard<std::mutex> lock(mutex_);
    volume_totals_[nozzle - 1] = volume_total;
    amount_totals_[nozzle - 1] = amount_total;
    fillings_[nozzle - 1] = fillings;
    thread_.Wake();
    return true;
}

bool Zarn_pump::NozzleTotals(int nozzle, BCD& volume_total, BCD& amount_total, BCD& fillings)
{
    if (nozzle < 1 || nozzle > kNozzleCount)
        return false;
    std::lock_guard<std::mutex> lock(mutex_);
    volume_total = volume_totals_[nozzle - 1];
    amount_total = amount_totals_[nozzle - 1];
    fillings = fillings_[nozzle - 1];
    return true;
}

void Zarn_pump::SetIdentity(const std::array<uint8_t, 5>& identity)
{
    std::lock_guard<std::mutex> lock(mutex_);
    identity_ = identity;
    thread_.Wake();
}

std::array<uint8_t, 5> Zarn_pump::Identity()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return identity_;
}

int Zarn_pump::VolumeDecimals()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return volume_decimals_;
}

int Zarn_pump::AmountDecimals()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return amount_decimals_;
}

int Zarn_pump::PriceDecimals()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return price_decimals_;
}

void Zarn_pump::SetVolumeDecimals(int decimals)
{
    if (decimals < 0 || decimals > BCD::kMaxDecimals)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    volume_decimals_ = decimals;
    thread_.Wake();
}

void Zarn_pump::SetAmountDecimals(int decimals)
{
    if (decimals < 0 || decimals > BCD::kMaxDecimals)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    amount_decimals_ = decimals;
    thread_.Wake();
}

void Zarn_pump::SetPriceDecimals(int decimals)
{
    if (decimals < 0 || decimals > BCD::kMaxDecimals)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    price_decimals_ = decimals;
    thread_.Wake();
}

std::vector<std::string> Zarn_pump::RxErrorLines()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return rx_errors_.Lines();
}

std::vector<std::string> Zarn_pump::TakeRxErrorLines()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return rx_errors_.TakeLines();
}

int Zarn_pump::RxErrorCount()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return rx_errors_.Count();
}
