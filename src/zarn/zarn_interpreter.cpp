#include "zarn/zarn_interpreter.h"

#include <algorithm>

#include "engine/pump_address.h"
#include "platform/text.h"

namespace {

constexpr size_t kCrcAndEtx = 3;   // CRC low, CRC high, ETX at the end of a stored DATA block
constexpr size_t kFirstTrans = 2;  // transactions start after ADR and CTRL

const char kUpperHexDigits[] = "0123456789ABCDEF";

std::string HexDigit(unsigned value)
{
    return std::string(1, kUpperHexDigits[value & 0x0F]);
}

std::string HexByte(unsigned value)
{
    return HexDigit(value >> 4) + HexDigit(value);
}

// One transaction as found in a block: its code, its data bytes and their count. Only made when
// all the data bytes lie inside the transaction area.
struct Transaction {
    uint8_t code;
    uint8_t lng;
    const uint8_t* data;
};

std::string UnableText(const uint8_t* bytes, size_t length)
{
    return "<Unable to interpret transaction " + ZarnHexText(bytes, length) + ">";
}

std::string CommandCd1Text(uint8_t command)
{
    switch (command) {
    case 0: return "<CD1 Return status>";
    case 2: return "<CD1 Return pump parameters>";
    case 3: return "<CD1 Return pump identity>";
    case 4: return "<CD1 Return filling information>";
    case 5: return "<CD1 Reset>";
    case 6: return "<CD1 Authorize>";
    case 8: return "<CD1 Stop>";
    case 10: return "<CD1 Switch off>";
    case 13: return "<CD1 Suspend>";
    case 14: return "<CD1 Resume>";
    default: return "";
    }
}

std::string CounterNumberText(uint8_t counter)
{
    return HexByte(counter) + ">";
}

// The text of one master command; false when the transaction cannot be read as one.
bool CommandText(const Transaction& t, std::string& text)
{
    switch (t.code) {
    case 1:
        if (t.lng < 1)
            return false;
        text = CommandCd1Text(t.data[0]);
        return true;
    case 2:
        text = "<CD2 Allowed nozzles";
        for (size_t i = 0; i < t.lng; ++i)
            text += " " + std::to_string(t.data[i]);
        text += ">";
        return true;
    case 3: text = "<CD3 Preset volume>"; return true;
    case 4: text = "<CD4 Preset amount>"; return true;
    case 5: text = "<CD5 Price update>"; return true;
    case 7: text = "<CD7 Command to output>"; return true;
    case 9: text = "<CD9 Set pump parameters>"; return true;
    case 13: text.clear(); return true;
    case 14: text = "<CD14 Suspend request>"; return true;
    case 15: text = "<CD15 Resume request>"; return true;
    case 101:
        if (t.lng < 1)
            return false;
        text = t.data[0] <= 9 ? "<CD101 Request Volume Total Counter "
                              : "<CD101 Request Amount Total Counter ";
        text += CounterNumberText(t.data[0]);
        return true;
    default:
        return false;
    }
}

std::string StatusDc1Text(uint8_t status)
{
    switch (status) {
    case 0: return "<DC1: Pump not programmed>";
    case 1: return "<DC1: Reset>";
    case 2: return "<DC1: Authorized>";
    case 4: return "<DC1: Filling>";
    case 5: return "<DC1: Filling completed>";
    case 6: return "<DC1: Max am/vol reached>";
    case 7: return "<DC1: Switched off>";
    case 8: return "<DC1: Suspended>";
    default: return "";
    }
}

// The LNG each pump reply must carry to be read; -1 for a code that has no words.
int ExpectedReplyLength(uint8_t code)
{
    switch (code) {
    case 1: return 1;
    case 2: return 8;
    case 3: return 4;
    case 5: return 1;
    case 7: return 51;
    case 9: return 5;
    case 14: return 1;
    case 15: return 1;
    case 101: return 16;
    default: return -1;
    }
}

// The text of one pump reply; false when the transaction cannot be read as one.
bool ReplyText(const Transaction& t, std::string& text)
{
    if (ExpectedReplyLength(t.code) != t.lng)
        return false;
    switch (t.code) {
    case 1: text = StatusDc1Text(t.data[0]); return true;
    case 2: text = "<DC2 Filled vol&amt>"; return true;
    case 3: {
        const uint8_t nozzle_byte = t.data[3];  // after the 3-byte unit price
        text = "<DC3 Nozzle " + HexDigit(nozzle_byte) + ((nozzle_byte & 0x10) ? " out>" : " in>");
        return true;
    }
    case 5: text = "<DC5 Alarm Code " + ZarnAlarmText(t.data[0]); return true;
    case 7: text = "<Pump parameters>"; return true;
    case 9: text = "<Pump identity>"; return true;
    case 14: text = "<DC14 Suspend reply>"; return true;
    case 15: text = "<DC15 Resume reply>"; return true;
    case 101:
        text = t.data[0] <= 9 ? "<DC101 Volume Total Counter " : "<DC101 Amount Total Counter ";
        text += CounterNumberText(t.data[0]);
        return true;
    default:
        return false;
    }
}

// The transactions of a DATA block, appended one after the other. The transaction area ends
// before the CRC and ETX; a transaction whose header or data would cross that end is unreadable.
std::string TransactionsText(const uint8_t* bytes, size_t length, int direction)
{
    const size_t area_end = length - kCrcAndEtx;
    std::string text;
    size_t pos = kFirstTrans;
    while (pos < area_end) {
        if (pos + 2 > area_end || pos + 2 + bytes[pos + 1] > area_end)
            return text + UnableText(bytes, length);
        const Transaction t{bytes[pos], bytes[pos + 1], bytes + pos + 2};
        std::string words;
        const bool readable = direction == 0 ? CommandText(t, words) : ReplyText(t, words);
        if (!readable)
            return text + UnableText(bytes, length);
        text += words;
        pos += 2 + t.lng;
    }
    return text;
}

}  // namespace

std::string ZarnHexText(const uint8_t* bytes, size_t length)
{
    return HexText(bytes, length);
}

std::string ZarnHexText(const Message& block)
{
    return ZarnHexText(block.bytes.data(), std::min<size_t>(block.length, block.bytes.size()));
}

std::string ZarnAlarmText(int alarm_code)
{
    switch (alarm_code) {
    case 1: return "CPU reset>";
    case 3: return "RAM error>";
    case 4: return "PROM checksum error>";
    case 6: return "Pulser error>";
    case 7: return "Pulser current error>";
    case 9: return "Emergency stop>";
    case 10: return "Power failure>";
    case 11: return "Pressure lost>";
    case 12: return "Blend ration error>";
    case 13: return "Low leak error>";
    case 14: return "High leak error>";
    case 16: return "VAP ok>";
    case 17: return "VAP alarm>";
    case 18: return "VAP error>";
    case 19: return "VAP device error>";
    case 20: return "Low Tank level>";
    case 21: return "Low Tank level Ok>";
    default: return "Unknown alarm>";
    }
}

std::string ZarnInterpretedText(const uint8_t* bytes, size_t length, int direction)
{
    if (length < 2)
        return ZarnHexText(bytes, length);
    const uint8_t ctrl = bytes[1];
    const std::string pump = "<P" + std::to_string(PumpNumberOf(bytes[0]));
    const std::string sequence = HexDigit(ctrl);
    switch (ctrl & 0xF0) {
    case 0x20: return pump + " POLL>";
    case 0x50: return pump + " NAK " + sequence + ">";
    case 0xC0: return pump + " ACK " + sequence + ">";
    case 0x30:
        if (length < kFirstTrans + kCrcAndEtx)  // no room for CRC and ETX: not a DATA block
            return ZarnHexText(bytes, length);
        return pump + " DATA " + sequence + ">" + TransactionsText(bytes, length, direction);
    default:
        return ZarnHexText(bytes, length);
    }
}

std::string ZarnInterpretedText(const Message& block)
{
    return ZarnInterpretedText(block.bytes.data(), std::min<size_t>(block.length, block.bytes.size()),
                               block.direction);
}
