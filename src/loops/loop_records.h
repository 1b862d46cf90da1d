#pragma once
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "config/configuration.h"
#include "currentloop/cl_forecourt.h"
#include "zarn/zarn_forecourt.h"

// From running loops to the records of a configuration file and back, and the file's saving and
// loading on top of config/config_file.h.
//
// All of it runs on the controlling thread (the window thread or the runner's command thread),
// the thread that owns the forecourts. Saving reads each pump through its own locked accessors
// and the feed's settings through the feed's, so the engines may keep running meanwhile.

// One running loop, in tab order.
using Loop_ref = std::variant<Zarn_forecourt*, CL_forecourt*>;

// A loop built from a file; the caller takes ownership.
using Loaded_loop = std::variant<std::unique_ptr<Zarn_forecourt>, std::unique_ptr<CL_forecourt>>;

struct Load_result {
    std::vector<Loaded_loop> loops;   // in the file's order, each complete and running
    std::vector<std::string> errors;  // texts to show the user, in the order they arose
};

// Writes `loops` to the file `name` (WriteConfigurationFile: "" or what went wrong, never throws).
std::string SaveConfigurationFile(const std::string& name, const std::vector<Loop_ref>& loops);

// Builds the loops stored in the file `name` (an empty name does nothing). The caller destroys
// every existing loop first: a loop of the file usually opens the same port again.
//
// Each loop is built in this order: the forecourt (opening the port, not yet serving the line),
// the feed settings, the pumps with their decimals, visible nozzles and totals, then the line
// served, then, slot by slot, the connection of each pump stored as connected and the start of its
// automation. Titles are the port name followed by "Zarn" or "Current Loop". A Zarn pump whose
// stored identity has 02 as its third byte is created as the full kind, any other as the standard
// kind.
//
// Errors, all collected in `errors` (never thrown):
//  - a file that is missing, not a regular file, too short or has a bad header:
//    kNotValidConfigurationText, no loops;
//  - a loop whose port cannot be opened (or whose building fails otherwise with the system's error
//    type): the error's text; that loop is left out and loading goes on;
//  - damage inside the file (see DecodeConfiguration): its text; the loops before the damaged
//    record are built, the damaged one and everything after it are not.
// A loop is never half built: a failure while building one destroys what was made of it.
//
// A total stored with other decimals than the loop's is brought to the loop's decimals (divided
// and truncated, or multiplied; ten digits are kept, as the counter itself keeps them).
Load_result LoadConfigurationFile(const std::string& name);

// The parts of the two operations, for callers and tests that work without a file. BuildAnyLoop
// builds one loop (raising Gallion_error).
Loaded_loop BuildAnyLoop(const Loop_record& record);
Zarn_loop_record RecordOfLoop(Zarn_forecourt& forecourt);
CL_loop_record RecordOfLoop(CL_forecourt& forecourt);
// Raise Gallion_error when the port cannot be opened.
std::unique_ptr<Zarn_forecourt> BuildLoop(const Zarn_loop_record& record);
std::unique_ptr<CL_forecourt> BuildLoop(const CL_loop_record& record);
