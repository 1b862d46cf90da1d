#include "currentloop/cl_pump.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/random_seed.h"

namespace {

constexpr uint8_t kStatusNormal = 0x40;
constexpr uint8_t kNoFillingNozzle = '8';

int64_t PowerOfTen(int exponent)
{
    int64_t value = 1;
    for (int i = 0; i < exponent; ++i)
        value *= 10;
    return value;
}

// A digit field as sent by the controller: the characters are not checked to be digits, each
// counts (character - '0') in its decimal place.
int64_t ReadDigits(const CL_Message& m, size_t first, size_t count)
{
    int64_t value = 0;
    for (size_t i = 0; i < count; ++i)
        value = value * 10 + (static_cast<int64_t>(m.bytes[first + i]) - '0');
    return value;
}

// A digit field for the reply. The most significant character holds the whole quotient, so a
// value too large for the field gives a character beyond '9' there (capped at 0xFF); values
// below zero are sent as zero.
void WriteDigits(CL_Message& m, size_t first, size_t count, int64_t value)
{
    if (value < 0)
        value = 0;
    int64_t place = PowerOfTen(static_cast<int>(count) - 1);
    const int64_t leading = std::min<int64_t>(value / place, 0xFF - '0');
    m.bytes[first] = static_cast<uint8_t>('0' + leading);
    for (size_t i = 1; i < count; ++i) {
        place /= 10;
        m.bytes[first + i] = static_cast<uint8_t>('0' + (value / place) % 10);
    }
}

int64_t CapUnits(int64_t units)
{
    if (units < 0)
        return 0;
    return std::min(units, CL_pump::kMaxUnits);
}

// A non-negative real figure in whole units, truncated, without leaving the unit range.
int64_t UnitsOfReal(double value)
{
    if (!(value > 0.0))
        return 0;
    if (value >= static_cast<double>(CL_pump::kMaxUnits))
        return CL_pump::kMaxUnits;
    return static_cast<int64_t>(value);
}

}  // namespace

bool CL_DecimalsValid(const CL_decimals& d)
{
    for (int value : {d.volume, d.amount, d.price, d.total_volume, d.total_amount, d.total_price}) {
        if (value < 0 || value > kCL_MaxDecimals)
            return false;
    }
    return true;
}

std::string CL_NumberText(int64_t value, int64_t multiplier)
{
    if (multiplier < 1)
        multiplier = 1;
    std::string text;
    uint64_t magnitude = static_cast<uint64_t>(value);
    if (value < 0) {
        text = "-";
        magnitude = 0 - magnitude;
    }
    const uint64_t m = static_cast<uint64_t>(multiplier);
    text += std::to_string(magnitude / m) + ".";
    uint64_t remainder = magnitude % m;
    for (uint64_t place = m / 10; place >= 1; place /= 10) {
        text += static_cast<char>('0' + remainder / place);
        remainder %= place;
    }
    return text;
}

CL_pump::CL_pump(uint8_t address, const Pump_settings& settings)
    : address_(address),
      settings_(settings),
      poll_timeout_(settings_.poll_timeout, &thread_),
      random_(RandomSeed(static_cast<uint32_t>(address) << 24))
{
    BuildReplyLocked(replies_[0]);
    BuildReplyLocked(replies_[1]);
}

CL_pump::~CL_pump()
{
    thread_.Stop();
}

void CL_pump::Start()
{
    if (thread_.Started())
        return;
    // The first reply already reflects what was set up before the start.
    Cycle();
    thread_.StartOnDemand([this] { return Cycle(); }, settings_.pump_sleep_ms);
}

void CL_pump::RunCycleForTest()
{
    Cycle();
}

int64_t CL_pump::Cycle()
{
    std::lock_guard<std::mutex> lock(mutex_);
    switch (state_) {
    case 'A':
        if (current_nozzle_ != 0) {
            nozzle_lifted_ = true;
            RecomputeUnitPriceLocked();
        }
        break;
    case 'C':
        if (current_nozzle_ != 0) {
            if (enabled_[current_nozzle_ - 1]) {
                if (!delivering_ && settings_.auto_flow)
                    flow_ = 40.0;
                delivering_ = true;
                nozzle_lifted_ = false;
            } else {
                StopDeliveringLocked();
            }
        }
        RecomputeUnitPriceLocked();
        if (delivering_) {
            FillingStepLocked();
            // A filling has begun once fuel flowed; it may already have reached its preset.
            if (state_ == 'L' || (state_ == 'C' && delivering_ && volume_ > 0.0)) {
                filling_pending_ = true;
                if (state_ == 'C')
                    state_ = 'D';
            }
        }
        break;
    case 'D':
        FillingStepLocked();
        break;
    default:
        break;
    }
    const bool timed_out = poll_timeout_.Expired();
    if (timed_out) {
        online_ = false;
        state_ = 'E';
        StopDeliveringLocked();
    } else {
        online_ = true;
    }
    BuildReplyLocked(replies_[current_reply_]);
    // Apart from a running delivery nothing changes by itself: messages and operations wake the
    // thread, and the poll time-out is its own moment.
    const int64_t until_deadline = poll_timeout_.SleepLimitMs(timed_out);
    if (state_ == 'D' || (state_ == 'C' && delivering_))
        return Pump_thread::Sooner(settings_.pump_sleep_ms, until_deadline);
    return until_deadline;
}

void CL_pump::StopDeliveringLocked()
{
    delivering_ = false;
    flow_ = 0.0;
    filling_clock_running_ = false;
    filling_clock_ = 0;
}

void CL_pump::FillingStepLocked()
{
    const uint32_t now = TickMs();
    if (status_byte_ != kStatusNormal) {
        state_ = 'E';
        StopDeliveringLocked();
        return;
    }
    if (filling_clock_running_) {
        // Unsigned difference: correct across the wrap of the tick.
        const uint32_t elapsed = now - filling_clock_;
        const double effective_flow = (throttled_ && flow_ > settings_.throttle_flow) ? settings_.throttle_flow : flow_;
        volume_ += static_cast<double>(elapsed) * effective_flow / 60000.0;
        volume_units_ = UnitsOfReal(volume_ * static_cast<double>(volume_multiplier_));
        amount_units_ = CapUnits(volume_units_ * unit_price_ / price_multiplier_);
        const int64_t compared = preset_is_volume_ ? volume_units_ : amount_units_;
        if (preset_ < compared) {
            nozzle_lifted_ = false;
            if (settings_.recalc_at_preset) {
                if (preset_is_volume_) {
                    volume_units_ = preset_;
                    amount_units_ = CapUnits(preset_ * unit_price_ / price_multiplier_);
                } else {
                    amount_units_ = preset_;
                    // The amount can only pass the preset at a positive price; the guard keeps
                    // the division defined whatever happens to the price.
                    if (unit_price_ > 0)
                        volume_units_ = CapUnits(preset_ * price_multiplier_ / unit_price_);
                }
                state_ = 'L';
                StopDeliveringLocked();
                return;
            }
        }
        if (preset_is_volume_)
            throttled_ = static_cast<double>(volume_units_) >
                         static_cast<double>(preset_) - static_cast<double>(volume_multiplier_) * settings_.throttle_volume;
        else
            throttled_ = static_cast<double>(amount_units_) >
                         static_cast<double>(preset_) - static_cast<double>(amount_multiplier_) * settings_.throttle_amount;
    }
    filling_clock_ = now;
    filling_clock_running_ = true;
}

void CL_pump::RecomputeUnitPriceLocked()
{
    if (current_nozzle_ < 1 || current_nozzle_ > 5) {
        unit_price_ = 0;
        return;
    }
    const size_t n = static_cast<size_t>(current_nozzle_ - 1);
    const int control = price_control_ - '0';
    int64_t price = base_price_[n];
    if (!(control & 1))
        price -= discount_[n];
    if (control & 2)
        price += surcharge_[n];
    if (control & 4)
        price += common_surcharge_;
    // Non-digit characters in the price fields can make the sum negative; no fuel is sold
    // below zero.
    unit_price_ = std::max<int64_t>(price, 0);
}

void CL_pump::BuildReplyLocked(CL_Message& reply) const
{
    reply.bytes.fill(0);
    reply.bytes[0] = cl_frame::kStx;
    reply.bytes[1] = cl_frame::kController;
    reply.bytes[2] = address_;
    reply.bytes[3] = 'P';
    reply.bytes[4] = '0';
    WriteDigits(reply, 5, 4, unit_price_);
    reply.bytes[9] = filling_nozzle_ >= 1 && filling_nozzle_ <= 5 ? static_cast<uint8_t>('0' + filling_nozzle_ - 1)
                                                                  : kNoFillingNozzle;
    WriteDigits(reply, 10, 6, volume_units_);
    WriteDigits(reply, 16, 6, amount_units_);
    char letter = state_;
    if ((state_ == 'E' || state_ == 'A') && nozzle_lifted_)
        ++letter;
    reply.bytes[22] = static_cast<uint8_t>(letter);
    reply.bytes[23] = status_byte_;
    reply.bytes[24] = ' ';
    reply.bytes[25] = nozzle_configuration_;
    reply.bytes[26] = reply_byte_26_;
    reply.bytes[27] = price_control_;
    reply.length = static_cast<uint8_t>(cl_frame::kLength);
    reply.bad_crc = false;
    reply.direction = 0;
    reply.tick = 0;
}

CL_Message* CL_pump::HandOutReplyLocked()
{
    CL_Message& out = replies_[current_reply_];
    current_reply_ ^= 1;
    // The other record starts from the same figures, so a second reply before the next cycle
    // does not carry older ones.
    replies_[current_reply_] = out;
    if (bad_crc_count_ > 0) {
        out.bad_crc = true;
        --bad_crc_count_;
    }
    if (random_data_count_ > 0) {
        std::uniform_int_distribution<int> byte(0, 254);
        for (size_t i = 5; i <= 27; ++i)
            out.bytes[i] = static_cast<uint8_t>(byte(random_));
        --random_data_count_;
    }
    return &out;
}

bool CL_pump::HasPositionLocked() const
{
    // Pumps 1 to 16 have a character of their own at indices 5 to 20; the frame has no place
    // for higher pump numbers, so such pumps take no price control or command from it.
    return address_ >= cl_frame::kFirstPumpAddress && address_ <= cl_frame::kFirstPumpAddress + 15;
}

size_t CL_pump::PositionLocked() const
{
    return static_cast<size_t>(address_) - 75;
}

CL_Message* CL_pump::HandleMessage(const CL_Message& received)
{
    std::lock_guard<std::mutex> lock(mutex_);
    CL_Message* reply = nullptr;
    bool changed = false;  // CB0 to CB2 always set something; CB3 only with a command or flags
    if (ignore_count_ > 0) {
        --ignore_count_;
    } else {
        try {
            switch (received.bytes[cl_frame::kType]) {
            case '0':
                changed = true;
                reply = HandleCb0Locked(received);
                break;
            case '1':
                changed = true;
                HandleCb1Locked(received);
                break;
            case '2':
                changed = true;
                HandleCb2Locked(received);
                break;
            case '3':
                reply = HandleCb3Locked(received, changed);
                break;
            default:
                throw Gallion_error("Unknown message type");
            }
        } catch (const Gallion_error& error) {
            RecordRxErrorLocked(error.what(), received);
            reply = nullptr;
        }
    }
    if (received.bytes[cl_frame::kDestination] == address_ || CL_ReplyAddress(received) == address_)
        poll_timeout_.Restart();  // wakes the thread when the pump was offline
    if (changed)
        thread_.Wake();  // its cycle rebuilds the reply record and goes on from the new state
    return reply;
}

void CL_pump::RecordRxErrorLocked(const std::string& text, const CL_Message& received)
{
    rx_errors_.Record(text, settings_.log_rx_errors ? CL_HexText(received) : std::string(), settings_.log_rx_errors, WallSeconds());
}

void CL_pump::ApplyFlagsByteLocked(uint8_t flags)
{
    for (size_t n = 0; n < 5; ++n)
        enabled_[n] = (flags & (1u << n)) == 0;
    preset_is_volume_ = (flags & 0x20) != 0;
}

CL_Message* CL_pump::HandleCb0Locked(const CL_Message& m)
{
    if (m.length != cl_frame::kLength || m.bytes[cl_frame::kType] != '0')
        throw Gallion_error("Invalid CB0 message");
    if (HasPositionLocked()) {
        const uint8_t control = m.bytes[PositionLocked()];
        if (control < '1' || control > '6')
            throw Gallion_error("Invalid price control bytes");
        price_control_ = control;
    }
    if (m.bytes[cl_frame::kCb0ReplyAddress] != address_)
        return nullptr;

    int64_t preset = 0;
    for (size_t i = 22; i <= 26; ++i)
        preset = preset * 10 + (m.bytes[i] & 0x0F);
    const int hundred_thousands = ((m.bytes[24] >> 6) << 2) | (m.bytes[23] >> 6);
    preset_ = preset + hundred_thousands * int64_t{100000};
    reply_byte_26_ = m.bytes[22] < 0x40 ? '2' : '0';
    ApplyFlagsByteLocked(m.bytes[27]);
    if (state_ == 'A')
        state_ = 'C';
    return HandOutReplyLocked();
}

void CL_pump::HandleCb1Locked(const CL_Message& m)
{
    if (m.length != cl_frame::kLength || m.bytes[cl_frame::kType] != '1')
        throw Gallion_error("Invalid CB1 message");
    for (size_t n = 0; n < 5; ++n)
        base_price_[n] = ReadDigits(m, 5 + 4 * n, 4);
}

void CL_pump::HandleCb2Locked(const CL_Message& m)
{
    if (m.length != cl_frame::kLength || m.bytes[cl_frame::kType] != '2')
        throw Gallion_error("Invalid CB2 message");
    for (size_t n = 0; n < 5; ++n) {
        surcharge_[n] = ReadDigits(m, 5 + 2 * n, 2);
        discount_[n] = ReadDigits(m, 15 + 2 * n, 2);
    }
    common_surcharge_ = ReadDigits(m, 25, 2);
}

CL_Message* CL_pump::HandleCb3Locked(const CL_Message& m, bool& changed)
{
    if (m.length != cl_frame::kLength || m.bytes[cl_frame::kType] != '3')
        throw Gallion_error("Invalid CB3 message");
    if (HasPositionLocked() && ApplyCommandLocked(m.bytes[PositionLocked()]))
        changed = true;
    if (m.bytes[22] == address_) {
        ApplyFlagsByteLocked(m.bytes[21]);
        changed = true;
    }
    if (m.bytes[cl_frame::kCb3ReplyAddress] != address_)
        return nullptr;
    if (filling_pending_ && replies_[current_reply_].bytes[22] == 'E')
        filling_pending_ = false;
    return HandOutReplyLocked();
}

bool CL_pump::ApplyCommandLocked(uint8_t command)
{
    switch (command) {
    case 'A':
        if (state_ != 'E' && state_ != 'A')
            return false;
        state_ = 'A';
        volume_ = 0.0;
        volume_units_ = 0;
        amount_units_ = 0;
        unit_price_ = 0;
        StopDeliveringLocked();
        status_byte_ = kStatusNormal;
        if (current_nozzle_ == 0)
            nozzle_lifted_ = false;
        filling_nozzle_ = current_nozzle_;
        filling_pending_ = false;
        return true;
    case 'C':
        if (state_ != 'A' && state_ != 'E' && state_ != 'L')
            return false;
        state_ = 'C';
        return true;
    case 'E':
        if (state_ != 'A' && state_ != 'C' && state_ != 'D' && state_ != 'L')
            return false;
        StopDeliveringLocked();
        state_ = 'E';
        filling_pending_ = false;
        return true;
    case 'G':
        StopDeliveringLocked();
        state_ = 'E';
        filling_pending_ = false;
        return true;
    case 'I':
        if (state_ != 'E')
            return false;
        volume_ = 0.0;
        volume_units_ = 0;
        amount_units_ = 0;
        unit_price_ = 0;
        StopDeliveringLocked();
        state_ = 'A';
        return true;
    default:
        return false;
    }
}

void CL_pump::LiftNozzle(int nozzle)
{
    if (nozzle < 1 || nozzle > 5)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!visible_[nozzle - 1] || filling_pending_)
        return;
    nozzle_lifted_ = true;
    current_nozzle_ = nozzle;
    filling_nozzle_ = nozzle;
    thread_.Wake();
}

void CL_pump::HangUpNozzle()
{
    std::lock_guard<std::mutex> lock(mutex_);
    nozzle_lifted_ = false;
    current_nozzle_ = 0;
    state_ = 'E';
    StopDeliveringLocked();
    thread_.Wake();
}

void CL_pump::SetFlow(double litres_per_minute)
{
    if (!std::isfinite(litres_per_minute))
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (delivering_)
        flow_ = std::max(0.0, litres_per_minute);
    thread_.Wake();
}

void CL_pump::AdjustFlow(double delta)
{
    if (!std::isfinite(delta))
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (delivering_)
        flow_ = std::max(0.0, flow_ + delta);
    thread_.Wake();
}

CL_pump_state CL_pump::GetState() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    CL_pump_state s;
    s.state = state_;
    s.nozzle_out = nozzle_lifted_;
    s.selected_nozzle = current_nozzle_;
    s.volume_text = CL_NumberText(volume_units_, volume_multiplier_);
    s.amount_text = CL_NumberText(amount_units_, amount_multiplier_);
    s.price_text = CL_NumberText(unit_price_, price_multiplier_);
    s.preset_text = CL_NumberText(preset_, volume_multiplier_);
    s.nozzles.resize(5);
    for (size_t n = 0; n < 5; ++n) {
        Nozzle_snapshot& nozzle = s.nozzles[n];
        nozzle.number = static_cast<int>(n) + 1;
        nozzle.visible = visible_[n];
        nozzle.allowed = enabled_[n];
        nozzle.price_text = CL_NumberText(base_price_[n], price_multiplier_);
    }
    s.preset_is_volume = preset_is_volume_;
    s.flow = flow_;
    s.online = online_;
    s.rx_error_count = rx_errors_.Count();
    s.log_rx_errors = settings_.log_rx_errors;
    return s;
}

char CL_pump::GetStatus() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

CL_nozzle_flags CL_pump::GetNozzleFlags() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return CL_nozzle_flags{enabled_, visible_};
}

void CL_pump::SetVisibleNozzles(const std::array<bool, 5>& visible)
{
    std::lock_guard<std::mutex> lock(mutex_);
    visible_ = visible;
    nozzle_configuration_ = 0x60;
    thread_.Wake();
}

std::array<bool, 5> CL_pump::VisibleNozzles() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return visible_;
}

void CL_pump::InjectError(int code, int count)
{
    count = std::max(0, count);
    std::lock_guard<std::mutex> lock(mutex_);
    switch (code) {
    case cl_error::kDoublePulse:
    case cl_error::kPulserCurrent:
    case cl_error::kCommunication:
    case cl_error::kCpuReset:
        status_byte_ = static_cast<uint8_t>(kStatusNormal + code);
        break;
    case cl_error::kBadCrc:
        bad_crc_count_ = count;
        break;
    case cl_error::kRandomData:
        random_data_count_ = count;
        break;
    case cl_error::kNoAnswer:
        ignore_count_ = count;
        break;
    default:
        break;
    }
    thread_.Wake();
}

bool CL_pump::SetDecimals(const CL_decimals& decimals)
{
    if (!CL_DecimalsValid(decimals))
        return false;
    std::lock_guard<std::mutex> lock(mutex_);
    volume_multiplier_ = PowerOfTen(decimals.volume);
    amount_multiplier_ = PowerOfTen(decimals.amount);
    price_multiplier_ = PowerOfTen(decimals.price);
    thread_.Wake();
    return true;
}

int32_t CL_pump::RxErrorCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return rx_errors_.Count();
}

std::vector<std::string> CL_pump::RxErrorLines() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return rx_errors_.Lines();
}

std::vector<std::string> CL_pump::TakeRxErrorLines()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return rx_errors_.TakeLines();
}

int CL_pump::CurrentReplyIndex() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return current_reply_;
}
