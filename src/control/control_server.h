#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A local control socket: a Unix-domain stream socket that only this user can reach, speaking
// lines. Its own thread accepts connections, cuts what they send into lines and writes what the
// owner queues for them; the owner (the thread that holds the loops) takes the lines as events
// and answers with Send. Nothing here blocks the owner: output for a client that does not read is
// bounded, and a client over the bound is disconnected with its output dropped.
//
// Client numbers are never reused, so a late Send to a client that has gone reaches nobody.

struct Control_event {
    enum class Kind {
        line,           // one complete line (without its line end)
        line_too_long,  // more than kMaxLineBytes without a line end: the client reads no more
        input_ended,    // the client closed its sending side; its replies may still be written
        gone,           // the connection is closed; nothing more is sent to it
    };
    Kind kind;
    uint64_t client;
    std::string line;
};

class Control_server {
public:
    static constexpr size_t kMaxLineBytes = 4096;
    static constexpr size_t kMaxQueuedOutputBytes = 1 << 20;
    static constexpr size_t kMaxClients = 64;
    // Lines taken from one client but not yet taken by the owner; beyond this the client is not
    // read until the owner catches up (its sending side then fills and waits, not the program).
    static constexpr size_t kMaxWaitingLines = 256;

    // Listens on `path`. A socket file there whose program has ended is replaced; a live one, or
    // anything that is not a socket, refuses with Gallion_error.
    // `max_queued_output`: the bound of unread output per client (tests use a small one).
    explicit Control_server(const std::string& path, size_t max_queued_output = kMaxQueuedOutputBytes);
    ~Control_server();
    Control_server(const Control_server&) = delete;
    Control_server& operator=(const Control_server&) = delete;

    const std::string& Path() const { return path_; }
    // Readable while events wait for TakeEvents (for poll or a socket notifier).
    int ReadyFd() const { return ready_fd_; }
    std::vector<Control_event> TakeEvents();

    // Queues one line (the line end is added) for a client. False when the client has gone or
    // has just been dropped for having more than its bound of output unread.
    bool Send(uint64_t client, const std::string& line);
    // Closes the connection once what is queued for it has been written.
    void CloseAfterOutput(uint64_t client);

    // At the program's end: waits until every client's queued output is written (the reply to
    // "quit" among it), at most `most_ms` milliseconds, so a client that does not read cannot
    // hold the end up.
    void FinishOutput(int most_ms);

    // Connections open now (for tests and checks).
    size_t ClientCount() const;

    // Tests: while held, the server's thread leaves its sockets alone, so a test can line up
    // several happenings (a close, a new connection) for one round. Returns once the thread rests.
    void HoldForTest(bool hold);
    // Tests: called during set-up once the socket is bound in its private folder, with that
    // folder's path, to play another user who swaps the folder for a link.
    static void (*between_bind_and_link_for_test)(const std::string& private_folder);

private:
    struct Client {
        int fd = -1;
        std::string input;   // the partial line received so far
        std::string output;  // bytes still to be written
        size_t waiting_lines = 0;
        bool reading = true;         // false after end of input or an overlong line
        bool close_when_sent = false;
        bool dropped = false;  // over the output bound: closed at the next pass
    };

    void Listen();
    void Run();
    void AcceptAll();
    void ReadFrom(uint64_t id, Client& client, bool hung_up);
    void WriteTo(Client& client);
    void EndConnection(Client& client);
    void CloseClient(uint64_t id, Client& client);
    void Post(Control_event event);  // with mutex_ held
    void Wake();

    const std::string path_;
    const size_t max_queued_output_;
    int listen_fd_ = -1;
    int wake_fd_ = -1;   // the owner wakes the thread (output queued, stop)
    int ready_fd_ = -1;  // the thread tells the owner that events wait
    uint64_t socket_device_ = 0, socket_inode_ = 0;

    mutable std::mutex mutex_;
    std::map<uint64_t, Client> clients_;
    std::vector<Control_event> events_;
    uint64_t next_client_ = 1;
    std::atomic<bool> stopping_{false};
    std::condition_variable held_changed_;  // with mutex_
    bool hold_for_test_ = false;
    bool held_ = false;
    std::thread thread_;
};
