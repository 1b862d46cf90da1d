#include "headless/runner.h"

#include <charconv>
#include <sstream>
#include <string_view>

#include "common/error.h"
#include "headless/json.h"
#include "spy/spy_control.h"

namespace {

const char kIntervalMessage[] = "Invalid pump number interval for the chosen protocol";

struct Protocol_limits {
    int highest_pump;
    int most_pumps;
};

// The New loop dialog's limits: Zarn pump numbers 1-32 with at most 16 pumps, current loop 1-15
// with at most 8.
const Protocol_limits kZarnLimits{32, 16};
const Protocol_limits kClLimits{15, 8};

bool WithinLimits(const Protocol_limits& limits, int first, int last)
{
    return first >= 1 && last >= 1 && first <= limits.highest_pump && last <= limits.highest_pump &&
           last >= first && last - first <= limits.most_pumps - 1;
}

Reply WrongUse(const std::string& usage)
{
    return Reply::Error("usage: " + usage);
}

std::vector<int> ParseNozzleList(const std::string& word, bool& valid)
{
    std::vector<int> nozzles;
    valid = true;
    if (word == "none")
        return nozzles;
    std::stringstream stream(word);
    std::string item;
    while (std::getline(stream, item, ',')) {
        int nozzle = 0;
        if (!ParseInt(item, nozzle)) {
            valid = false;
            return {};
        }
        nozzles.push_back(nozzle);
    }
    if (nozzles.empty())
        valid = false;
    return nozzles;
}

}  // namespace

namespace {

// The characters of a number word: a leading '+' is allowed and skipped; a sign after it is not.
std::string_view NumberText(const std::string& word)
{
    std::string_view text(word);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && (text.front() == '+' || text.front() == '-'))
            return {};
    }
    return text;
}

}  // namespace

bool ParseInt(const std::string& word, int& value)
{
    const std::string_view text = NumberText(word);
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return !text.empty() && ec == std::errc() && ptr == end;
}

bool ParseReal(const std::string& word, double& value)
{
    const std::string_view text = NumberText(word);
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return !text.empty() && ec == std::errc() && ptr == end;
}

Headless_runner::~Headless_runner()
{
    RemoveAllLoops();
}

void Headless_runner::RemoveAllLoops()
{
    for (auto& loop : loops_)
        loop.reset();
    loops_.clear();
}

std::string Headless_runner::HelpText()
{
    return "commands: loop add zarn|cl PORT FIRST LAST [spy] | loop remove L | loop list | "
           "pump add L P | pump remove L P | select L P N | lift L P [N] | hangup L P | nozzle L P N | "
           "flow L P F | adjust L P D | toggleflow L P | connect L P | disconnect L P | "
           "automate L P 0-3 | log L P FILE [hex] | unlog L P | error L P CODE COUNT | "
           "visible L P LIST|none | identity L P standard|full | totals L P N VOLUME AMOUNT FILLINGS | "
           "state L P | rxerrors L P | decimals L V A P | traffic on|off | interpreted L on|off | "
           "filter L P|all | spy list | spy on NAME | spy off NAME | save FILE | load FILE | "
           "sleep MS | help | quit";
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
        std::vector<std::string> errors = LoadConfiguration(words[1]);
        std::string joined;
        for (const std::string& error : errors)
            joined += (joined.empty() ? "" : "; ") + error;
        return errors.empty() ? Reply::Ok(std::to_string(loops_.size())) : Reply::Error(joined);
    }
    if (verb == "spy")
        return Spy(words);
    return PumpCommand(words);
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
        loops_.erase(loops_.begin() + (number - 1));
        return Reply::Ok();
    }
    return WrongUse("loop add zarn|cl PORT FIRST LAST [spy] | loop remove L | loop list");
}

Reply Headless_runner::AddLoop(const std::vector<std::string>& words)
{
    const std::string usage = "loop add zarn|cl PORT FIRST LAST [spy]";
    if (words.size() < 6 || words.size() > 7)
        return WrongUse(usage);
    const std::string& protocol = words[2];
    if (protocol != "zarn" && protocol != "cl")
        return WrongUse(usage);
    if (words.size() == 7 && words[6] != "spy")
        return WrongUse(usage);
    const bool spy = words.size() == 7;
    int first = 0;
    int last = 0;
    if (!ParseInt(words[4], first) || !ParseInt(words[5], last))
        return Reply::Error("'" + (ParseInt(words[4], first) ? words[5] : words[4]) +
                            "' is not a valid integer value");
    const bool zarn = protocol == "zarn";
    if (!WithinLimits(zarn ? kZarnLimits : kClLimits, first, last))
        return Reply::Error(kIntervalMessage);
    std::unique_ptr<Runner_loop> loop;
    try {
        loop = zarn ? CreateZarnRunnerLoop(words[3], spy, first, last)
                    : CreateClRunnerLoop(words[3], spy, first, last);
    } catch (const Gallion_error& error) {
        return Reply::Error(error.what());
    }
    loop->SetCommunicationOn(traffic_on_);
    std::string data = std::to_string(loops_.size() + 1);
    if (loop->PortIsVirtual())
        data += " " + loop->DevicePath();
    loops_.push_back(std::move(loop));
    return Reply::Ok(data);
}

Reply Headless_runner::ListLoops() const
{
    std::vector<std::string> entries;
    for (size_t i = 0; i < loops_.size(); ++i) {
        const Runner_loop& loop = *loops_[i];
        Json_object entry;
        entry.Add("number", static_cast<int>(i + 1))
            .Add("protocol", loop.Protocol())
            .Add("port", loop.PortName())
            .Add("device", loop.DevicePath())
            .Add("first", loop.FirstPump())
            .Add("last", loop.LastPump())
            .Add("title", loop.Title());
        entries.push_back(entry.Text());
    }
    return Reply::Ok(JsonArray(entries));
}

Runner_loop* Headless_runner::FindLoop(const std::string& word, Reply& error) const
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
    return loops_[number - 1].get();
}

bool Headless_runner::FindPump(const std::string& loop_word, const std::string& pump_word, Runner_loop*& loop,
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
    Runner_loop* loop = nullptr;
    int slot = 0;
    Reply error;
    if (!FindPump(words[at], words[at + 1], loop, slot, error))
        return error;

    auto integer = [&](size_t index, int& value) { return ParseInt(words[index], value); };
    auto real = [&](size_t index, double& value) { return ParseReal(words[index], value); };
    int number = 0;
    int count = 0;
    double value = 0;

    if (verb == "pump")
        return words[1] == "add" ? loop->AddPump(slot) : loop->RemovePump(slot);
    if (verb == "select")
        return integer(3, number) ? loop->Select(slot, number) : WrongUse(shape->usage);
    if (verb == "lift") {
        if (words.size() == 3)
            return loop->Lift(slot, std::nullopt);
        return integer(3, number) ? loop->Lift(slot, number) : WrongUse(shape->usage);
    }
    if (verb == "hangup")
        return loop->HangUp(slot);
    if (verb == "nozzle")
        return integer(3, number) ? loop->NozzleClick(slot, number) : WrongUse(shape->usage);
    if (verb == "flow")
        return real(3, value) ? loop->SetFlow(slot, value) : WrongUse(shape->usage);
    if (verb == "adjust")
        return real(3, value) ? loop->AdjustFlow(slot, value) : WrongUse(shape->usage);
    if (verb == "toggleflow")
        return loop->ToggleFlow(slot);
    if (verb == "connect" || verb == "disconnect")
        return loop->Connect(slot, verb == "connect");
    if (verb == "automate") {
        if (!integer(3, number) || number < 0 || number > 3)
            return WrongUse(shape->usage + std::string(" (LEVEL 0-3)"));
        return loop->Automate(slot, number);
    }
    if (verb == "log") {
        if (words.size() == 5 && words[4] != "hex")
            return WrongUse(shape->usage);
        return loop->StartLog(slot, words[3], words.size() == 4);
    }
    if (verb == "unlog")
        return loop->StopLog(slot);
    if (verb == "error")
        return integer(3, number) && integer(4, count) ? loop->ApplyError(slot, number, count)
                                                       : WrongUse(shape->usage);
    if (verb == "visible") {
        bool valid = false;
        std::vector<int> nozzles = ParseNozzleList(words[3], valid);
        return valid ? loop->SetVisible(slot, nozzles) : WrongUse(shape->usage);
    }
    if (verb == "identity") {
        if (words[3] != "standard" && words[3] != "full")
            return WrongUse(shape->usage);
        return loop->SetIdentity(slot, words[3] == "full");
    }
    if (verb == "totals")
        return integer(3, number) ? loop->SetTotals(slot, number, words[4], words[5], words[6])
                                  : WrongUse(shape->usage);
    if (verb == "state")
        return loop->StateJson(slot);
    return loop->RxErrorsJson(slot);
}

Reply Headless_runner::Traffic(const std::vector<std::string>& words)
{
    if (words.size() != 2 || (words[1] != "on" && words[1] != "off"))
        return WrongUse("traffic on|off");
    traffic_on_ = words[1] == "on";
    for (auto& loop : loops_)
        loop->SetCommunicationOn(traffic_on_);
    return Reply::Ok();
}

Reply Headless_runner::Interpreted(const std::vector<std::string>& words)
{
    if (words.size() != 3 || (words[2] != "on" && words[2] != "off"))
        return WrongUse("interpreted L on|off");
    Reply error;
    Runner_loop* loop = FindLoop(words[1], error);
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
        Runner_loop* loop = FindLoop(words[1], error);
        if (!loop)
            return error;
        loop->SetFilterSlot(std::nullopt);
        return Reply::Ok();
    }
    Runner_loop* loop = nullptr;
    int slot = 0;
    Reply error;
    if (!FindPump(words[1], words[2], loop, slot, error))
        return error;
    loop->SetFilterSlot(slot);
    return Reply::Ok();
}

Reply Headless_runner::Decimals(const std::vector<std::string>& words)
{
    const char usage[] = "decimals L V A P";
    if (words.size() != 5)
        return WrongUse(usage);
    Reply error;
    Runner_loop* loop = FindLoop(words[1], error);
    if (!loop)
        return error;
    int volume = 0;
    int amount = 0;
    int price = 0;
    if (!ParseInt(words[2], volume) || !ParseInt(words[3], amount) || !ParseInt(words[4], price))
        return WrongUse(usage);
    return loop->SetDecimals(volume, amount, price);
}

void Headless_runner::DrainTraffic(const std::function<void(const std::string&)>& print)
{
    if (!traffic_on_)
        return;
    // A bound per loop and pass, so a flooded line cannot keep the runner from its commands.
    const int most_texts_per_pass = 10000;
    for (size_t i = 0; i < loops_.size(); ++i) {
        for (int taken = 0; taken < most_texts_per_pass; ++taken) {
            std::string text = loops_[i]->FetchCommunicationText();
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
    std::vector<Loop_ref> loops;
    for (auto& loop : loops_)
        loops.push_back(loop->Forecourt());
    const std::string error = SaveConfigurationFile(words[1], loops);
    return error.empty() ? Reply::Ok() : Reply::Error(error);
}

std::vector<std::string> Headless_runner::LoadConfiguration(const std::string& file_name)
{
    // The file's loops usually open the same ports again: the present ones go first.
    RemoveAllLoops();
    Load_result result = LoadConfigurationFile(file_name);
    for (Loaded_loop& loaded : result.loops) {
        std::unique_ptr<Runner_loop> loop;
        if (auto* zarn = std::get_if<std::unique_ptr<Zarn_forecourt>>(&loaded))
            loop = WrapZarnForecourt(std::move(*zarn));
        else
            loop = WrapClForecourt(std::move(std::get<std::unique_ptr<CL_forecourt>>(loaded)));
        loop->SetCommunicationOn(traffic_on_);
        loops_.push_back(std::move(loop));
    }
    return result.errors;
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
    // A bare "pty" port records under its device path; name it by the loop's port name here.
    std::string name = words[2];
    for (const auto& loop : loops_)
        if (loop->PortName() == name && name == "pty")
            name = loop->DevicePath();
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
