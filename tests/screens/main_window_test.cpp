// The main window as a user meets it: its menus, keys, settings, the communication pane beside
// the pages, the New loop and Preferences dialogs it opens, and its shut-down (also through
// SIGTERM to the real program), with real loops whose controller the test plays on a
// pseudo-terminal.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/settings.h"
#include "loops/loop_files.h"
#include "screens/screens_kit.h"
#include "screens/tcl_loop.h"
#include "screens/tloop.h"
#include "shell/comm_view.h"
#include "shell/formconfig.h"
#include "shell/formmain.h"
#include "shell/gallion_application.h"
#include "shell/loop_holder.h"
#include "shell/taddloop.h"
#include "support/zarn_master.h"

using namespace screens_kit;

namespace {

constexpr uint8_t kPump1 = 0x50;

std::string FileText(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Exists(const std::string& path)
{
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

// Runs `fill` once the dialog is on screen (inside its modal loop), within a deadline.
void WhenShown(QWidget* dialog, std::function<void()> fill)
{
    auto* timer = new QTimer(dialog);
    auto started = std::make_shared<QElapsedTimer>();
    started->start();
    QObject::connect(timer, &QTimer::timeout, dialog, [timer, dialog, fill, started] {
        if (dialog->isVisible()) {
            timer->stop();
            timer->deleteLater();
            fill();
        } else if (started->elapsed() > 5000) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start(10);
}

// A key held down as the keyboard delivers it: every press (the first, then the auto-repeats)
// first asks the shortcuts (a shortcut override), then comes as a key press unless a shortcut took
// it; then the release.
void HoldKeyThroughShortcuts(QWidget* widget, Qt::Key key, int repeats)
{
    for (int i = 0; i <= repeats; ++i) {
        const bool repeat = i > 0;
        if (!qt_sendShortcutOverrideEvent(widget, 0, key, Qt::NoModifier, QString(), repeat)) {
            QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, QString(), repeat);
            QApplication::sendEvent(widget, &press);
        }
    }
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
    QApplication::sendEvent(widget, &release);
}

QStringList MenuTitles(QMenuBar* bar)
{
    QStringList titles;
    for (QAction* action : bar->actions()) {
        if (action->isVisible())
            titles << action->text();
    }
    return titles;
}

bool PollUntilEot(ZarnMaster& master, uint8_t address, int* last_status = nullptr)
{
    for (int i = 0; i < 30; ++i) {
        const auto reply = master.PollAndAck(address);
        if (!reply)
            return false;
        if (reply->empty())
            return true;
        if (last_status && ZarnController::LastStatus(*reply) >= 0)
            *last_status = ZarnController::LastStatus(*reply);
    }
    return false;
}

}  // namespace

class Main_window_test : public QObject {
    Q_OBJECT

    std::unique_ptr<Test_place> place_;

private slots:
    void init()
    {
        place_ = std::make_unique<Test_place>();
        place_->Settings().Set("Zarn", "HandleReturningMessages", "0");  // the test controller does not echo
        place_->Settings().Set("Zarn", "PumpSleepMs", "5");
    }

    void cleanup() { place_.reset(); }

    // No settings file: the window opens as a first start has it, and the first exit creates the
    // file with the window's keys and writes the auto-save file.
    void FirstStartAndExit()
    {
        std::filesystem::remove(place_->Settings().Path());
        Window_rig rig;
        TfMain& window = rig.Window();
        QCOMPARE(window.windowTitle(), QStringLiteral("Gallion"));
        QCOMPARE(window.size(), QSize(753, 580));
        QCOMPARE(window.pos(), QPoint(100, 100));
        QVERIFY(window.CommPane()->isVisible());
        QCOMPARE(window.CommPane()->width(), 753 - 475);
        QCOMPARE(window.LoopHolder()->width(), 465);
        QCOMPARE(window.VersionPanel()->text(), QStringLiteral("  V1.2.8"));
        QCOMPARE(window.statusBar()->height(), 25);
        QCOMPARE(MenuTitles(window.menuBar()), (QStringList{"File", "Configure", "View", "Help"}));
        QCOMPARE(Captions(window.FileMenu()), (QStringList{"Load configuration", "Save configuration", "Exit"}));
        QCOMPARE(Captions(window.ConfigureMenu()), (QStringList{"New loop", "Remove loop", "Preferences..."}));
        QCOMPARE(Captions(window.ViewMenu()), (QStringList{"Tiny", "Hide communication"}));
        QCOMPARE(Captions(window.HelpMenu()), (QStringList{"Key commands...", "About..."}));
        QCOMPARE(Captions(window.SpyPortMenu()), (QStringList{"SpyPort Settings...", "Control SpyPort..."}));
        QCOMPARE(window.NewLoopItem()->shortcut(), QKeySequence(Qt::Key_F2));
        QCOMPARE(window.RemoveLoopItem()->shortcut(), QKeySequence(Qt::Key_F3));
        QCOMPARE(window.TinyItem()->shortcut(), QKeySequence(Qt::Key_F8));
        QCOMPARE(window.HideCommunicationItem()->shortcut(), QKeySequence(Qt::Key_F7));
        QCOMPARE(window.KeyCommandsItem()->shortcut(), QKeySequence(Qt::Key_F1));
        // Every item works.
        for (QMenu* menu : {window.FileMenu(), window.ConfigureMenu(), window.ViewMenu(), window.SpyPortMenu(),
                            window.HelpMenu()}) {
            for (QAction* item : menu->actions())
                QVERIFY2(item->isEnabled(), qPrintable(item->text()));
        }
        QVERIFY(window.Timer()->isActive());
        QCOMPARE(window.Timer()->interval(), 1000);
        QVERIFY(window.CommTimer()->isActive());
        QCOMPARE(window.CommTimer()->interval(), 200);
        QVERIFY(!window.AddLoopDialog()->SpyPortBox()->isVisibleTo(window.AddLoopDialog()));
        QVERIFY(!window.AddLoopDialog()->LinePacingBox()->isChecked());

        // No loop: F3, F5 and the timers do nothing; "Exit" still auto-saves.
        Modal_answerer answerer;
        rig.Press(Qt::Key_F3);
        rig.Press(Qt::Key_F5);
        QTest::qWait(250);
        QCOMPARE(answerer.Count(), 0);
        MenuItem(window.FileMenu(), QStringLiteral("Exit"))->trigger();
        QVERIFY(!window.isVisible());
        QVERIFY(window.IsShutDown());
        QVERIFY(!window.Timer()->isActive());
        QVERIFY(!window.CommTimer()->isActive());
        const std::string ini = FileText(place_->Settings().Path());
        for (const char* line : {"[Main]", "CommunicationHidden=0", "Left=100", "Top=100", "Width=753", "Height=580",
                                 "[AddLoop]", "Protocol=0", "ComPort=0", "Address=0"})
            QVERIFY2(ini.find(line) != std::string::npos, line);
        QVERIFY(Exists("autosave.gcf"));
        QCOMPARE(Loop_file("autosave.gcf").LoopCount(), 0);
    }

    // The stored placement, pane state, New loop memory and SpyPort choice come back at the first
    // showing; a position off every screen is moved onto the primary one.
    void StoredSettingsApplyAtFirstShow()
    {
        TempSettings& s = place_->Settings();
        s.Set("Main", "CommunicationHidden", "1");
        s.Set("Main", "Left", "-30000");
        s.Set("Main", "Top", "60");
        s.Set("Main", "Width", "500");
        s.Set("Main", "Height", "450");
        s.Set("Main", "ShowSpyPort", "1");
        s.Set("Main", "AutoSave", "0");
        s.Set("Main", "LineSpeedPacing", "1");
        s.Set("AddLoop", "Protocol", "1");
        s.Set("AddLoop", "ComPort", "2");
        s.Set("AddLoop", "Address", "5");
        Window_rig rig;
        TfMain& window = rig.Window();
        QVERIFY(window.HideCommunicationItem()->isChecked());
        QVERIFY(!window.CommPane()->isVisible());
        QCOMPARE(window.size(), QSize(500, 450));
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        QVERIFY(screen.contains(window.pos()));
        QCOMPARE(window.y(), 60);
        QCOMPARE(MenuTitles(window.menuBar()), (QStringList{"File", "Configure", "View", "SpyPort", "Help"}));
        QVERIFY(window.AddLoopDialog()->SpyPortBox()->isVisibleTo(window.AddLoopDialog()));
        QCOMPARE(window.AddLoopDialog()->Memory(), (App_settings::Add_loop_memory{1, 2, 5, "COM3"}));
        QVERIFY(window.AddLoopDialog()->LinePacingBox()->isChecked());

        // Shut down with the pane hidden and auto-save off.
        window.close();
        const std::string ini = FileText(s.Path());
        QVERIFY(ini.find("CommunicationHidden=1") != std::string::npos);
        QVERIFY(ini.find("Protocol=1") != std::string::npos);
        QVERIFY(ini.find("Address=5") != std::string::npos);
        QVERIFY(!Exists("autosave.gcf"));
    }

    // F7 and the menu item toggle the pane once per press; twice gives the 753 pixels back, and the
    // active page's feed follows the pane.
    void HideCommunicationTwiceRestores()
    {
        PtyController pty;
        Window_rig rig;
        TfMain& window = rig.Window();
        TLoop* page = rig.AddPage(Protocol::zarn, pty.SlavePath(), 1, 4);
        QVERIFY(page->Loop().IsCommunicationOn());

        rig.Press(Qt::Key_F7);
        QVERIFY(window.HideCommunicationItem()->isChecked());
        QVERIFY(!window.CommPane()->isVisible());
        QCOMPARE(window.width(), 475);
        QVERIFY(!page->Loop().IsCommunicationOn());
        rig.Press(Qt::Key_F7);
        QVERIFY(!window.HideCommunicationItem()->isChecked());
        QVERIFY(window.CommPane()->isVisible());
        QCOMPARE(window.width(), 753);
        QVERIFY(page->Loop().IsCommunicationOn());

        // Another page becomes active while the pane is hidden (F7, F5, F7, F5): both feeds come
        // back as they were, and the first loop's new traffic reaches the view.
        ZarnMaster master(pty);
        page->AddPump(0);
        PtyController pty_b;
        TLoop* b = rig.AddPage(Protocol::zarn, pty_b.SlavePath(), 1, 4);
        rig.Press(Qt::Key_F5);
        QCOMPARE(window.ActivePage(), page);
        for (Qt::Key key : {Qt::Key_F7, Qt::Key_F5, Qt::Key_F7, Qt::Key_F5})
            rig.Press(key);
        QCOMPARE(window.ActivePage(), page);
        QVERIFY(page->Loop().IsCommunicationOn());
        QVERIFY(b->SavedCommunication());
        QCOMPARE(window.CommPane()->StopStartButton()->text(), QStringLiteral("Stop"));
        QVERIFY(master.SendData(kPump1, {0x01, 0x01, 0x00}));
        QVERIFY(WaitUntil([&] {
            window.CommPane()->Drain();
            return window.CommPane()->Lines().join(QLatin1Char('\n')).contains(QStringLiteral("<P1 DATA"));
        }));
        rig.Press(Qt::Key_F7);
        QVERIFY(!page->Loop().IsCommunicationOn());
        rig.Press(Qt::Key_F7);

        // The menu item does the same; a held F7 toggles once, though F7 is its menu shortcut.
        window.HideCommunicationItem()->trigger();
        QCOMPARE(window.width(), 475);
        window.HideCommunicationItem()->trigger();
        QCOMPARE(window.width(), 753);
        HoldKeyThroughShortcuts(rig.KeyTarget(), Qt::Key_F7, 5);
        QVERIFY(window.HideCommunicationItem()->isChecked());
        QCOMPARE(window.width(), 475);

        // The window claims its keys before any shortcut, so its pages see them first.
        QKeyEvent override(QEvent::ShortcutOverride, Qt::Key_F2, Qt::NoModifier);
        override.ignore();
        QApplication::sendEvent(page, &override);
        QVERIFY(override.isAccepted());
    }

    // F3 asks once per press; No keeps the loop, Yes destroys it (the controller's polls go
    // unanswered). F5 wraps after the last tab.
    void RemoveLoopAndNextPageKeys()
    {
        PtyController pty_a, pty_b;
        ZarnMaster master_a(pty_a);
        Window_rig rig;
        TfMain& window = rig.Window();
        TLoop* a = rig.AddPage(Protocol::zarn, pty_a.SlavePath(), 1, 4);
        a->AddPump(0);
        rig.AddPage(Protocol::current_loop, pty_b.SlavePath(), 1, 4);
        QCOMPARE(window.LoopHolder()->currentIndex(), 1);
        rig.Press(Qt::Key_F5);
        QCOMPARE(window.LoopHolder()->currentIndex(), 0);
        rig.Press(Qt::Key_F5);
        QCOMPARE(window.LoopHolder()->currentIndex(), 1);
        rig.Press(Qt::Key_F5);
        QCOMPARE(window.ActivePage(), a);
        QVERIFY(master_a.Poll(kPump1));

        {
            Modal_answerer no({QMessageBox::No});
            rig.Press(Qt::Key_F3);
            QCOMPARE(no.Texts(), QStringList{QStringLiteral("Do you really want to remove the loop? ")});
        }
        QCOMPARE(window.LoopHolder()->count(), 2);
        {
            Modal_answerer yes({QMessageBox::Yes});
            rig.Press(Qt::Key_F3);
            QCOMPARE(yes.Count(), 1);
        }
        QCOMPARE(window.LoopHolder()->count(), 1);
        QVERIFY(window.ActivePage() != a);
        pty_a.Drain();
        QVERIFY(!master_a.Poll(kPump1, 300));
    }

    // The page's keys keep working with the menu shortcuts present, and a dialog's text fields
    // keep their keys: a digit typed into New loop's "OR  From" field never lifts a nozzle, F7
    // there never toggles the pane.
    void KeysGoToThePageOrToTheOpenDialog()
    {
        PtyController pty;
        Window_rig rig;
        TfMain& window = rig.Window();
        TLoop* page = rig.AddPage(Protocol::zarn, pty.SlavePath(), 1, 4);
        rig.Press(Qt::Key_Insert);
        QVERIFY(page->Loop().HasPump(0));
        // D: only the selected pump's traffic, which the pane's filter label shows.
        rig.Press(Qt::Key_D);
        QCOMPARE(int(page->Loop().GetFilterAddress()), int(kPump1));
        window.CommPane()->Drain();
        QCOMPARE(window.CommPane()->FilterLabel()->text(), QStringLiteral("1"));

        TAddLoop* dialog = window.AddLoopDialog();
        bool typed = false;
        WhenShown(dialog, [&] {
            QTest::keyClick(dialog->FromField(), Qt::Key_3);
            QTest::keyClick(dialog->FromField(), Qt::Key_F7);
            QTest::keyClick(dialog->FromField(), Qt::Key_Insert);
            typed = dialog->FromField()->text() == QStringLiteral("3");
            dialog->CancelButton()->click();
        });
        rig.Press(Qt::Key_F2);
        QVERIFY(typed);
        QVERIFY(!window.HideCommunicationItem()->isChecked());
        QVERIFY(!page->Loop().HasPump(1));
        Pump_detail detail;
        QVERIFY(page->Loop().GetPumpDetail(0, detail));
        QCOMPARE(detail.selected_nozzle, 0);
        QCOMPARE(window.LoopHolder()->count(), 1);
    }

    // New loop on a port a loop already uses: the port's failure is shown, no page results.
    void NewLoopOnAPortInUse()
    {
        PtyController pty;
        Window_rig rig;
        TfMain& window = rig.Window();
        rig.AddPage(Protocol::zarn, pty.SlavePath(), 1, 4);
        TAddLoop* dialog = window.AddLoopDialog();
        WhenShown(dialog, [&] {
            dialog->ProtocolList()->setCurrentIndex(0);
            dialog->PortList()->setEditText(QString::fromStdString(pty.SlavePath()));
            dialog->FromField()->setText(QStringLiteral("5"));
            dialog->ToField()->setText(QStringLiteral("8"));
            dialog->ActivateButton()->click();
        });
        Modal_answerer answerer;
        window.NewLoopItem()->trigger();
        QCOMPARE(answerer.Count(), 1);
        QVERIFY2(answerer.Texts()[0].startsWith(QStringLiteral("Invalid port")), qPrintable(answerer.Texts()[0]));
        QCOMPARE(window.LoopHolder()->count(), 1);
    }

    // Preferences from the menu: the dialog the window keeps, modal, writing through "Ok".
    void PreferencesFromTheMenu()
    {
        Window_rig rig;
        TfMain& window = rig.Window();
        TfConfig* config = window.ConfigDialog();
        bool shown = false;
        WhenShown(config, [&] {
            shown = config->isModal() || config->windowModality() != Qt::NonModal;
            config->findChild<QLineEdit*>(QStringLiteral("ZarnPumpSleepMs"))->setText(QStringLiteral("40"));
            config->OkButton()->click();
        });
        MenuItem(window.ConfigureMenu(), QStringLiteral("Preferences..."))->trigger();
        QVERIFY(shown);
        QCOMPARE(Settings::ReadInt("Zarn", "PumpSleepMs", 0), 40);
    }

    // Hiding the window (as the mini view will) switches the active page's feed off; showing it
    // again gives back the feed state it had, also a feed the user had stopped. Minimising is no
    // hide: the feed keeps running.
    void HidingAndShowingKeepTheFeedState()
    {
        PtyController pty;
        Window_rig rig;
        TfMain& window = rig.Window();
        TLoop* page = rig.AddPage(Protocol::zarn, pty.SlavePath(), 1, 4);
        window.hide();
        QVERIFY(!page->Loop().IsCommunicationOn());
        QVERIFY(!window.Timer()->isActive());
        QVERIFY(!window.CommTimer()->isActive());
        window.show();
        QVERIFY(page->Loop().IsCommunicationOn());
        QVERIFY(window.Timer()->isActive());
        QVERIFY(window.CommTimer()->isActive());

        ClickButton(window.CommPane()->StopStartButton());
        QVERIFY(!page->Loop().IsCommunicationOn());
        window.hide();
        window.show();
        QVERIFY(!page->Loop().IsCommunicationOn());
        QCOMPARE(window.CommPane()->StopStartButton()->text(), QStringLiteral("Start"));
        ClickButton(window.CommPane()->StopStartButton());
        QVERIFY(page->Loop().IsCommunicationOn());

        window.showMinimized();
        QTest::qWait(50);
        QVERIFY(page->Loop().IsCommunicationOn());
        QVERIFY(window.CommTimer()->isActive());
    }

    // Tabs of 111 pixels, four side by side within the tab control whatever their captions; a
    // long caption is elided in its middle and whole in the tab's tool tip. A virtual port's
    // device path is in the tab's tool tip and the status bar.
    void TabsShowFourLoopsAndTheVirtualPort()
    {
        PtyController pty;
        Window_rig rig;
        TfMain& window = rig.Window();
        TLoop* page = rig.AddPage(Protocol::zarn, pty.SlavePath(), 1, 4);
        QTabBar* bar = window.LoopHolder()->tabBar();
        QVERIFY(window.PortPanel()->text().isEmpty());
        QCOMPARE(window.LoopHolder()->tabToolTip(0), page->Caption());

        std::vector<std::string> devices;
        for (const char* name : {"a-rather-long-name-of-a-line", "another-long-line-name", "line"}) {
            std::unique_ptr<Pump_loop> loop =
                CreateLoop(Protocol::zarn, "pty:" + place_->Dir().File(name), false, 1, 4);
            devices.push_back(loop->DevicePath());
            window.AddPage(MakeLoopPage(std::move(loop), window.Dialogs()));
        }
        QVERIFY(window.PortPanel()->text().contains(QString::fromStdString(devices.back())));
        for (int tab = 1; tab < 4; ++tab) {
            const QString tip = window.LoopHolder()->tabToolTip(tab);
            QVERIFY(tip.contains(window.LoopHolder()->Page(tab)->Caption()));
            QVERIFY(tip.contains(QString::fromStdString(devices[static_cast<size_t>(tab - 1)])));
        }
        QCOMPARE(bar->elideMode(), Qt::ElideMiddle);
        QVERIFY(bar->fontMetrics().horizontalAdvance(window.LoopHolder()->tabText(1)) > 111);
        window.LoopHolder()->setCurrentIndex(0);
        QCoreApplication::processEvents();
        for (int tab = 0; tab < 4; ++tab) {
            QCOMPARE(bar->tabRect(tab).width(), 111);
            QVERIFY(bar->rect().contains(bar->tabRect(tab)));
        }
        rig.Press(Qt::Key_F5);
        QVERIFY(window.PortPanel()->text().contains(QString::fromStdString(devices[0])));
    }

    // End to end: a Zarn loop made through the New loop dialog (F2) on a pseudo-terminal, its
    // controller authorises a filling, the page's keys lift the nozzle, the controller sees the
    // filling and the communication pane shows the interpreted traffic.
    void NewLoopFillingEndToEnd()
    {
        place_->Settings().Set("Zarn", "AutoFlow", "1");
        PtyController pty;
        ZarnMaster master(pty);
        Window_rig rig;
        TfMain& window = rig.Window();
        TAddLoop* dialog = window.AddLoopDialog();
        WhenShown(dialog, [&] {
            dialog->ProtocolList()->setCurrentIndex(0);
            dialog->PortList()->setEditText(QString::fromStdString(pty.SlavePath()));
            dialog->AddressList()->setCurrentIndex(5);  // "Pump nr 1 - 8 "
            dialog->ActivateButton()->click();
        });
        rig.Press(Qt::Key_F2);
        QCOMPARE(window.LoopHolder()->count(), 1);
        TLoop* page = window.ActivePage();
        QVERIFY(page);
        QCOMPARE(page->Loop().GetProtocol(), Protocol::zarn);
        QVERIFY(window.CommPane()->Lines().isEmpty());

        rig.Press(Qt::Key_Insert);  // pump 1 on the selected position
        QVERIFY(PollUntilEot(master, kPump1));
        QVERIFY(master.ProgramNozzleOne(kPump1));
        QVERIFY(master.SendData(kPump1, {0x01, 0x01, 0x06}));  // Authorize
        int status = -1;
        QVERIFY(WaitUntil([&] {
            PollUntilEot(master, kPump1, &status);
            return status == 2;
        }));
        rig.Press(Qt::Key_1);  // lifts nozzle 1: the filling starts
        QVERIFY(WaitUntil([&] {
            PollUntilEot(master, kPump1, &status);
            return status == 4;
        }));
        QVERIFY(WaitUntil([&] {
            return window.CommPane()->Lines().join(QLatin1Char('\n')).contains(QStringLiteral("<DC1: Filling>"));
        }));
        QVERIFY(window.CommPane()->View()->toPlainText().contains(QStringLiteral("<DC1: Filling>")));
    }

    // A close request (as a signal makes) while the page's own "Remove pump ? " box is open: the
    // box is closed first and the page's code finishes before the shut-down destroys the page.
    void CloseWhileADialogIsOpen()
    {
        PtyController pty;
        Window_rig rig;
        TfMain& window = rig.Window();
        TLoop* page = rig.AddPage(Protocol::zarn, pty.SlavePath(), 1, 4);
        page->AddPump(0);
        bool closed_at_once = true;
        bool shut_down_in_box = true;
        QString box_text;
        QTimer look;
        QObject::connect(&look, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            look.stop();
            box_text = box->text();
            closed_at_once = window.close();
            shut_down_in_box = window.IsShutDown();
        });
        look.start(10);
        rig.Press(Qt::Key_Delete);
        QCOMPARE(box_text, QStringLiteral("Remove pump ? "));
        QVERIFY(!closed_at_once);
        QVERIFY(!shut_down_in_box);
        QVERIFY(page->Loop().HasPump(0));  // the box was not answered Yes
        QVERIFY(WaitUntil([&] { return window.IsShutDown(); }));
        QVERIFY(!window.isVisible());
        QCOMPARE(window.LoopHolder()->count(), 0);
    }

    // SIGTERM to the real program runs the shut-down sequence of "Exit": settings written, the
    // configuration auto-saved, the loop destroyed (its virtual port's link removed), within a few
    // seconds. The next start with auto-load brings the loop back on its virtual port.
    void SigtermShutsTheProgramDown()
    {
        const std::string link = place_->Dir().File("line");
        {
            std::unique_ptr<Pump_loop> loop = CreateLoop(Protocol::zarn, "pty:" + link, false, 1, 4);
            QCOMPARE(SaveLoops("start.gcf", {loop.get()}), std::string());
        }
        QVERIFY(!Exists(link));
        RunUntilSigterm({"--config", "start.gcf"}, link);
        QVERIFY(!Exists(link));
        QVERIFY(FileText(place_->Settings().Path()).find("[Main]") != std::string::npos);
        QCOMPARE(Loop_file("autosave.gcf").LoopCount(), 1);
        // The file named alone, as the desktop entry's "gallion %f" passes it, loads the same way.
        RunUntilSigterm({"start.gcf"}, link);
        QVERIFY(!Exists(link));

        place_->Settings().Set("Main", "AutoLoad", "1");
        RunUntilSigterm({}, link);
        QVERIFY(!Exists(link));
        QCOMPARE(Loop_file("autosave.gcf").LoopCount(), 1);
        QCOMPARE(Loop_file("autosave.gcf.bak").LoopCount(), 1);
    }

    // A start-up error box open (a loop of --config whose port cannot be opened) does not hold
    // SIGTERM back; with --control the errors go to standard error and no box waits for anybody.
    void SigtermEndsTheProgramWithAStartUpBoxOpen()
    {
        const std::string link = place_->Dir().File("line");
        const std::string gone = place_->Dir().File("gone");
        {
            std::filesystem::create_directory(gone);
            std::unique_ptr<Pump_loop> good = CreateLoop(Protocol::zarn, "pty:" + link, false, 1, 4);
            std::unique_ptr<Pump_loop> lost = CreateLoop(Protocol::current_loop, "pty:" + gone + "/line", false, 1, 2);
            QCOMPARE(SaveLoops("start.gcf", {good.get(), lost.get()}), std::string());
        }
        std::filesystem::remove_all(gone);  // the second loop's link cannot be made now
        // The first loop is up before the box about the second one opens.
        RunUntilSigterm({"--config", "start.gcf"}, [&] { return Exists(link); });
        QVERIFY(!Exists(link));

        std::ofstream("damaged.gcf") << "not a configuration file";
        const std::string errors = place_->Dir().File("stderr.txt");
        RunUntilSigterm({"--control", place_->Dir().File("control.sock"), "--config", "damaged.gcf"},
                        [&] { return FileText(errors).find("Not a valid configuration file") != std::string::npos; },
                        errors);
    }

private:
    void RunUntilSigterm(const std::vector<std::string>& options, const std::string& link)
    {
        RunUntilSigterm(options, [&] { return Exists(link); });
    }

    // Runs the real program with the test's settings file and the given options until `ready`
    // holds (within 20 s), then sends SIGTERM; the program must end on its own, with status 0.
    // Its standard error goes to the file stderr_file when one is named.
    void RunUntilSigterm(const std::vector<std::string>& options, const std::function<bool()>& ready,
                         const std::string& stderr_file = "")
    {
        const pid_t child = fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            if (!stderr_file.empty()) {
                const int fd = open(stderr_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
                if (fd < 0 || dup2(fd, STDERR_FILENO) < 0)
                    _exit(126);
            }
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
            std::vector<std::string> arguments = {"gallion", "--ini", place_->Settings().Path()};
            arguments.insert(arguments.end(), options.begin(), options.end());
            std::vector<char*> argv;
            for (std::string& argument : arguments)
                argv.push_back(argument.data());
            argv.push_back(nullptr);
            execv(GALLION_BINARY, argv.data());
            _exit(127);
        }
        const bool up = WaitUntil(ready, 20000);
        kill(child, SIGTERM);
        QElapsedTimer clock;
        clock.start();
        int status = 0;
        pid_t done = 0;
        while ((done = waitpid(child, &status, WNOHANG)) == 0 && clock.elapsed() < 10000)
            QTest::qSleep(20);
        if (done == 0) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
        }
        QVERIFY(up);
        QVERIFY2(done == child, "the program did not end within 10 s of SIGTERM");
        qInfo("ended %lld ms after SIGTERM", static_cast<long long>(clock.elapsed()));
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);
    }
};

GALLION_SCREENS_TEST_MAIN(Main_window_test)
#include "main_window_test.moc"
