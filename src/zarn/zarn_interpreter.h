#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "zarn/zarn_message.h"

// Turns a Zarn block (from ADR onward, as stored: DATA blocks keep their CRC and ETX) into one
// line of text for the communication view and the pump logs.
//
// Both functions read only the `length` bytes they are given, whatever those bytes hold: line
// noise, truncated blocks and transactions whose LNG runs past the block fall back to the hex
// text or to the "<Unable to interpret transaction " text.

// Every byte as two upper-case hexadecimal digits and one space: "50 20 ".
std::string ZarnHexText(const uint8_t* bytes, size_t length);
std::string ZarnHexText(const Message& block);

// The short bracketed form, e.g. "<P1 DATA 0><DC1: Authorized><DC3 Nozzle 1 out>".
// Direction 0 (received) reads the transactions as master commands, 1 (sent) as pump replies.
std::string ZarnInterpretedText(const uint8_t* bytes, size_t length, int direction);
std::string ZarnInterpretedText(const Message& block);

// The alarm text that follows "<DC5 Alarm Code ", closing bracket included.
std::string ZarnAlarmText(int alarm_code);
