// The windows program's control socket: commands from a client change the pages as the operator's
// actions would (a loop is a tab, a pump a panel), replies come back to that client, and while a
// dialog is open the commands wait for it.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDialog>
#include <QElapsedTimer>
#include <QTimer>
#include <QtTest>
#include <string>

#include "screens/screens_kit.h"
#include "screens/tloop.h"
#include "shell/control_link.h"
#include "shell/formmain.h"
#include "shell/gallion_application.h"
#include "shell/loop_holder.h"

using namespace screens_kit;

namespace {

// A client of the socket; every read is bounded by a deadline, with the window thread's events
// processed meanwhile (the commands run there).
class Client {
public:
    explicit Client(const std::string& path)
    {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    ~Client() { close(fd_); }

    void Send(const std::string& text) { ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL); }

    // The next reply line, or "(none)" when none came within the time.
    std::string Line(int timeout_ms = 5000)
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < timeout_ms) {
            const size_t end = received_.find('\n');
            if (end != std::string::npos) {
                const std::string line = received_.substr(0, end);
                received_.erase(0, end + 1);
                return line;
            }
            char buffer[4096];
            const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n > 0)
                received_.append(buffer, static_cast<size_t>(n));
            else
                QTest::qWait(5);
        }
        return "(none)";
    }

    std::string Command(const std::string& line)
    {
        Send(line + "\n");
        return Line();
    }

private:
    int fd_ = -1;
    std::string received_;
};

}  // namespace

class Control_link_test : public QObject {
    Q_OBJECT
private slots:
    void CommandsActOnThePages()
    {
        Test_place place;
        Window_rig rig;
        const std::string path = place.Dir().Path() + "/c.sock";
        Control_link link(path, rig.Window());
        Client client(path);
        Client other(path);

        const std::string added = client.Command("loop add zarn pty 1 8");
        QVERIFY2(added.rfind("ok 1 /dev/pts/", 0) == 0, added.c_str());
        TLoopHolder* tabs = rig.Window().LoopHolder();
        QCOMPARE(tabs->count(), 1);
        TLoop* page = tabs->Page(0);
        QCOMPARE(client.Command("pump add 1 3"), std::string("ok"));
        QVERIFY(page->Panel(2) != nullptr);
        QCOMPARE(other.Command("pump add 1 3"), std::string("error: position not available"));
        QCOMPARE(other.Command("state 1 3").substr(0, 13), std::string("ok {\"status\":"));

        // Removing a pump takes its panel, without the operator's question.
        QCOMPARE(client.Command("pump remove 1 3"), std::string("ok"));
        QVERIFY(page->Panel(2) == nullptr);
        QCOMPARE(client.Command("pump remove 1 3"), std::string("error: no pump 3"));

        QCOMPARE(client.Command("loop add cl pty 1 4").substr(0, 5), std::string("ok 2 "));
        QCOMPARE(tabs->count(), 2);
        QCOMPARE(client.Command("loop remove 1"), std::string("ok"));
        QCOMPARE(tabs->count(), 1);
        QCOMPARE(tabs->Page(0)->GetProtocol(), Protocol::current_loop);
    }

    void CommandsWaitWhileADialogIsOpen()
    {
        Test_place place;
        Window_rig rig;
        const std::string path = place.Dir().Path() + "/c.sock";
        Control_link link(path, rig.Window());
        Client client(path);
        QCOMPARE(client.Command("loop add zarn pty 1 8").substr(0, 4), std::string("ok 1"));

        // An operator's dialog: the command is answered only after it has been closed.
        QDialog dialog(&rig.Window());
        std::string while_open, after;
        QTimer::singleShot(0, [&] {
            client.Send("loop remove 1\n");
            while_open = client.Line(300);
            dialog.accept();
        });
        dialog.exec();
        QCOMPARE(while_open, std::string("(none)"));
        QCOMPARE(rig.Window().LoopHolder()->count(), 1);
        QCOMPARE(client.Line(), std::string("ok"));
        QCOMPARE(rig.Window().LoopHolder()->count(), 0);
    }
};

GALLION_SCREENS_TEST_MAIN(Control_link_test)
#include "control_link_test.moc"
