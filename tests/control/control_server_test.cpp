// The control socket and the command sessions: privacy of the socket file, stale and live
// sockets, a private folder swapped for a link during set-up, line cutting, overlong lines, half
// lines at disconnect, a client that stops reading, many connections opened and dropped, the
// place of a client that has just closed, and the order and independence of sessions.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/error.h"
#include "control/control_server.h"
#include "headless/command_sessions.h"
#include "headless/runner.h"
#include "support/wait.h"

namespace {

class TempFolder {
public:
    TempFolder()
    {
        char name[] = "/tmp/gallion-control-XXXXXX";
        path_ = mkdtemp(name);
    }
    ~TempFolder() { std::system(("rm -rf " + path_).c_str()); }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

int Connect(const std::string& path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    timeval timeout{3, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return fd;
}

void SendAll(int fd, const std::string& text)
{
    ASSERT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
}

// Collects the server's events until `condition` holds on them (or 5 s pass).
std::vector<Control_event> EventsUntil(Control_server& server,
                                       const std::function<bool(const std::vector<Control_event>&)>& condition)
{
    std::vector<Control_event> events;
    WaitFor([&] {
        for (Control_event& event : server.TakeEvents())
            events.push_back(std::move(event));
        return condition(events);
    });
    return events;
}

bool Has(const std::vector<Control_event>& events, Control_event::Kind kind)
{
    for (const Control_event& event : events)
        if (event.kind == kind)
            return true;
    return false;
}

std::string ReadAvailable(int fd)
{
    char buffer[65536];
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

int OpenDescriptors()
{
    int count = 0;
    DIR* folder = opendir("/proc/self/fd");
    while (readdir(folder))
        ++count;
    closedir(folder);
    return count;
}

// Connects as many clients as the server takes and waits until it has them all; returns their
// descriptors (fewer when a connection failed or the server did not take them all).
std::vector<int> TakeEveryPlace(Control_server& server)
{
    std::vector<int> open_ones;
    for (size_t i = 0; i < Control_server::kMaxClients; ++i) {
        const int fd = Connect(server.Path());
        if (fd < 0)
            return open_ones;
        open_ones.push_back(fd);
    }
    if (!WaitFor([&] { return server.ClientCount() == Control_server::kMaxClients; })) {
        close(open_ones.back());
        open_ones.pop_back();
    }
    return open_ones;
}

}  // namespace

TEST(ControlServer, SocketIsPrivateStaleOneReplacedLiveOneAndOtherFilesRefused)
{
    TempFolder folder;
    const std::string path = folder.File("control.sock");
    {
        Control_server server(path);
        struct stat info {};
        ASSERT_EQ(lstat(path.c_str(), &info), 0);
        EXPECT_TRUE(S_ISSOCK(info.st_mode));
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        EXPECT_EQ(info.st_uid, geteuid());
        try {
            Control_server second(path);
            ADD_FAILURE() << "a live socket was taken over";
        } catch (const Gallion_error& error) {
            EXPECT_NE(std::string(error.what()).find("in use by another running program"), std::string::npos)
                << error.what();
        }
        // The refused second server has not touched the first one's socket.
        const int fd = Connect(path);
        EXPECT_GE(fd, 0);
        close(fd);
    }
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "the socket file stays after the server";

    // A socket file left by a program that died: bound, never unlinked.
    const int dead = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(dead, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    close(dead);
    {
        Control_server server(path);
        const int fd = Connect(path);
        EXPECT_GE(fd, 0);
        close(fd);
    }

    const std::string plain = folder.File("notes.txt");
    std::ofstream(plain) << "mine";
    EXPECT_THROW(Control_server server(plain), Gallion_error);
    std::ifstream kept(plain);
    std::string text;
    kept >> text;
    EXPECT_EQ(text, "mine");
}

namespace {

std::string swapped_folder;  // the private folder the hook below replaced
std::string swap_target;     // where the planted link points

// Plays another user who can write beside the socket: the private folder is renamed away and a
// link to a folder with someone's file "s" put in its place, just after the bind.
void SwapFolderForLink(const std::string& private_folder)
{
    swapped_folder = private_folder;
    rename(private_folder.c_str(), (private_folder + ".moved").c_str());
    symlink(swap_target.c_str(), private_folder.c_str());
}

}  // namespace

TEST(ControlServer, SetUpGoesThroughItsFolderEvenWhenTheFolderIsSwappedForALink)
{
    TempFolder folder;
    swap_target = folder.File("elsewhere");
    ASSERT_EQ(mkdir(swap_target.c_str(), 0755), 0);
    const std::string victim = swap_target + "/s";
    std::ofstream(victim) << "keep";
    ASSERT_EQ(chmod(victim.c_str(), 0644), 0);
    const std::string path = folder.File("control.sock");
    Control_server::between_bind_and_link_for_test = SwapFolderForLink;
    try {
        Control_server server(path);
        Control_server::between_bind_and_link_for_test = nullptr;
        ASSERT_FALSE(swapped_folder.empty()) << "the set-up never called the hook";
        struct stat info {};
        ASSERT_EQ(lstat(path.c_str(), &info), 0);
        EXPECT_TRUE(S_ISSOCK(info.st_mode));
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        const int fd = Connect(path);
        ASSERT_GE(fd, 0);
        SendAll(fd, "hello\n");
        const auto events = EventsUntil(server, [](const auto& got) { return Has(got, Control_event::Kind::line); });
        EXPECT_TRUE(Has(events, Control_event::Kind::line));
        close(fd);
        // The socket's private name went from the folder that was opened, wherever it is now.
        EXPECT_NE(access((swapped_folder + ".moved/s").c_str(), F_OK), 0);
    } catch (const Gallion_error& error) {
        Control_server::between_bind_and_link_for_test = nullptr;
        ADD_FAILURE() << error.what();
    }
    // The file behind the link is as it was: neither its mode changed, nor linked, nor removed.
    struct stat info {};
    ASSERT_EQ(stat(victim.c_str(), &info), 0) << "a file outside the private folder was removed";
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    EXPECT_EQ(info.st_nlink, 1u);
    std::ifstream kept(victim);
    std::string text;
    kept >> text;
    EXPECT_EQ(text, "keep");
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "the socket file stays after the server";
}

TEST(ControlServer, LinesOverlongLinesAndHalfLinesAtDisconnect)
{
    TempFolder folder;
    Control_server server(folder.File("c.sock"));
    const int fd = Connect(server.Path());
    ASSERT_GE(fd, 0);
    const char input[] = "state 1 1\r\nloop list\n\x01\xff\x00junk\npartial";
    SendAll(fd, std::string(input, sizeof input - 1));
    std::vector<Control_event> events =
        EventsUntil(server, [](const std::vector<Control_event>& got) { return got.size() >= 3; });
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].line, "state 1 1");
    EXPECT_EQ(events[1].line, "loop list");
    EXPECT_EQ(events[2].line, std::string("\x01\xff\x00junk", 7));
    const uint64_t client = events[0].client;
    EXPECT_TRUE(server.Send(client, "ok"));
    EXPECT_EQ(ReadAvailable(fd), "ok\n");

    // The half line is dropped when the client stops sending; its replies may still be written.
    shutdown(fd, SHUT_WR);
    events = EventsUntil(server, [](const auto& got) { return Has(got, Control_event::Kind::input_ended); });
    ASSERT_EQ(events.size(), 1u) << "the half line came as a line";
    EXPECT_TRUE(server.Send(client, "ok late"));
    server.CloseAfterOutput(client);
    EXPECT_EQ(ReadAvailable(fd), "ok late\n");
    EXPECT_EQ(ReadAvailable(fd), "") << "not closed after its output";
    close(fd);
    EventsUntil(server, [](const auto& got) { return Has(got, Control_event::Kind::gone); });

    // A line over the limit: the client is read no more.
    const int flooder = Connect(server.Path());
    SendAll(flooder, "loop list\n" + std::string(Control_server::kMaxLineBytes + 1, 'x'));
    events = EventsUntil(server, [](const auto& got) { return Has(got, Control_event::Kind::line_too_long); });
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].line, "loop list");
    SendAll(flooder, "\nstate 1 1\n");
    EXPECT_FALSE(WaitFor([&] { return !server.TakeEvents().empty(); }, 100));
    close(flooder);
}

TEST(ControlServer, ClientThatStopsReadingIsDroppedWithoutStallingTheSender)
{
    TempFolder folder;
    Control_server server(folder.File("c.sock"), 64 * 1024);
    const int stalled = Connect(server.Path());
    const int reader = Connect(server.Path());
    SendAll(stalled, "traffic on\n");
    SendAll(reader, "hello\n");
    std::vector<Control_event> events =
        EventsUntil(server, [](const auto& got) { return got.size() >= 2; });
    ASSERT_EQ(events.size(), 2u);
    const uint64_t stalled_id = events[0].line == "traffic on" ? events[0].client : events[1].client;
    const uint64_t reader_id = events[0].line == "hello" ? events[0].client : events[1].client;

    // Far more than the socket buffer and the bound: every Send returns at once; past the bound
    // the client is dropped and its output thrown away.
    const std::string line(200, 't');
    int accepted = 0;
    for (int i = 0; i < 20000 && server.Send(stalled_id, line); ++i)
        ++accepted;
    EXPECT_LT(accepted, 20000);
    EXPECT_FALSE(server.Send(stalled_id, line));
    events = EventsUntil(server, [](const auto& got) { return Has(got, Control_event::Kind::gone); });
    ASSERT_TRUE(Has(events, Control_event::Kind::gone));
    EXPECT_EQ(events.back().client, stalled_id);

    // The other client is served as before.
    EXPECT_TRUE(server.Send(reader_id, "ok"));
    EXPECT_EQ(ReadAvailable(reader), "ok\n");
    close(stalled);
    close(reader);
}

TEST(ControlServer, HundredsOfConnectionsOpenedAndDroppedLeaveNothingBehind)
{
    TempFolder folder;
    Control_server server(folder.File("c.sock"));
    const int before = OpenDescriptors();
    // Ten rounds of 30 connections opened and dropped, a third of them after half a line; each
    // round stays below the limit of open connections, so each one must come and go.
    const int rounds = 10, per_round = 30;
    int gone = 0;
    for (int round = 1; round <= rounds; ++round) {
        for (int i = 0; i < per_round; ++i) {
            const int fd = Connect(server.Path());
            ASSERT_GE(fd, 0);
            if (i % 3 == 0)
                SendAll(fd, "loop li");
            close(fd);
        }
        EXPECT_TRUE(WaitFor([&] {
            for (const Control_event& event : server.TakeEvents()) {
                EXPECT_NE(event.kind, Control_event::Kind::line) << "a half line was taken as a line";
                gone += event.kind == Control_event::Kind::gone;
            }
            return gone == round * per_round;
        })) << gone;
    }
    EXPECT_EQ(server.ClientCount(), 0u);
    EXPECT_EQ(OpenDescriptors(), before);

    // Beyond the limit of open connections a new one is told so and closed.
    std::vector<int> open_ones = TakeEveryPlace(server);
    ASSERT_EQ(open_ones.size(), Control_server::kMaxClients);
    const int extra = Connect(server.Path());
    EXPECT_EQ(ReadAvailable(extra), "error: too many connections\n");
    EXPECT_EQ(ReadAvailable(extra), "");
    close(extra);
    for (int fd : open_ones)
        close(fd);
}

// With every place taken, a client that closes and a new one that connects in the same round:
// the closed one's place is freed first, so the new one is served.
TEST(ControlServer, AClientThatClosedFreesItsPlaceForTheNextInTheSameRound)
{
    TempFolder folder;
    Control_server server(folder.File("c.sock"));
    std::vector<int> open_ones = TakeEveryPlace(server);
    ASSERT_EQ(open_ones.size(), Control_server::kMaxClients);
    server.HoldForTest(true);
    close(open_ones.back());
    open_ones.pop_back();
    const int next = Connect(server.Path());  // waits to be accepted
    ASSERT_GE(next, 0);
    server.HoldForTest(false);
    SendAll(next, "hello\n");
    const auto events = EventsUntil(server, [](const auto& got) {
        for (const Control_event& event : got)
            if (event.kind == Control_event::Kind::line && event.line == "hello")
                return true;
        return false;
    });
    EXPECT_TRUE(Has(events, Control_event::Kind::line)) << "the new client was not served";
    EXPECT_TRUE(Has(events, Control_event::Kind::gone));
    EXPECT_EQ(server.ClientCount(), Control_server::kMaxClients);
    close(next);
    for (int fd : open_ones)
        close(fd);
}

TEST(CommandSessions, SleepAndWaitHoldOnlyTheirOwnSession)
{
    Headless_runner runner;
    Command_sessions sessions(runner);
    std::vector<std::string> first, second;
    sessions.Open(1, [&](const std::string& line) { first.push_back(line); });
    sessions.Open(2, [&](const std::string& line) { second.push_back(line); });

    sessions.Submit(1, "sleep 150");
    sessions.Submit(1, "loop list");
    sessions.Submit(2, "loop list");
    sessions.Submit(2, "wait 1 1 status 2 100");
    sessions.Submit(2, "wait 1 1 status 2");
    sessions.Submit(2, "# a comment gets no reply");
    sessions.Submit(2, "");
    sessions.Run();
    EXPECT_TRUE(first.empty()) << "the sleeping session went on";
    EXPECT_EQ(second, (std::vector<std::string>{"ok []", "error: no loop 1",
                                                "error: usage: wait L P status N TIMEOUT_MS"}));
    ASSERT_TRUE(sessions.NextCheck().has_value());
    EXPECT_TRUE(WaitFor([&] {
        sessions.Run();
        return first.size() == 2;
    }));
    EXPECT_EQ(first, (std::vector<std::string>{"ok", "ok []"}));
    EXPECT_FALSE(sessions.NextCheck().has_value());

    // "quit" ends everything once; a closed session's queued lines never run.
    sessions.Submit(1, "sleep 10000");
    sessions.Submit(1, "loop add zarn pty 1 8");
    sessions.Run();
    sessions.Close(1);
    sessions.Submit(2, "quit");
    sessions.Run();
    EXPECT_TRUE(sessions.QuitRequested());
    EXPECT_EQ(second.back(), "ok");
    EXPECT_EQ(runner.Execute({"loop", "list"}).text, "[]");
}

TEST(CommandSessions, TrafficIsPerSessionAndFeedsRunWhileAnyoneListens)
{
    Headless_runner runner;
    Command_sessions sessions(runner);
    std::vector<std::string> first, second;
    sessions.Open(1, [&](const std::string& line) { first.push_back(line); });
    sessions.Open(2, [&](const std::string& line) { second.push_back(line); });
    sessions.Submit(1, "traffic on");
    sessions.Submit(2, "traffic sideways");
    sessions.Run();
    EXPECT_EQ(first, (std::vector<std::string>{"ok"}));
    EXPECT_EQ(second, (std::vector<std::string>{"error: usage: traffic on|off"}));
    EXPECT_TRUE(sessions.AnyTraffic());
    EXPECT_TRUE(runner.TrafficOn());
    sessions.Close(1);
    EXPECT_FALSE(runner.TrafficOn()) << "the feeds stay on with nobody listening";
}
