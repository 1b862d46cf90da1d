#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "headless/pump_commands.h"
#include "loops/pump_loop.h"

// Where the runner's commands find the loops, numbered from 0 here (1, 2, ... in commands):
// the runner's own list, or in the windows program the main window's pages, so that a command
// adds a tab or a panel as the operator's action would.
class Loop_set {
public:
    virtual ~Loop_set() = default;
    virtual size_t size() const = 0;
    virtual Pump_loop* operator[](size_t index) const = 0;
    virtual void Append(std::unique_ptr<Pump_loop> loop) = 0;
    virtual void Erase(size_t index) = 0;
    // Destroys every loop in order, first loop first.
    virtual void Clear() = 0;
    // "pump add" / "pump remove": false when the position is taken / has no pump.
    virtual bool AddPump(Pump_loop& loop, int position) { return loop.AddPump(position); }
    virtual bool RemovePump(Pump_loop& loop, int position) { return loop.RemovePump(position); }
    // "traffic on|off": the loops' feeds (the windows program leaves them to its communication
    // pane).
    virtual void SetFeedsOn(bool on)
    {
        for (size_t i = 0; i < size(); ++i)
            (*this)[i]->SetCommunicationOn(on);
    }
    // The next traffic text of a loop, "" when none waits (the windows program: the next text its
    // communication pane has shown of that loop).
    virtual std::string FetchTrafficText(size_t index) { return (*this)[index]->FetchCommunicationText(); }
};

// The runner's own loops.
class Owned_loops : public Loop_set {
public:
    size_t size() const override { return loops_.size(); }
    Pump_loop* operator[](size_t index) const override { return loops_[index].get(); }
    void Append(std::unique_ptr<Pump_loop> loop) override { loops_.push_back(std::move(loop)); }
    void Erase(size_t index) override { loops_.erase(loops_.begin() + static_cast<std::ptrdiff_t>(index)); }
    void Clear() override;

private:
    std::vector<std::unique_ptr<Pump_loop>> loops_;
};

// The windowless runner's command interpreter: holds the loops (numbered 1, 2, ... in creation
// order, like tabs) and carries out one command line at a time. Input and output, pauses and
// signals belong to the program around it.
class Headless_runner {
public:
    Headless_runner() : loops_(owned_loops_) {}
    // Commands act on another program's loops (the windows program's pages).
    explicit Headless_runner(Loop_set& loops) : loops_(loops) {}
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

    // For "wait L P status N TIMEOUT_MS": whether pump P of loop L shows status N now (Zarn: its
    // status number; current loop: its state letter). An error reply for a wrong loop or pump.
    Reply PumpHasStatus(const std::string& loop_word, const std::string& pump_word, const std::string& status,
                        bool& reached) const;

    // Replaces every loop by those of a configuration file (as the program's load does). The file
    // is read and checked whole first: a missing or damaged file leaves the loops as they are.
    // Returns the texts of what went wrong, empty when all loaded; `replaced` (when given) tells
    // whether the running loops were replaced (the file was usable), even with loops left out.
    std::vector<std::string> LoadConfiguration(const std::string& file_name, bool* replaced = nullptr);
    // One notice per loop that listens on every interface: "notice: loop L listens on every
    // interface (ENDPOINT): anyone who reaches this machine can talk to its pumps".
    std::vector<std::string> EveryInterfaceNotices() const;

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

    Owned_loops owned_loops_;
    Loop_set& loops_;
    bool traffic_on_ = false;
};

