#include "config/configuration.h"

#include <algorithm>

#include "platform/error.h"

const char* const kNotValidConfigurationText =
    "Not a valid configuration file.\nMaybe is the configuration file created by an\nolder version of the program ";
const char* const kNotValidBcdText = "Not valid BCD data";

namespace {

constexpr std::array<uint8_t, 7> kHeader{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x78};
constexpr std::array<uint8_t, 4> kTrailer{0xFF, 0xFF, 0xFF, 0xFF};

// Pump-number limits of the two protocols: first and last within [1, max_number], and at most
// max_slots pumps (last - first < max_slots).
struct Loop_limits {
    int max_number;
    int max_slots;
};
constexpr Loop_limits kZarnLimits{32, 16};
constexpr Loop_limits kCLLimits{15, 8};
constexpr int kMaxAutomationLevel = 3;

// ---------------------------------------------------------------------------------------------
// Writing

class Writer {
public:
    void Byte(uint8_t value) { bytes_.push_back(value); }
    void Flag(bool value) { Byte(value ? 1 : 0); }

    void Count(size_t count, const char* what)
    {
        if (count > 255)
            throw Gallion_error(std::string("Too many ") + what + " for a configuration file");
        Byte(static_cast<uint8_t>(count));
    }

    void Text(const std::string& text)
    {
        if (text.find('\0') != std::string::npos)
            throw Gallion_error("A port name with a zero byte cannot be saved");
        bytes_.insert(bytes_.end(), text.begin(), text.end());
        Byte(0);
    }

    void Bcd(const Bcd_field& field)
    {
        Byte(kBcdFieldBytes);
        Byte(field.decimals);
        bytes_.insert(bytes_.end(), field.packed.begin(), field.packed.end());
    }

    template <size_t N>
    void Bytes(const std::array<uint8_t, N>& values)
    {
        bytes_.insert(bytes_.end(), values.begin(), values.end());
    }

    template <size_t N>
    void Flags(const std::array<bool, N>& values)
    {
        for (bool value : values)
            Flag(value);
    }

    std::vector<uint8_t> Take() { return std::move(bytes_); }

private:
    std::vector<uint8_t> bytes_;
};

void WriteAutomationsAndFeed(Writer& out, const std::vector<Automation_record>& automations, const Feed_record& feed)
{
    out.Count(automations.size(), "automations");
    for (const Automation_record& automation : automations) {
        out.Byte(automation.slot);
        out.Byte(automation.level);
    }
    out.Flag(feed.on);
    out.Byte(feed.filter_address);
    out.Flag(feed.interpreted);
}

void WriteZarnLoop(Writer& out, const Zarn_loop_record& loop)
{
    out.Byte(loop.first);
    out.Byte(loop.last);
    out.Text(loop.port_name);
    out.Flag(loop.spy);
    out.Byte(loop.volume_decimals);
    out.Byte(loop.amount_decimals);
    out.Byte(loop.price_decimals);
    out.Count(loop.pumps.size(), "pumps");
    for (const Zarn_pump_record& pump : loop.pumps) {
        out.Byte(pump.slot);
        out.Bcd(pump.identity);
        out.Flags(pump.visible);
        for (const Totals_triple& totals : pump.totals) {
            out.Bcd(totals.volume);
            out.Bcd(totals.amount);
            out.Bcd(totals.fillings);
        }
        out.Flag(pump.connected);
    }
    WriteAutomationsAndFeed(out, loop.automations, loop.feed);
}

void WriteCLLoop(Writer& out, const CL_loop_record& loop)
{
    out.Byte(loop.first);
    out.Byte(loop.last);
    out.Text(loop.port_name);
    out.Flag(loop.spy);
    out.Bytes(loop.decimals);
    out.Count(loop.pumps.size(), "pumps");
    for (const CL_pump_record& pump : loop.pumps) {
        out.Byte(pump.slot);
        out.Flags(pump.visible);
        out.Flag(pump.connected);
    }
    WriteAutomationsAndFeed(out, loop.automations, loop.feed);
}

// ---------------------------------------------------------------------------------------------
// Reading

// The data ended before the record did.
struct Data_ended {};

// Hands out the bytes of the file one by one; asking past the end raises Data_ended, so no read
// ever leaves the data.
class Reader {
public:
    explicit Reader(const std::vector<uint8_t>& data) : data_(data) {}

    uint8_t Byte()
    {
        if (position_ >= data_.size())
            throw Data_ended{};
        return data_[position_++];
    }

    bool Flag() { return Byte() != 0; }

    // Bytes up to the zero byte, which ends the text and is not part of it.
    std::string Text()
    {
        std::string text;
        for (uint8_t c = Byte(); c != 0; c = Byte())
            text.push_back(static_cast<char>(c));
        return text;
    }

    // A BCD field as it stands. The size byte is always 5 in a file of this format and is not
    // relied on: five data bytes follow the decimals byte whatever it says.
    Bcd_field RawBcd()
    {
        Byte();
        Bcd_field field;
        field.decimals = Byte();
        for (uint8_t& byte : field.packed)
            byte = Byte();
        return field;
    }

    // A BCD field that holds a number: decimal digits only and decimals 0 to 8.
    Bcd_field Bcd()
    {
        const Bcd_field field = RawBcd();
        if (!BcdFieldValid(field))
            throw Gallion_error(kNotValidBcdText);
        return field;
    }

    template <size_t N>
    void Flags(std::array<bool, N>& values)
    {
        for (bool& value : values)
            value = Flag();
    }

private:
    const std::vector<uint8_t>& data_;
    size_t position_ = 0;
};

void RequireValid(bool condition)
{
    if (!condition)
        throw Gallion_error(kNotValidConfigurationText);
}

void RequireDecimals(uint8_t decimals)
{
    if (decimals > kMaxFileDecimals)
        throw Gallion_error(kNotValidBcdText);
}

void CheckRange(uint8_t first, uint8_t last, const std::string& port_name, Loop_limits limits)
{
    RequireValid(!port_name.empty());
    RequireValid(first >= 1 && first <= limits.max_number);
    RequireValid(last >= first && last <= limits.max_number);
    RequireValid(last - first < limits.max_slots);
}

// A slot of the loop that comes after `previous` (-1 before the first).
void CheckSlot(uint8_t slot, int previous, uint8_t first, uint8_t last)
{
    RequireValid(slot <= last - first);
    RequireValid(slot > previous);
}

// The automation entries and the feed settings, which end both kinds of record.
void ReadAutomationsAndFeed(Reader& in, uint8_t first, uint8_t last, std::vector<Automation_record>& automations,
                            Feed_record& feed)
{
    const int count = in.Byte();
    int previous = -1;
    for (int i = 0; i < count; ++i) {
        Automation_record automation;
        automation.slot = in.Byte();
        automation.level = in.Byte();
        CheckSlot(automation.slot, previous, first, last);
        RequireValid(automation.level >= 1 && automation.level <= kMaxAutomationLevel);
        previous = automation.slot;
        automations.push_back(automation);
    }
    feed.on = in.Flag();
    feed.filter_address = in.Byte();
    feed.interpreted = in.Flag();
}

Zarn_loop_record ReadZarnLoop(Reader& in)
{
    Zarn_loop_record loop;
    loop.first = in.Byte();
    loop.last = in.Byte();
    loop.port_name = in.Text();
    loop.spy = in.Flag();
    loop.volume_decimals = in.Byte();
    loop.amount_decimals = in.Byte();
    loop.price_decimals = in.Byte();
    CheckRange(loop.first, loop.last, loop.port_name, kZarnLimits);
    RequireDecimals(loop.volume_decimals);
    RequireDecimals(loop.amount_decimals);
    RequireDecimals(loop.price_decimals);

    const int count = in.Byte();
    int previous = -1;
    for (int i = 0; i < count; ++i) {
        Zarn_pump_record pump;
        pump.slot = in.Byte();
        CheckSlot(pump.slot, previous, loop.first, loop.last);
        previous = pump.slot;
        // Only the identity's third byte is used (it tells the kind of pump), so its digits are
        // not checked: a pump may carry any identity bytes and its file must still load.
        pump.identity = in.RawBcd();
        in.Flags(pump.visible);
        for (Totals_triple& totals : pump.totals) {
            totals.volume = in.Bcd();
            totals.amount = in.Bcd();
            totals.fillings = in.Bcd();
        }
        pump.connected = in.Flag();
        loop.pumps.push_back(pump);
    }
    ReadAutomationsAndFeed(in, loop.first, loop.last, loop.automations, loop.feed);
    return loop;
}

CL_loop_record ReadCLLoop(Reader& in)
{
    CL_loop_record loop;
    loop.first = in.Byte();
    loop.last = in.Byte();
    loop.port_name = in.Text();
    loop.spy = in.Flag();
    for (uint8_t& decimals : loop.decimals)
        decimals = in.Byte();
    CheckRange(loop.first, loop.last, loop.port_name, kCLLimits);
    for (uint8_t decimals : loop.decimals)
        RequireDecimals(decimals);

    const int count = in.Byte();
    int previous = -1;
    for (int i = 0; i < count; ++i) {
        CL_pump_record pump;
        pump.slot = in.Byte();
        CheckSlot(pump.slot, previous, loop.first, loop.last);
        previous = pump.slot;
        in.Flags(pump.visible);
        pump.connected = in.Flag();
        loop.pumps.push_back(pump);
    }
    ReadAutomationsAndFeed(in, loop.first, loop.last, loop.automations, loop.feed);
    return loop;
}

bool ReadHeader(Reader& in)
{
    for (uint8_t expected : kHeader) {
        if (in.Byte() != expected)
            return false;
    }
    return true;
}

// Reads the header and the entries; records complete loops into `result` and stops at the
// first problem.
void ReadFile(Reader& in, Decode_result& result)
{
    try {
        if (!ReadHeader(in)) {
            result.error = kNotValidConfigurationText;
            return;
        }
        const int count = in.Byte();
        for (int i = 0; i < count; ++i) {
            const uint8_t type = in.Byte();
            if (type == kZarnLoopType)
                result.configuration.loops.push_back(ReadZarnLoop(in));
            else if (type == kCurrentLoopType)
                result.configuration.loops.push_back(ReadCLLoop(in));
        }
    } catch (const Data_ended&) {
        result.error = kNotValidConfigurationText;
    } catch (const Gallion_error& error) {
        result.error = error.what();
    }
}

}  // namespace

Bcd_field MakeBcdField(uint64_t value, uint8_t decimals)
{
    Bcd_field field;
    field.decimals = decimals;
    for (int i = kBcdFieldBytes - 1; i >= 0; --i) {
        const uint8_t low = value % 10;
        value /= 10;
        const uint8_t high = value % 10;
        value /= 10;
        field.packed[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return field;
}

bool BcdFieldValid(const Bcd_field& field)
{
    if (field.decimals > kMaxFileDecimals)
        return false;
    return std::all_of(field.packed.begin(), field.packed.end(),
                       [](uint8_t byte) { return (byte >> 4) <= 9 && (byte & 0x0F) <= 9; });
}

uint64_t BcdFieldValueAt(const Bcd_field& field, uint8_t decimals)
{
    uint64_t value = 0;
    for (uint8_t byte : field.packed)
        value = value * 100 + (byte >> 4) * 10 + (byte & 0x0F);
    for (int d = field.decimals; d < decimals; ++d)
        value *= 10;
    for (int d = field.decimals; d > decimals; --d)
        value /= 10;
    return value;
}

std::vector<uint8_t> EncodeConfiguration(const Configuration& configuration)
{
    Writer out;
    out.Bytes(kHeader);
    out.Count(configuration.loops.size(), "loops");
    for (const Loop_record& loop : configuration.loops) {
        if (const auto* zarn = std::get_if<Zarn_loop_record>(&loop)) {
            out.Byte(kZarnLoopType);
            WriteZarnLoop(out, *zarn);
        } else {
            out.Byte(kCurrentLoopType);
            WriteCLLoop(out, std::get<CL_loop_record>(loop));
        }
    }
    out.Bytes(kTrailer);
    return out.Take();
}

Decode_result DecodeConfiguration(const std::vector<uint8_t>& data)
{
    Decode_result result;
    Reader in(data);
    ReadFile(in, result);
    return result;
}
