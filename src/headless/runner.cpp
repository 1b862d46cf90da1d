#include "headless/runner.h"

#include <optional>

#include "platform/error.h"
#include "platform/port_name.h"
#include "headless/json.h"
#include "loops/loop_files.h"
#include "spy/spy_control.h"

namespace {

Reply WrongUse(const std::string& usage)
{
    return Reply::Error("usage: " + usage);
}

// Said wherever such a loop comes into being: a listening address that reaches every interface
// (0.0.0.0, ::, and every other spelling of them) opens the pumps to the whole network.
std::string EveryInterfaceNotice(size_t number, const Pump_loop& loop)
{
    return "notice: loop " + std::to_string(number) + " listens on every interface (" + loop.DevicePath() +
           "): anyone who reaches this machine can talk to its pumps";
}

}  // namespace

Headless_runner::~Headless_runner()
{
    // Only the runner's own loops: the windows program's pages belong to its window.
    owned_loops_.Clear();
}

void Owned_loops::Clear()
{
    for (auto& loop : loops_)
        loop.reset();
    loops_.clear();
}

void Headless_runner::RemoveAllLoops()
{
    loops_.Clear();
}

std::string Headless_runner::HelpText()
{
    return "commands: loop add zarn|cl PORT FIRST LAST [spy] [paced|unpaced] | loop remove L | loop list | "
           "pump add L P | pump remove L P | select L P N | lift L P [N] | hangup L P | nozzle L P N | "
           "flow L P F | adjust L P D | toggleflow L P | connect L P | disconnect L P | "
           "automate L P 0-3 | log L P FILE [hex] | unlog L P | error L P CODE COUNT | "
           "visible L P LIST|none | identity L P standard|full | totals L P N VOLUME AMOUNT FILLINGS | "
           "state L P | rxerrors L P | decimals L V A P | traffic on|off | interpreted L on|off | "
           "filter L P|all | trace L FILE | untrace L | spy list | spy on NAME | spy off NAME | "
           "save FILE | load FILE | sleep MS | wait L P status N TIMEOUT_MS | help | quit";
}

Reply Headless_runner::Execute(const std::vector<std::string>& words)
{
    if (words.empty())
        return Reply::Ok();
    const std::string& verb = words[0];
    if (verb == "loop")
        return LoopCommand(words);
    if (verb == "traffic")
        return Traffic(words);
    if (verb == "interpreted")
        return Interpreted(words);
    if (verb == "filter")
        return Filter(words);
    if (verb == "decimals")
        return Decimals(words);
    if (verb == "save")
        return Save(words);
    if (verb == "load") {
        if (words.size() != 2)
            return WrongUse("load FILE");
        bool replaced = false;
        std::vector<std::string> errors = LoadConfiguration(words[1], &replaced);
        std::string joined;
        for (const std::string& error : errors)
            joined += (joined.empty() ? "" : "; ") + error;
        // "error:" only when nothing changed; loops left out of a file that loaded are named
        // after the count of the loops that run now and the notices of loops on every interface.
        if (!replaced)
            return Reply::Error(joined);
        std::string data = std::to_string(loops_.size());
        for (const std::string& notice : EveryInterfaceNotices())
            data += " " + notice;
        return errors.empty() ? Reply::Ok(data) : Reply::Ok(data + " left out: " + joined);
    }
    if (verb == "spy")
        return Spy(words);
    if (verb == "trace" || verb == "untrace")
        return Trace(words);
    return PumpCommand(words);
}

Reply Headless_runner::PumpHasStatus(const std::string& loop_word, const std::string& pump_word,
                                     const std::string& status, bool& reached) const
{
    Pump_loop* loop = nullptr;
    int position = 0;
    Reply error;
    if (!FindPump(loop_word, pump_word, loop, position, error))
        return error;
    Pump_detail detail;
    if (!loop->GetPumpDetail(position, detail))
        return Reply::Error("no pump " + pump_word);
    if (detail.protocol == Protocol::zarn)
        reached = status == std::to_string(detail.status);
    else
        reached = status.size() == 1 && status[0] == detail.state_letter;
    return Reply::Ok();
}

Reply Headless_runner::LoopCommand(const std::vector<std::string>& words)
{
    if (words.size() >= 2 && words[1] == "add")
        return AddLoop(words);
    if (words.size() == 2 && words[1] == "list")
        return ListLoops();
    if (words.size() == 3 && words[1] == "remove") {
        Reply error;
        if (!FindLoop(words[2], error))
            return error;
        int number = 0;
        ParseInt(words[2], number);
        loops_.Erase(static_cast<size_t>(number - 1));
        return Reply::Ok();
    }
    return WrongUse("loop add zarn|cl PORT FIRST LAST [spy] [paced|unpaced] | loop remove L | loop list");
}

Reply Headless_runner::AddLoop(const std::vector<std::string>& words)
{
    const std::string usage = "loop add zarn|cl PORT FIRST LAST [spy] [paced|unpaced]";
    if (words.size() < 6)
        return WrongUse(usage);
    const std::string& protocol = words[2];
    if (protocol != "zarn" && protocol != "cl")
        return WrongUse(usage);
    // The options after the range, each at most once: "spy", then "paced" or "unpaced" (without
    // either the setting LineSpeedPacing decides).
    bool spy = false;
    std::optional<bool> paced;
    for (size_t i = 6; i < words.size(); ++i) {
        if (words[i] == "spy" && !spy && !paced)
            spy = true;
        else if ((words[i] == "paced" || words[i] == "unpaced") && !paced)
            paced = words[i] == "paced";
        else
            return WrongUse(usage);
    }
    int first = 0;
    int last = 0;
    if (!ParseInt(words[4], first) || !ParseInt(words[5], last))
        return Reply::Error("'" + (ParseInt(words[4], first) ? words[5] : words[4]) +
                            "' is not a valid integer value");
    const Protocol chosen = protocol == "zarn" ? Protocol::zarn : Protocol::current_loop;
    const std::string range_error = CheckPumpRange(chosen, first, last);
    if (!range_error.empty())
        return Reply::Error(range_error);
    std::unique_ptr<Pump_loop> loop;
    try {
        loop = CreateLoop(chosen, words[3], spy, first, last);
    } catch (const Gallion_error& error) {
        return Reply::Error(error.what());
    }
    if (paced)
        loop->SetLinePacing(*paced);
    loop->SetCommunicationOn(traffic_on_);
    std::string data = std::to_string(loops_.size() + 1);
    if (loop->PortIsVirtual())
        data += " " + loop->DevicePath();
    if (loop->ListensOnEveryInterface())
        data += " " + EveryInterfaceNotice(loops_.size() + 1, *loop);
    loops_.Append(std::move(loop));
    return Reply::Ok(data);
}

Reply Headless_runner::ListLoops() const
{
    std::vector<std::string> entries;
    for (size_t i = 0; i < loops_.size(); ++i) {
        const Pump_loop& loop = *loops_[i];
        Json_object entry;
        entry.Add("number", static_cast<int>(i + 1))
            .Add("protocol", ProtocolWord(loop.GetProtocol()))
            .Add("port", loop.PortName())
            .Add("device", loop.DevicePath())
            .Add("paced", loop.LinePacing())
            .Add("first", loop.FirstPump())
            .Add("last", loop.LastPump())
            .Add("title", loop.Title());
        const std::string write_failure = loop.WriteFailureText();
        if (!write_failure.empty())
            entry.Add("write_error", write_failure);
        entries.push_back(entry.Text());
    }
    return Reply::Ok(JsonArray(entries));
}

Pump_loop* Headless_runner::FindLoop(const std::string& word, Reply& error) const
{
    int number = 0;
    if (!ParseInt(word, number)) {
        error = Reply::Error("'" + word + "' is not a loop number");
        return nullptr;
    }
    if (number < 1 || number > static_cast<int>(loops_.size())) {
        error = Reply::Error("no loop " + word);
        return nullptr;
    }
    return loops_[static_cast<size_t>(number - 1)];
}

bool Headless_runner::FindPump(const std::string& loop_word, const std::string& pump_word, Pump_loop*& loop,
                               int& slot, Reply& error) const
{
    loop = FindLoop(loop_word, error);
    if (!loop)
        return false;
    int pump_number = 0;
    if (!ParseInt(pump_word, pump_number)) {
        error = Reply::Error("'" + pump_word + "' is not a pump number");
        return false;
    }
    if (pump_number < loop->FirstPump() || pump_number > loop->LastPump()) {
        error = Reply::Error("pump " + pump_word + " is not in loop " + loop_word);
        return false;
    }
    slot = pump_number - loop->FirstPump();
    return true;
}

Reply Headless_runner::PumpCommand(const std::vector<std::string>& words)
{
    const std::string& verb = words[0];
    struct Shape {
        const char* verb;
        size_t least_words;
        size_t most_words;
        const char* usage;
    };
    static const Shape shapes[] = {
        {"pump", 4, 4, "pump add|remove L P"},
        {"select", 4, 4, "select L P N"},
        {"lift", 3, 4, "lift L P [N]"},
        {"hangup", 3, 3, "hangup L P"},
        {"nozzle", 4, 4, "nozzle L P N"},
        {"flow", 4, 4, "flow L P F"},
        {"adjust", 4, 4, "adjust L P D"},
        {"toggleflow", 3, 3, "toggleflow L P"},
        {"connect", 3, 3, "connect L P"},
        {"disconnect", 3, 3, "disconnect L P"},
        {"automate", 4, 4, "automate L P LEVEL"},
        {"log", 4, 5, "log L P FILE [hex]"},
        {"unlog", 3, 3, "unlog L P"},
        {"error", 5, 5, "error L P CODE COUNT"},
        {"visible", 4, 4, "visible L P LIST|none"},
        {"identity", 4, 4, "identity L P standard|full"},
        {"totals", 7, 7, "totals L P N VOLUME AMOUNT FILLINGS"},
        {"state", 3, 3, "state L P"},
        {"rxerrors", 3, 3, "rxerrors L P"},
    };
    const Shape* shape = nullptr;
    for (const Shape& candidate : shapes)
        if (verb == candidate.verb)
            shape = &candidate;
    if (!shape)
        return Reply::Error("unknown command");
    if (words.size() < shape->least_words || words.size() > shape->most_words)
        return WrongUse(shape->usage);

    // "pump add|remove L P" has its loop and pump one word later than the other commands.
    const size_t at = verb == "pump" ? 2 : 1;
    if (verb == "pump" && words[1] != "add" && words[1] != "remove")
        return WrongUse(shape->usage);
    Pump_loop* loop = nullptr;
    int position = 0;
    Reply error;
    if (!FindPump(words[at], words[at + 1], loop, position, error))
        return error;
    if (verb == "pump" && words[1] == "add")
        return loops_.AddPump(*loop, position) ? Reply::Ok() : Reply::Error("position not available");
    if (verb == "pump")
        return loops_.RemovePump(*loop, position) ? Reply::Ok() : Reply::Error("no pump " + std::to_string(loop->PumpNumberOf(position)));
    return RunPumpCommand(*loop, position, words, at + 2, shape->usage);
}

Reply Headless_runner::Traffic(const std::vector<std::string>& words)
{
    if (words.size() != 2 || (words[1] != "on" && words[1] != "off"))
        return WrongUse("traffic on|off");
    traffic_on_ = words[1] == "on";
    loops_.SetFeedsOn(traffic_on_);
    return Reply::Ok();
}

Reply Headless_runner::Interpreted(const std::vector<std::string>& words)
{
    if (words.size() != 3 || (words[2] != "on" && words[2] != "off"))
        return WrongUse("interpreted L on|off");
    Reply error;
    Pump_loop* loop = FindLoop(words[1], error);
    if (!loop)
        return error;
    loop->SetInterpreted(words[2] == "on");
    return Reply::Ok();
}

Reply Headless_runner::Filter(const std::vector<std::string>& words)
{
    if (words.size() != 3)
        return WrongUse("filter L P|all");
    if (words[2] == "all") {
        Reply error;
        Pump_loop* loop = FindLoop(words[1], error);
        if (!loop)
            return error;
        loop->SetFilterPosition(std::nullopt);
        return Reply::Ok();
    }
    Pump_loop* loop = nullptr;
    int position = 0;
    Reply error;
    if (!FindPump(words[1], words[2], loop, position, error))
        return error;
    loop->SetFilterPosition(position);
    return Reply::Ok();
}

Reply Headless_runner::Decimals(const std::vector<std::string>& words)
{
    const char usage[] = "decimals L V A P";
    if (words.size() != 5)
        return WrongUse(usage);
    Reply error;
    Pump_loop* loop = FindLoop(words[1], error);
    if (!loop)
        return error;
    Loop_decimals decimals;
    if (!ParseInt(words[2], decimals.volume) || !ParseInt(words[3], decimals.amount) ||
        !ParseInt(words[4], decimals.price))
        return WrongUse(usage);
    if (!loop->Decimals())
        return Reply::Error("decimals are set per current-loop loop; Zarn pumps take theirs from the settings "
                            "file and the controller");
    return loop->SetDecimals(decimals) ? Reply::Ok() : Reply::Error("decimals must be 0 to 8");
}

void Headless_runner::DrainTraffic(const std::function<void(const std::string&)>& print)
{
    if (!traffic_on_)
        return;
    // A bound per loop and pass, so a flooded line cannot keep the runner from its commands.
    const int most_texts_per_pass = 10000;
    for (size_t i = 0; i < loops_.size(); ++i) {
        for (int taken = 0; taken < most_texts_per_pass; ++taken) {
            std::string text = loops_.FetchTrafficText(i);
            if (text.empty())
                break;
            print("traffic " + std::to_string(i + 1) + " " + text);
        }
    }
}

Reply Headless_runner::Save(const std::vector<std::string>& words)
{
    if (words.size() != 2)
        return WrongUse("save FILE");
    std::vector<const Pump_loop*> loops;
    for (size_t i = 0; i < loops_.size(); ++i)
        loops.push_back(loops_[i]);
    const std::string error = SaveLoops(words[1], loops);
    return error.empty() ? Reply::Ok() : Reply::Error(error);
}

std::vector<std::string> Headless_runner::LoadConfiguration(const std::string& file_name, bool* replaced)
{
    if (replaced != nullptr)
        *replaced = false;
    const Loop_file file(file_name);
    if (!file.Error().empty())
        return {file.Error()};
    // The file's loops usually open the same ports again: the present ones go first.
    RemoveAllLoops();
    if (replaced != nullptr)
        *replaced = true;
    std::vector<std::string> errors;
    for (auto& loop : file.Build(errors)) {
        loop->SetCommunicationOn(traffic_on_);
        loops_.Append(std::move(loop));
    }
    return errors;
}

std::vector<std::string> Headless_runner::EveryInterfaceNotices() const
{
    std::vector<std::string> notices;
    for (size_t i = 0; i < loops_.size(); ++i) {
        if (loops_[i]->ListensOnEveryInterface())
            notices.push_back(EveryInterfaceNotice(i + 1, *loops_[i]));
    }
    return notices;
}

Reply Headless_runner::Spy(const std::vector<std::string>& words)
{
    if (words.size() == 2 && words[1] == "list") {
        std::vector<std::string> entries;
        for (const SpyEventState& event : ListSpyEvents()) {
            Json_object entry;
            entry.Add("name", event.event_name).Add("running", event.running);
            entries.push_back(entry.Text());
        }
        return Reply::Ok(JsonArray(entries));
    }
    if (words.size() != 3 || (words[1] != "on" && words[1] != "off"))
        return WrongUse("spy list | spy on NAME | spy off NAME");
    std::string name = words[2];
    const auto bare_pty = [](const std::string& text) {
        const std::optional<Port_name> port = Port_name::Read(text);
        return port && port->IsBarePseudoTerminal();
    };
    if (bare_pty(name)) {
        // A bare "pty" port records under its device path: take the one loop of this runner that
        // records on a bare "pty" port; with several, the user must name the device path.
        std::vector<std::string> devices;
        for (size_t i = 0; i < loops_.size(); ++i)
            if (bare_pty(loops_[i]->PortName()) && loops_[i]->Spy())
                devices.push_back(loops_[i]->DevicePath());
        if (devices.size() > 1) {
            std::string list;
            for (const std::string& device : devices)
                list += (list.empty() ? "" : ", ") + device;
            return Reply::Error("'pty' is ambiguous: the spy ports " + list + " are bare pty ports; name one");
        }
        if (devices.size() == 1)
            name = devices[0];
    }
    try {
        if (words[1] == "on")
            StartSpy(name);
        else
            StopSpy(name);
    } catch (const Gallion_error& error) {
        return Reply::Error(error.what());
    }
    return Reply::Ok();
}

// "trace L FILE" starts the loop's wire trace into FILE; "untrace L" ends it (nothing to end is
// no error).
Reply Headless_runner::Trace(const std::vector<std::string>& words)
{
    const bool start = words[0] == "trace";
    if (words.size() != (start ? 3u : 2u))
        return WrongUse(start ? "trace L FILE" : "untrace L");
    Reply error;
    Pump_loop* loop = FindLoop(words[1], error);
    if (!loop)
        return error;
    if (!start) {
        // The trace ends either way; a write that failed on the way is the reply's error.
        const std::string failure = loop->StopTrace();
        return failure.empty() ? Reply::Ok() : Reply::Error(failure);
    }
    try {
        if (!loop->StartTrace(words[2]))
            return Reply::Error("loop " + words[1] + " traces to \"" + loop->TraceFileName() + "\" already");
    } catch (const Gallion_error& failure) {
        return Reply::Error(failure.what());
    }
    return Reply::Ok();
}
