#include "platform/named_event.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/error.h"

namespace {

std::string UniqueName(const std::string& base)
{
    return "SPY_test_" + base + "_" + std::to_string(getpid());
}

// A one-byte message between parent and child, with a deadline on the receiving side.
class Pipe {
public:
    Pipe() { EXPECT_EQ(pipe(fds_), 0); }
    ~Pipe()
    {
        close(fds_[0]);
        close(fds_[1]);
    }
    void Send(char c)
    {
        ssize_t n = write(fds_[1], &c, 1);
        (void)n;
    }
    // The byte, or 0 when none came within the deadline.
    char Receive(int timeout_ms = 5000)
    {
        pollfd pfd{fds_[0], POLLIN, 0};
        char c = 0;
        if (poll(&pfd, 1, timeout_ms) == 1 && read(fds_[0], &c, 1) == 1)
            return c;
        return 0;
    }

private:
    int fds_[2] = {-1, -1};
};

int WaitChild(pid_t child)
{
    int status = 0;
    if (waitpid(child, &status, 0) != child)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(NamedEvent, CreateOpenSetClearInOneProcess)
{
    std::string name = UniqueName("local");
    EXPECT_FALSE(NamedEvent::Exists(name));
    EXPECT_EQ(NamedEvent::Open(name), nullptr);
    {
        std::unique_ptr<NamedEvent> created = NamedEvent::Create(name);
        EXPECT_FALSE(created->IsSet());  // initially clear
        EXPECT_TRUE(NamedEvent::Exists(name));
        std::unique_ptr<NamedEvent> opened = NamedEvent::Open(name);
        ASSERT_NE(opened, nullptr);
        opened->Set();
        EXPECT_TRUE(created->IsSet());
        EXPECT_TRUE(opened->IsSet());  // manual reset: stays set
        created->Clear();
        EXPECT_FALSE(opened->IsSet());
        EXPECT_THROW(NamedEvent::Create(name), Gallion_error);  // held by a live creator
    }
    EXPECT_FALSE(NamedEvent::Exists(name));
    EXPECT_EQ(NamedEvent::Open(name), nullptr);
}

TEST(NamedEvent, NamesAreEncodedOneToOne)
{
    EXPECT_EQ(NamedEvent::EncodeName("SPY_COM1"), "SPY_COM1");
    EXPECT_EQ(NamedEvent::EncodeName("SPY_/dev/pts/3"), "SPY_%2Fdev%2Fpts%2F3");
    EXPECT_EQ(NamedEvent::EncodeName("a b:c\xC3\xA9.-_%"), "a%20b%3Ac%C3%A9.-_%25");
    EXPECT_EQ(NamedEvent::ObjectName("SPY_a+b"), "/gallion-u" + std::to_string(geteuid()) + "-SPY_a%2Bb");
    for (const std::string& name : std::vector<std::string>{"a+b", "a@b", "a_b", "a%2Bb", "", "%", std::string("\0\x01\xFF", 3)}) {
        std::string decoded = "unchanged";
        ASSERT_TRUE(NamedEvent::DecodeName(NamedEvent::EncodeName(name), decoded)) << name;
        EXPECT_EQ(decoded, name);
    }
    std::string decoded;
    for (const char* stray : {"a+b", "%2", "%2b", "%41", "%G0", "a%"})  // not what EncodeName writes
        EXPECT_FALSE(NamedEvent::DecodeName(stray, decoded)) << stray;

    // Names that once shared an event (by replacing characters) are separate events now.
    auto plus = NamedEvent::Create(UniqueName("a+b"));
    auto at = NamedEvent::Create(UniqueName("a@b"));
    EXPECT_FALSE(NamedEvent::Exists(UniqueName("a_b")));
    auto underscore = NamedEvent::Create(UniqueName("a_b"));
    at->Set();
    EXPECT_FALSE(plus->IsSet());
    EXPECT_FALSE(underscore->IsSet());
}

TEST(NamedEvent, ListNamesTheLiveEventsOfThisUser)
{
    const std::string prefix = UniqueName("list") + "/";
    auto first = NamedEvent::Create(prefix + "x+y");
    auto second = NamedEvent::Create(prefix + "COM1");
    auto other = NamedEvent::Create(UniqueName("unlisted"));
    EXPECT_EQ(NamedEvent::List(prefix), (std::vector<std::string>{prefix + "COM1", prefix + "x+y"}));
    second.reset();
    EXPECT_EQ(NamedEvent::List(prefix), (std::vector<std::string>{prefix + "x+y"}));

    // A creator killed without cleaning up leaves its object; it is not listed.
    Pipe created;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto event = NamedEvent::Create(prefix + "killed");
        created.Send('c');
        pause();
        _exit(0);
    }
    ASSERT_EQ(created.Receive(), 'c');
    kill(child, SIGKILL);
    WaitChild(child);
    EXPECT_EQ(NamedEvent::List(prefix), (std::vector<std::string>{prefix + "x+y"}));
    auto again = NamedEvent::Create(prefix + "killed");  // and it can be created again
    EXPECT_EQ(NamedEvent::List(prefix).size(), 2u);
}

// Users never share events: another user neither sees nor switches ours and makes its own of
// the same name. Needs root to become another user.
TEST(NamedEvent, EventsArePerUser)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "becoming another user needs root";
    const std::string name = UniqueName("per-user");
    auto ours = NamedEvent::Create(name);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(10);
        if (NamedEvent::Exists(name) || NamedEvent::Open(name) != nullptr)
            _exit(11);
        if (!NamedEvent::List(name).empty())
            _exit(12);
        try {
            auto theirs = NamedEvent::Create(name);
            theirs->Set();
            _exit(NamedEvent::List(name).size() == 1 ? 0 : 13);
        } catch (const Gallion_error&) {
            _exit(14);
        }
    }
    EXPECT_EQ(WaitChild(child), 0);
    EXPECT_FALSE(ours->IsSet());
}

TEST(NamedEvent, AnotherProcessSeesSetsAndClearsIt)
{
    std::string name = UniqueName("shared");
    std::unique_ptr<NamedEvent> created = NamedEvent::Create(name);
    created->Set();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::unique_ptr<NamedEvent> opened = NamedEvent::Open(name);
        if (!opened || !NamedEvent::Exists(name))
            _exit(1);
        if (!opened->IsSet())
            _exit(2);
        opened->Clear();
        opened.reset();
        _exit(0);
    }
    EXPECT_EQ(WaitChild(child), 0);
    EXPECT_FALSE(created->IsSet());
    EXPECT_TRUE(NamedEvent::Exists(name));  // the child's closing does not remove it
}

TEST(NamedEvent, GoneOnceTheCreatingProcessExited)
{
    std::string name = UniqueName("child_created");
    Pipe ready, go;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::unique_ptr<NamedEvent> created = NamedEvent::Create(name);
        ready.Send('r');
        go.Receive(5000);
        int code = created->IsSet() ? 0 : 3;
        created.reset();
        _exit(code);
    }
    ASSERT_EQ(ready.Receive(), 'r');
    EXPECT_TRUE(NamedEvent::Exists(name));
    std::unique_ptr<NamedEvent> opened = NamedEvent::Open(name);
    ASSERT_NE(opened, nullptr);
    EXPECT_FALSE(opened->IsSet());
    opened->Set();
    go.Send('g');
    EXPECT_EQ(WaitChild(child), 0);  // the creator saw our Set
    EXPECT_FALSE(NamedEvent::Exists(name));
    EXPECT_EQ(NamedEvent::Open(name), nullptr);
}

TEST(NamedEvent, GoneOnceTheCreatorWasKilledAndCanBeCreatedAgain)
{
    std::string name = UniqueName("killed");
    Pipe ready;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::unique_ptr<NamedEvent> created = NamedEvent::Create(name);
        created->Set();
        ready.Send('r');
        for (;;)
            pause();  // killed here, no clean-up
    }
    ASSERT_EQ(ready.Receive(), 'r');
    EXPECT_TRUE(NamedEvent::Exists(name));
    kill(child, SIGKILL);
    EXPECT_EQ(WaitChild(child), 128 + SIGKILL);

    EXPECT_FALSE(NamedEvent::Exists(name));
    EXPECT_EQ(NamedEvent::Open(name), nullptr);
    std::unique_ptr<NamedEvent> again = NamedEvent::Create(name);  // replaces the leftover
    EXPECT_FALSE(again->IsSet());
    EXPECT_TRUE(NamedEvent::Exists(name));
}

}  // namespace
