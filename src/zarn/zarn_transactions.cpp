#include "zarn/zarn_transactions.h"

#include <algorithm>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/text.h"

namespace {

constexpr uint8_t kCd1 = 1, kCd2 = 2, kCd3 = 3, kCd4 = 4, kCd5 = 5, kCd7 = 7, kCd9 = 9;
constexpr uint8_t kIgnoredTrans = 13, kCd14 = 14, kCd15 = 15, kCd101 = 101;

constexpr size_t kCd9Length = 51;
constexpr size_t kDecimalsOffset = 22;  // volume, amount, price decimals in CD9 / DC7 data
constexpr size_t kMaxPriceLength = 45;  // 15 prices of 3 bytes
constexpr size_t kDc101Length = 1 + 3 * kTotalWidth;

bool KnownCd1Code(uint8_t code)
{
    switch (code) {
    case kCd1ReturnStatus:
    case kCd1ReturnParameters:
    case kCd1ReturnIdentity:
    case kCd1ReturnFillingInfo:
    case kCd1Reset:
    case kCd1Authorize:
    case kCd1Stop:
    case kCd1SwitchOff:
    case kCd1Suspend:
    case kCd1Resume:
        return true;
    default:
        return false;
    }
}

[[noreturn]] void Malformed(uint8_t trans)
{
    throw Gallion_error(MalformedText(trans));
}

// A reply block holding ADR, a CTRL placeholder and one transaction header; the caller writes
// `data_length` data bytes from Data().
class Reply_builder {
public:
    Reply_builder(uint8_t address, uint8_t trans, uint8_t data_length) : block_(std::make_unique<Message>())
    {
        block_->direction = 1;
        block_->bytes[0] = address;
        block_->bytes[1] = 0;
        block_->bytes[2] = trans;
        block_->bytes[3] = data_length;
        block_->length = static_cast<uint16_t>(4 + data_length);
    }
    uint8_t* Data() { return &block_->bytes[4]; }
    std::unique_ptr<Message> Finish() { return std::move(block_); }

private:
    std::unique_ptr<Message> block_;
};

}  // namespace

std::string MalformedText(uint8_t trans)
{
    switch (trans) {
    case kCd1: return "CD1 Command to pump";
    case kCd2: return "CD2 Allowed nozzles";
    case kCd3: return "CD3 Preset volume";
    case kCd4: return "CD4 Preset amount";
    case kCd5: return "CD5 Price update";
    case kCd7: return "CD7 Command to output";
    case kCd9: return "CD9 Set pump parameters";
    case kCd14: return "CD14 Suspend request";
    case kCd15: return "CD15 Resume request";
    case kCd101: return "CD101 Request Volume Total Counters";
    default: return "Unknown transaction type";
    }
}

Transaction_reader::Transaction_reader(const Message& block, const Zarn_decimals& decimals)
    : bytes_(block.bytes.data()), length_(std::min<size_t>(block.length, block.bytes.size())), decimals_(decimals)
{
}

Zarn_command Transaction_reader::Next(bool decode_prices)
{
    const uint8_t trans = bytes_[position_];
    // The LNG byte and all LNG data bytes must lie inside the block.
    if (position_ + 2 > length_)
        Malformed(trans);
    const size_t lng = bytes_[position_ + 1];
    if (position_ + 2 + lng > length_)
        Malformed(trans);
    const uint8_t* data = bytes_ + position_ + 2;
    position_ += 2 + lng;

    Zarn_command command;
    switch (trans) {
    case kCd1:
        if (lng != 1)
            Malformed(trans);
        if (!KnownCd1Code(data[0]))
            throw Gallion_error("CD1 Unknown command");
        command.kind = Zarn_command::Kind::Cd1;
        command.code = data[0];
        break;
    case kCd2:
        if (lng >= kNozzleCount)
            Malformed(trans);
        for (size_t i = 0; i < lng; ++i) {
            if (data[i] == 0 || data[i] >= kNozzleCount)
                Malformed(trans);
            command.allowed[data[i] - 1] = true;
        }
        command.kind = Zarn_command::Kind::Cd2;
        break;
    case kCd3:
    case kCd4:
        if (lng != kFilledWidth)
            Malformed(trans);
        command.kind = trans == kCd3 ? Zarn_command::Kind::Cd3 : Zarn_command::Kind::Cd4;
        command.preset = BCD::Unpack(data, kFilledWidth, trans == kCd3 ? decimals_.volume : decimals_.amount);
        break;
    case kCd5:
        if (lng % kPriceWidth != 0 || lng > kMaxPriceLength)
            Malformed(trans);
        command.kind = Zarn_command::Kind::Cd5;
        if (decode_prices) {
            for (size_t i = 0; i < lng; i += kPriceWidth)
                command.prices.push_back(BCD::Unpack(data + i, kPriceWidth, decimals_.price));
        }
        break;
    case kCd7:
        if (lng != 2)
            Malformed(trans);
        command.kind = Zarn_command::Kind::Cd7;
        command.output_register = data[0];
        command.output_value = data[1];
        break;
    case kCd9:
        if (lng != kCd9Length)
            Malformed(trans);
        for (size_t i = kDecimalsOffset; i < kDecimalsOffset + 3; ++i) {
            if (data[i] > BCD::kMaxDecimals)
                Malformed(trans);
        }
        command.kind = Zarn_command::Kind::Cd9;
        command.decimals.volume = data[kDecimalsOffset];
        command.decimals.amount = data[kDecimalsOffset + 1];
        command.decimals.price = data[kDecimalsOffset + 2];
        break;
    case kIgnoredTrans:
        command.kind = Zarn_command::Kind::Ignored;
        break;
    case kCd14:
    case kCd15:
    case kCd101:
        if (lng != 1)
            Malformed(trans);
        command.kind = trans == kCd14   ? Zarn_command::Kind::Cd14
                       : trans == kCd15 ? Zarn_command::Kind::Cd15
                                        : Zarn_command::Kind::Cd101;
        command.code = data[0];
        break;
    default:
        Malformed(trans);
    }
    return command;
}

std::unique_ptr<Message> BuildDc1(uint8_t address, int status)
{
    Reply_builder reply(address, 1, 1);
    reply.Data()[0] = static_cast<uint8_t>(status);
    return reply.Finish();
}

std::unique_ptr<Message> BuildDc2(uint8_t address, const BCD& filled_volume, const BCD& filled_amount)
{
    Reply_builder reply(address, 2, 2 * kFilledWidth);
    filled_volume.PackTo(reply.Data(), kFilledWidth);
    filled_amount.PackTo(reply.Data() + kFilledWidth, kFilledWidth);
    return reply.Finish();
}

std::unique_ptr<Message> BuildDc3(uint8_t address, const BCD& price, uint8_t nozzle_out, uint8_t selected_nozzle)
{
    Reply_builder reply(address, 3, kPriceWidth + 1);
    price.PackTo(reply.Data(), kPriceWidth);
    reply.Data()[kPriceWidth] = static_cast<uint8_t>((nozzle_out ? 0x10 : 0) | (selected_nozzle & 0x0F));
    return reply.Finish();
}

std::unique_ptr<Message> BuildDc5(uint8_t address, uint8_t alarm_code)
{
    Reply_builder reply(address, 5, 1);
    reply.Data()[0] = alarm_code;
    return reply.Finish();
}

std::unique_ptr<Message> BuildDc7(uint8_t address, const Zarn_decimals& decimals)
{
    Reply_builder reply(address, 7, kCd9Length);
    std::fill_n(reply.Data(), kCd9Length, 0);
    reply.Data()[kDecimalsOffset] = decimals.volume;
    reply.Data()[kDecimalsOffset + 1] = decimals.amount;
    reply.Data()[kDecimalsOffset + 2] = decimals.price;
    return reply.Finish();
}

std::unique_ptr<Message> BuildDc9(uint8_t address, const std::array<uint8_t, kIdentityWidth>& identity)
{
    Reply_builder reply(address, 9, kIdentityWidth);
    std::copy(identity.begin(), identity.end(), reply.Data());
    return reply.Finish();
}

std::unique_ptr<Message> BuildDc14(uint8_t address)
{
    Reply_builder reply(address, 14, 1);
    reply.Data()[0] = 0;
    return reply.Finish();
}

std::unique_ptr<Message> BuildDc15(uint8_t address)
{
    Reply_builder reply(address, 15, 1);
    reply.Data()[0] = 0;
    return reply.Finish();
}

namespace {

// The three DC101 fields of one counter number; all 0 for numbers without a counter.
struct Dc101_fields {
    BCD a{kTotalWidth, 0};
    BCD b{kTotalWidth, 0};
};

BCD SumOfFirstEight(const std::array<BCD, kNozzleCount>& counters, uint8_t decimals)
{
    BCD sum(kTotalWidth, decimals);
    for (int i = 0; i < 8; ++i)
        sum += counters[i];
    return sum;
}

Dc101_fields CounterFields(uint8_t counter, const Nozzle_totals& totals)
{
    Dc101_fields fields;
    if (counter >= 1 && counter <= 8) {
        fields.a = totals.volume[counter - 1];
        fields.b = totals.volume[counter - 1];
    } else if (counter == 9) {
        fields.a = SumOfFirstEight(totals.volume, totals.volume_decimals);
    } else if (counter >= 10 && counter <= 16) {
        fields.a = totals.volume[counter - 2];  // nozzles 9-15
        fields.b = totals.amount[counter - 2];
    } else if (counter >= 17 && counter <= 24) {
        fields.a = totals.amount[counter - 17];  // nozzles 1-8
        fields.b = totals.fillings[counter - 17];
    } else if (counter == 25) {
        fields.a = SumOfFirstEight(totals.amount, totals.amount_decimals);
        fields.b = SumOfFirstEight(totals.fillings, 0);
    }
    return fields;
}

}  // namespace

std::unique_ptr<Message> BuildDc101(uint8_t address, uint8_t counter, const Nozzle_totals& totals)
{
    Reply_builder reply(address, 101, kDc101Length);
    const Dc101_fields fields = CounterFields(counter, totals);
    uint8_t* data = reply.Data();
    data[0] = counter;
    fields.a.PackTo(data + 1, kTotalWidth);
    fields.b.PackTo(data + 1 + kTotalWidth, kTotalWidth);
    std::fill_n(data + 1 + 2 * kTotalWidth, kTotalWidth, 0);
    return reply.Finish();
}

std::unique_ptr<Message> BuildRubbish(uint8_t address, std::mt19937& random)
{
    auto block = std::make_unique<Message>();
    block->direction = 1;
    block->bytes[0] = address;
    block->bytes[1] = 0;
    std::uniform_int_distribution<int> count_of(0, 29);
    std::uniform_int_distribution<int> byte_of(0, 254);
    const int count = count_of(random);
    for (int i = 0; i < count; ++i)
        block->bytes[2 + i] = static_cast<uint8_t>(byte_of(random));
    block->length = static_cast<uint16_t>(2 + count);
    block->transaction_count = count > 0 ? 1 : 0;
    return block;
}

void RecordRxError(Rx_error_record& record, const std::string& text, const Message& block, bool list, std::time_t now)
{
    const size_t length = std::min<size_t>(block.length, block.bytes.size());
    record.Record(text, list ? HexText(block.bytes.data(), length) : std::string(), list, now);
}
