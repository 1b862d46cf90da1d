#pragma once
#include <string>
#include <vector>

#include "loops/pump_loop.h"

// The answer to one runner command: "ok" with optional data, or an error message.
struct Reply {
    bool ok = true;
    std::string text;
    static Reply Ok(const std::string& data = "") { return {true, data}; }
    static Reply Error(const std::string& message) { return {false, message}; }
};

// Carries out one pump command ("select L P N", "lift L P [N]", ... "rxerrors L P"; words[0] is the
// verb, the loop and pump words are already resolved to `loop` and `position`). The arguments after
// the pump start at `words[first_argument]`; `usage` is the command's form for "usage: " replies.
Reply RunPumpCommand(Pump_loop& loop, int position, const std::vector<std::string>& words, size_t first_argument,
                     const std::string& usage);

// The pump's snapshot as one-line JSON, with the fields of its protocol.
std::string PumpStateJson(const Pump_detail& detail);

// Whole-word number parsing for command arguments: no sign tricks, no trailing rubbish.
bool ParseInt(const std::string& word, int& value);
bool ParseReal(const std::string& word, double& value);
