#pragma once
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

class Control_server;
class Headless_runner;

// The command language's sessions: the terminal (standard input and a script) and each control
// socket connection. Every session gets exactly one reply line per command, on its own output;
// commands of all sessions are carried out one at a time, in arrival order, on the thread that
// owns the loops (the one that calls these functions).
//
// "sleep" and "wait" never hold that thread: the session's later commands stay queued behind them
// while other sessions and the loops go on, and Run, called again on a tick, replies once the time
// is up or the pump has reached the status. "traffic on|off" subscribes the session itself to the
// "traffic L TEXT" lines; the loops' feeds run while any session is subscribed.
class Command_sessions {
public:
    using Session_id = uint64_t;
    using Clock = std::chrono::steady_clock;
    using Sink = std::function<void(const std::string& line)>;

    // The terminal session's number; control socket clients have their server's numbers (1, 2...).
    static constexpr Session_id kConsole = 0;
    // Commands a control client may have queued (behind a wait); more closes it with an error.
    static constexpr size_t kMaxQueuedCommands = 1024;
    static constexpr int kMaxWaitMs = 24 * 3600 * 1000;

    explicit Command_sessions(Headless_runner& runner);

    // A session and where its reply and traffic lines go (each a line without its line end).
    // `on_finished` runs once after the session's last reply when its input has ended.
    void Open(Session_id id, Sink sink, std::function<void()> on_finished = {});
    // Forgets a session at once (its connection has gone): queued commands and a wait are dropped.
    void Close(Session_id id);
    void Submit(Session_id id, const std::string& line);
    // The session's input has ended: its queued commands still run, then on_finished.
    void EndInput(Session_id id);

    // Takes the control socket's events: lines of new and known clients, overlong lines (answered
    // with an error, then the client is closed), ended input and closed connections.
    void TakeControlEvents(Control_server& server);

    // Carries out every queued command that may run now and answers the waits that are over.
    void Run();
    // Sends the loops' waiting traffic texts to every subscribed session.
    void DrainTraffic();
    // When Run must be called next for a wait or sleep; nullopt when none is pending.
    std::optional<Clock::time_point> NextCheck() const;

    bool HasSession(Session_id id) const { return sessions_.count(id) != 0; }
    // Nothing queued and no wait pending for the session.
    bool Idle(Session_id id) const;
    bool QuitRequested() const { return quit_requested_; }
    bool AnyTraffic() const;

private:
    struct Pending_wait {
        std::vector<std::string> words;  // "sleep MS" or "wait L P status N MS"
        Clock::time_point deadline;
    };
    struct Session {
        Sink sink;
        std::function<void()> on_finished;
        size_t queued = 0;
        std::optional<Pending_wait> wait;
        bool traffic = false;
        bool input_ended = false;
        bool finished = false;
    };
    struct Queued_line {
        Session_id session;
        std::string line;
        std::string refusal;  // not empty: answered with this error, and the session ends
    };

    void Enqueue(Session_id id, std::string line, std::string refusal);
    // Carries out one line (a sleep or wait stays pending in the session).
    void RunLine(Session& session, const Queued_line& entry);
    std::string RunWords(Session& session, const std::vector<std::string>& words);
    std::string Traffic(Session& session, const std::vector<std::string>& words);
    std::string StartWait(Session& session, const std::vector<std::string>& words);
    // The reply of a pending wait once it is over, or nullopt while it goes on.
    std::optional<std::string> CheckWait(const Pending_wait& wait, Clock::time_point now);
    void Reply(Session& session, const std::string& text);
    void FinishIfDone(Session_id id);

    Headless_runner& runner_;
    std::map<Session_id, Session> sessions_;
    std::deque<Queued_line> queue_;
    bool quit_requested_ = false;
};
