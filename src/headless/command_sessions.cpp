#include "headless/command_sessions.h"

#include <sstream>

#include "control/control_server.h"
#include "headless/runner.h"

namespace {

std::vector<std::string> SplitWords(const std::string& line)
{
    std::istringstream stream(line);
    std::vector<std::string> words;
    std::string word;
    while (stream >> word)
        words.push_back(word);
    return words;
}

// A reply or traffic text is one line: line breaks inside become blanks.
std::string OneLine(const std::string& text)
{
    std::string line = text;
    for (char& c : line)
        if (c == '\n' || c == '\r')
            c = ' ';
    return line;
}

std::string ReplyText(const Reply& reply)
{
    if (!reply.ok)
        return "error: " + reply.text;
    return reply.text.empty() ? "ok" : "ok " + reply.text;
}

}  // namespace

Command_sessions::Command_sessions(Headless_runner& runner) : runner_(runner) {}

void Command_sessions::Open(Session_id id, Sink sink, std::function<void()> on_finished)
{
    Session session;
    session.sink = std::move(sink);
    session.on_finished = std::move(on_finished);
    sessions_[id] = std::move(session);
}

void Command_sessions::Close(Session_id id)
{
    auto found = sessions_.find(id);
    if (found == sessions_.end())
        return;
    const bool had_traffic = found->second.traffic;
    sessions_.erase(found);
    for (auto it = queue_.begin(); it != queue_.end();)
        it = it->session == id ? queue_.erase(it) : it + 1;
    if (had_traffic && !AnyTraffic())
        runner_.Execute({"traffic", "off"});
}

void Command_sessions::Submit(Session_id id, const std::string& line)
{
    Enqueue(id, line, "");
}

void Command_sessions::Enqueue(Session_id id, std::string line, std::string refusal)
{
    auto found = sessions_.find(id);
    if (found == sessions_.end() || found->second.input_ended)
        return;
    Session& session = found->second;
    if (id != kConsole && session.queued >= kMaxQueuedCommands) {
        // A client that keeps sending behind a long wait is cut off rather than buffered
        // without end.
        line.clear();
        refusal = "more than " + std::to_string(kMaxQueuedCommands) + " commands waiting; closing";
    }
    ++session.queued;
    if (!refusal.empty())
        session.input_ended = true;  // nothing after the refused line is taken
    queue_.push_back({id, std::move(line), std::move(refusal)});
}

void Command_sessions::EndInput(Session_id id)
{
    auto found = sessions_.find(id);
    if (found == sessions_.end())
        return;
    found->second.input_ended = true;
    FinishIfDone(id);
}

void Command_sessions::TakeControlEvents(Control_server& server)
{
    for (Control_event& event : server.TakeEvents()) {
        const Session_id id = event.client;
        switch (event.kind) {
        case Control_event::Kind::line:
        case Control_event::Kind::line_too_long:
            if (!HasSession(id)) {
                Open(
                    id, [&server, id](const std::string& line) { server.Send(id, line); },
                    [&server, id] { server.CloseAfterOutput(id); });
            }
            if (event.kind == Control_event::Kind::line)
                Submit(id, event.line);
            else
                Enqueue(id, {},
                        "line longer than " + std::to_string(Control_server::kMaxLineBytes) + " bytes; closing");
            break;
        case Control_event::Kind::input_ended:
            if (HasSession(id))
                EndInput(id);
            else
                server.CloseAfterOutput(id);
            break;
        case Control_event::Kind::gone:
            Close(id);
            break;
        }
    }
}

void Command_sessions::Run()
{
    const Clock::time_point now = Clock::now();
    std::vector<Session_id> done;
    for (auto& [id, session] : sessions_) {
        if (!session.wait)
            continue;
        std::optional<std::string> reply = CheckWait(*session.wait, now);
        if (!reply)
            continue;
        session.wait.reset();
        Reply(session, *reply);
    }
    // Every queued line whose session is not waiting, in arrival order; a waiting session's lines
    // keep their places.
    for (auto it = queue_.begin(); it != queue_.end() && !quit_requested_;) {
        auto found = sessions_.find(it->session);
        if (found == sessions_.end()) {
            it = queue_.erase(it);
            continue;
        }
        Session& session = found->second;
        if (session.wait || session.finished) {
            ++it;
            continue;
        }
        const Queued_line entry = std::move(*it);
        it = queue_.erase(it);
        --session.queued;
        RunLine(session, entry);
        done.push_back(entry.session);
    }
    for (auto& [id, session] : sessions_)
        if (session.input_ended && !session.finished)
            done.push_back(id);
    for (Session_id id : done)
        FinishIfDone(id);
}

void Command_sessions::RunLine(Session& session, const Queued_line& entry)
{
    if (!entry.refusal.empty()) {
        // The session's input has ended with it: what came before has run, nothing after is read.
        Reply(session, "error: " + entry.refusal);
        return;
    }
    const std::vector<std::string> words = SplitWords(entry.line);
    if (words.empty() || words[0][0] == '#')
        return;
    const std::string reply = RunWords(session, words);
    if (!reply.empty())
        Reply(session, reply);
}

std::string Command_sessions::RunWords(Session& session, const std::vector<std::string>& words)
{
    const std::string& verb = words[0];
    if (verb == "quit") {
        if (words.size() != 1)
            return "error: usage: quit";
        quit_requested_ = true;
        return "ok";
    }
    if (verb == "help")
        return "ok " + Headless_runner::HelpText();
    if (verb == "traffic")
        return Traffic(session, words);
    if (verb == "sleep" || verb == "wait")
        return StartWait(session, words);
    return ReplyText(runner_.Execute(words));
}

std::string Command_sessions::Traffic(Session& session, const std::vector<std::string>& words)
{
    if (words.size() != 2 || (words[1] != "on" && words[1] != "off"))
        return ReplyText(runner_.Execute(words));  // the runner's usage text
    session.traffic = words[1] == "on";
    return ReplyText(runner_.Execute({"traffic", AnyTraffic() ? "on" : "off"}));
}

std::string Command_sessions::StartWait(Session& session, const std::vector<std::string>& words)
{
    int ms = 0;
    if (words[0] == "sleep") {
        if (words.size() != 2 || !ParseInt(words[1], ms) || ms < 0 || ms > kMaxWaitMs)
            return "error: usage: sleep MS";
    } else {
        if (words.size() != 6 || words[3] != "status" || !ParseInt(words[5], ms) || ms < 0 || ms > kMaxWaitMs)
            return "error: usage: wait L P status N TIMEOUT_MS";
    }
    Pending_wait wait{words, Clock::now() + std::chrono::milliseconds(ms)};
    // A wait whose condition holds already (or whose pump does not exist) answers at once.
    std::optional<std::string> reply = CheckWait(wait, Clock::now());
    if (reply && words[0] == "wait")
        return *reply;
    session.wait = std::move(wait);
    return "";
}

std::optional<std::string> Command_sessions::CheckWait(const Pending_wait& wait, Clock::time_point now)
{
    const bool timed_out = now >= wait.deadline;
    if (wait.words[0] == "sleep")
        return timed_out ? std::optional<std::string>("ok") : std::nullopt;
    bool reached = false;
    const ::Reply checked = runner_.PumpHasStatus(wait.words[1], wait.words[2], wait.words[4], reached);
    if (!checked.ok)
        return ReplyText(checked);
    if (reached)
        return "ok";
    if (timed_out)
        return "error: timeout";
    return std::nullopt;
}

void Command_sessions::Reply(Session& session, const std::string& text)
{
    session.sink(OneLine(text));
}

void Command_sessions::FinishIfDone(Session_id id)
{
    auto found = sessions_.find(id);
    if (found == sessions_.end())
        return;
    Session& session = found->second;
    if (!session.input_ended || session.finished || session.queued != 0 || session.wait)
        return;
    session.finished = true;
    if (session.on_finished)
        session.on_finished();
}

void Command_sessions::DrainTraffic()
{
    if (!AnyTraffic())
        return;
    runner_.DrainTraffic([this](const std::string& line) {
        const std::string text = OneLine(line);
        for (auto& [id, session] : sessions_)
            if (session.traffic)
                session.sink(text);
    });
}

std::optional<Command_sessions::Clock::time_point> Command_sessions::NextCheck() const
{
    std::optional<Clock::time_point> next;
    for (const auto& [id, session] : sessions_) {
        if (!session.wait)
            continue;
        // A status is looked at every 20 ms; a sleep needs only its end.
        Clock::time_point at = session.wait->deadline;
        if (session.wait->words[0] == "wait")
            at = std::min(at, Clock::now() + std::chrono::milliseconds(20));
        if (!next || at < *next)
            next = at;
    }
    return next;
}

bool Command_sessions::Idle(Session_id id) const
{
    auto found = sessions_.find(id);
    return found == sessions_.end() || (found->second.queued == 0 && !found->second.wait);
}

bool Command_sessions::AnyTraffic() const
{
    for (const auto& [id, session] : sessions_)
        if (session.traffic)
            return true;
    return false;
}
