#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "headless/pump_commands.h"
#include "loops/pump_loop.h"

// The windowless runner's command interpreter: holds the loops (numbered 1, 2, ... in creation
// order, like tabs) and carries out one command line at a time. Input and output, pauses and
// signals belong to the program around it.
class Headless_runner {
public:
    Headless_runner() = default;
    ~Headless_runner();
    Headless_runner(const Headless_runner&) = delete;
    Headless_runner& operator=(const Headless_runner&) = delete;

    // Carries out one command (already split into words; not "sleep", "quit" or "help").
    Reply Execute(const std::vector<std::string>& words);

    // Prints every loop's waiting communication texts as "traffic L TEXT" while traffic is on.
    void DrainTraffic(const std::function<void(const std::string&)>& print);
    bool TrafficOn() const { return traffic_on_; }

    // Destroys every loop in order (first loop first), as the program does at exit.
    void RemoveAllLoops();

    static std::string HelpText();

    // Replaces every loop by those of a configuration file (as the program's load does). The file
    // is read and checked whole first: a missing or damaged file leaves the loops as they are.
    // Returns the texts of what went wrong, empty when all loaded.
    std::vector<std::string> LoadConfiguration(const std::string& file_name);

private:
    Reply LoopCommand(const std::vector<std::string>& words);
    Reply AddLoop(const std::vector<std::string>& words);
    Reply ListLoops() const;
    Reply PumpCommand(const std::vector<std::string>& words);
    Reply Traffic(const std::vector<std::string>& words);
    Reply Interpreted(const std::vector<std::string>& words);
    Reply Filter(const std::vector<std::string>& words);
    Reply Decimals(const std::vector<std::string>& words);
    Reply Save(const std::vector<std::string>& words);
    Reply Spy(const std::vector<std::string>& words);
    Reply Trace(const std::vector<std::string>& words);

    // Resolves "L" to a loop, or sets `error`.
    Pump_loop* FindLoop(const std::string& word, Reply& error) const;
    // Resolves "L P" to a loop and a position, or sets `error`.
    bool FindPump(const std::string& loop_word, const std::string& pump_word, Pump_loop*& loop, int& position,
                  Reply& error) const;

    std::vector<std::unique_ptr<Pump_loop>> loops_;
    bool traffic_on_ = false;
};

