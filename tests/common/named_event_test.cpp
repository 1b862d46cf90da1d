#include "common/named_event.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/error.h"

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

TEST(NamedEvent, SafeNameKeepsOnlyPortableCharacters)
{
    EXPECT_EQ(NamedEvent::SafeName("SPY_/dev/pts/3"), "SPY__dev_pts_3");
    EXPECT_EQ(NamedEvent::SafeName("SPY_COM1"), "SPY_COM1");
    EXPECT_EQ(NamedEvent::SafeName("a b:c\xC3\xA9.-_"), "a_b_c__.-_");
    // Names that differ only in replaced characters share an event.
    std::string name = UniqueName("path/x");
    auto created = NamedEvent::Create(name);
    EXPECT_TRUE(NamedEvent::Exists(UniqueName("path:x")));
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
