// The main window's smaller windows through their real widgets: the mini view that stands in for
// it, the About box, the key-command help, and the two spy-port dialogs, which switch the
// recording of spy ports of this program and of a second running program.
#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "currentloop/cl_test_frames.h"
#include "headless/runner_process.h"
#include "loops/cl_loop.h"
#include "screens/screens_kit.h"
#include "screens/tcl_loop.h"
#include "screens/tloop.h"
#include "shell/formcontrolspy.h"
#include "shell/formmain.h"
#include "shell/formspyportsettings.h"
#include "shell/gallion_application.h"
#include "shell/loop_holder.h"
#include "shell/tabout.h"
#include "shell/thelp.h"
#include "shell/tminiview.h"
#include "spy/spy_name.h"
#include "support/zarn_master.h"

using namespace screens_kit;

namespace {

QStringList Lines(QListWidget* list)
{
    QStringList lines;
    for (int i = 0; i < list->count(); ++i)
        lines << list->item(i)->text();
    return lines;
}

std::string FileText(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Clicks the list entry with this text; false when it is not listed.
bool ClickEntry(QListWidget* list, const QString& text)
{
    const QList<QListWidgetItem*> found = list->findItems(text, Qt::MatchExactly);
    if (found.isEmpty())
        return false;
    list->setCurrentItem(found.first());
    const QRect place = list->visualItemRect(found.first());
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, place.center());
    return true;
}

// Whether the dialog stands in the middle of its screen (within its frame's few pixels) and the
// main window does not.
bool Centred(QWidget* dialog)
{
    const QPoint middle = dialog->screen()->availableGeometry().center();
    const QPoint owner = dialog->parentWidget()->window()->geometry().center();
    return (dialog->geometry().center() - middle).manhattanLength() <= 8 && (owner - middle).manhattanLength() > 40;
}

}  // namespace

class Shell_windows_test : public QObject {
    Q_OBJECT

    std::unique_ptr<Test_place> place_;

private slots:
    void init()
    {
        place_ = std::make_unique<Test_place>();
        place_->Settings().Set("Zarn", "HandleReturningMessages", "0");  // the test controller does not echo
        place_->Settings().Set("Zarn", "PumpSleepMs", "5");
        place_->Settings().Set("CurrentLoop", "PumpSleepMs", "5");
        place_->Settings().Set("CurrentLoop", "PollTimeout", "3600");
        place_->Settings().Set("Main", "AutoSave", "0");
        place_->Settings().Set("Main", "ShowSpyPort", "1");
    }

    void cleanup() { place_.reset(); }

    // F8: the main window hides (its timers stop) and the mini view lists both loops' pumps with
    // their states, following a change the controller makes; "Large mode" brings the main window
    // back with its timers running.
    void MiniViewListsEveryPumpAndGivesTheWindowBack()
    {
        PtyController zarn_line;
        ZarnMaster master(zarn_line);
        Window_rig rig;
        TfMain& window = rig.Window();
        TLoop* zarn = rig.AddPage(Protocol::zarn, zarn_line.SlavePath(), 5, 7);
        for (int position = 0; position < 3; ++position)
            zarn->AddPump(position);
        // A virtual port with a long name: a title wider than the mini view.
        TLoop* cl = rig.AddPage(Protocol::current_loop, "pty:" + place_->Dir().File("line-of-the-current-loop"), 1, 2);
        cl->AddPump(1);
        const uint8_t pump5 = 5 + 79;

        bool hidden = false, timers_stopped = false, tiny_greyed = false, on_top = false, fits = false;
        QString title_tip;
        QSize size;
        QStringList first, later;
        auto answerer = std::make_unique<Modal_answerer>(std::vector<QMessageBox::StandardButton>{}, std::vector<Dialog_action>{[&](QDialog* dialog) {
                                        auto* mini = qobject_cast<TMiniView*>(dialog);
                                        QVERIFY(mini);
                                        hidden = !window.isVisible();
                                        timers_stopped = !window.Timer()->isActive() && !window.CommTimer()->isActive();
                                        tiny_greyed = !window.TinyItem()->isEnabled();
                                        on_top = mini->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
                                        size = mini->size();
                                        QCOMPARE(mini->windowTitle(), QStringLiteral("Gallion"));
                                        QCOMPARE(mini->Timer()->interval(), 3000);
                                        first = Lines(mini->Listbox());
                                        // Every line within the list's width (a long title is
                                        // elided, whole in its tool tip): nothing scrolls away.
                                        QListWidget* list = mini->Listbox();
                                        fits = list->horizontalScrollBar()->maximum() == 0;
                                        for (int row = 0; row < list->count(); ++row)
                                            fits = fits && list->visualItemRect(list->item(row)).right() < list->viewport()->width();
                                        title_tip = list->item(4)->toolTip();
                                        // The controller authorises pump 5; the next refresh shows it.
                                        QVERIFY(master.ProgramNozzleOne(pump5));
                                        QVERIFY(master.SendData(pump5, {0x01, 0x01, 0x06}));
                                        WaitUntil([&] {
                                            master.PollAndAck(pump5, 500);
                                            return Lines(mini->Listbox()).contains(QStringLiteral("5 Authorized"));
                                        }, 10000);
                                        later = Lines(mini->Listbox());
                                        ClickButton(mini->LargeModeButton());
                                    }});
        rig.Press(Qt::Key_F8);
        QCOMPARE(answerer->ActionsLeft(), size_t(0));
        answerer.reset();
        QVERIFY(hidden);
        QVERIFY(timers_stopped);
        QVERIFY(tiny_greyed);
        QVERIFY(on_top);
        QCOMPARE(size, QSize(153, 268));
        const QString zarn_title = QString::fromStdString(zarn->Loop().Title());
        const QString cl_title = QString::fromStdString(cl->Loop().Title());
        QCOMPARE(first, (QStringList{zarn_title, "5 Not progr.", "6 Not progr.", "7 Not progr.", cl_title,
                                     "2 Filling compl"}));
        QVERIFY(fits);
        QCOMPARE(title_tip, cl_title);
        // The current-loop states the mini view names in its own words, and one it does not name.
        QCOMPARE(CL_loop::MiniViewStateText('L'), std::string("Max amount/volume reached"));
        QCOMPARE(CL_loop::MiniViewStateText('C'), std::string("Authorised"));
        QCOMPARE(CL_loop::MiniViewStateText('B'), std::string("66"));
        QCOMPARE(later.mid(0, 2), (QStringList{zarn_title, "5 Authorized"}));
        QVERIFY(window.isVisible());
        QVERIFY(window.Timer()->isActive());
        QVERIFY(window.CommTimer()->isActive());
        QVERIFY(window.TinyItem()->isEnabled());

        // With no loop the list is empty.
        window.LoopHolder()->RemoveAllPages();
        QStringList empty{"not read"};
        Modal_answerer again({}, {[&](QDialog* dialog) {
                                   empty = Lines(qobject_cast<TMiniView*>(dialog)->Listbox());
                                   ClickButton(qobject_cast<TMiniView*>(dialog)->LargeModeButton());
                               }});
        window.TinyItem()->trigger();
        QCOMPARE(empty, QStringList());
        QVERIFY(window.isVisible());
    }

    // A signal while the mini view is open: the mini view closes, the shut-down runs once and the
    // main window is not shown again.
    void SignalWhileTheMiniViewIsOpen()
    {
        PtyController line;
        Window_rig rig;
        TfMain& window = rig.Window();
        rig.AddPage(Protocol::zarn, line.SlavePath(), 1, 4);
        bool asked = false;
        QTimer look;
        QObject::connect(&look, &QTimer::timeout, [&] {
            if (!window.MiniView()->isVisible() || asked)
                return;
            asked = true;
            window.CloseOnSignal();
        });
        look.start(10);
        window.TinyItem()->trigger();
        QVERIFY(asked);
        QVERIFY(WaitUntil([&] { return window.IsShutDown(); }));
        QVERIFY(!window.MiniView()->isVisible());
        QVERIFY(!window.isVisible());
        QCOMPARE(window.LoopHolder()->count(), 0);
    }

    // About: version, change log as laid out, "OK" closes.
    void AboutShowsVersionAndChangeLog()
    {
        Window_rig rig;
        TfMain& window = rig.Window();
        QString version, title;
        QStringList log;
        QSize size;
        bool centred_about = false;
        // Away from the screen's middle: the dialog still opens there, not over the window.
        window.move(0, 0);
        Modal_answerer answerer({}, {[&](QDialog* dialog) {
                                        auto* about = qobject_cast<TAbout*>(dialog);
                                        QVERIFY(about);
                                        title = about->windowTitle();
                                        centred_about = Centred(about);
                                        size = about->size();
                                        version = about->VersionLabel()->text();
                                        log = about->ChangeLogView()->toPlainText().split(QLatin1Char('\n'));
                                        ClickButton(about->OkButton());
                                    }});
        MenuItem(window.HelpMenu(), QStringLiteral("About..."))->trigger();
        QCOMPARE(answerer.ActionsLeft(), size_t(0));
        QVERIFY(!window.AboutBox()->isVisible());
        QCOMPARE(title, QStringLiteral("About"));
        QVERIFY(centred_about);
        QCOMPARE(size, QSize(433, 330));
        QCOMPARE(version, QStringLiteral("V1.2.8"));
        QVERIFY(log.size() > 3);
        QCOMPARE(log[0], QStringLiteral("ChangeLog Gallion"));
        QCOMPARE(log[1], QString(21, QLatin1Char('-')));
        QVERIFY2(QRegularExpression(QStringLiteral("^V1\\.2\\.8     \\d{4}-\\d{2}-\\d{2}$")).match(log[2]).hasMatch(),
                 qPrintable(log[2]));
        for (int i = 3; i < log.size(); ++i) {
            const bool layout = log[i].startsWith(QStringLiteral(" * ")) || log[i].startsWith(QStringLiteral("     ")) ||
                                log[i].startsWith(QLatin1Char('V'));
            QVERIFY2(layout, qPrintable(log[i]));
        }
    }

    // The key-command help: the table, a key of the table selects its row in both lists, other
    // keys change nothing, a click in one list selects the row in the other, Escape closes it.
    void HelpHighlightsThePressedKey()
    {
        Window_rig rig;
        rig.Window().move(0, 0);
        QStringList functions, keys;
        QList<int> rows;
        bool closed_by_escape = false, centred_help = false;
        Modal_answerer answerer({}, {[&](QDialog* dialog) {
                                        auto* help = qobject_cast<THelp*>(dialog);
                                        QVERIFY(help);
                                        // A blank caption (a desktop names the program in an empty one).
                                        QCOMPARE(help->windowTitle(), QStringLiteral(" "));
                                        centred_help = Centred(help);
                                        QCOMPARE(help->size(), QSize(431, 388));
                                        functions = Lines(help->FunctionList());
                                        keys = Lines(help->KeyList());
                                        QWidget* focus = help->FunctionList();
                                        for (Qt::Key key : {Qt::Key_7, Qt::Key_F5, Qt::Key_X, Qt::Key_Space, Qt::Key_F1}) {
                                            QTest::keyClick(focus, key);
                                            rows << help->FunctionList()->currentRow() << help->KeyList()->currentRow();
                                        }
                                        QTest::mouseClick(help->KeyList()->viewport(), Qt::LeftButton, Qt::NoModifier,
                                                          help->KeyList()->visualItemRect(help->KeyList()->item(3)).center());
                                        rows << help->FunctionList()->currentRow();
                                        QTest::keyClick(focus, Qt::Key_Escape);
                                        closed_by_escape = !help->isVisible();
                                    }});
        rig.Press(Qt::Key_F1);
        QCOMPARE(answerer.ActionsLeft(), size_t(0));
        QVERIFY(centred_help);
        QCOMPARE(functions.size(), 19);
        QCOMPARE(keys.size(), 19);
        QCOMPARE(functions[1], QStringLiteral("Remove pump "));
        QCOMPARE(functions[8], QStringLiteral("Toggle flow 0/ 40 l/min"));
        QCOMPARE(keys[5], QStringLiteral("\u00a7"));
        QCOMPARE(keys[4], QStringLiteral("1...0 (nozzle 1-10)"));
        QCOMPARE(functions[18], QStringLiteral("Change visible loop"));
        // 7 -> row 4, F5 -> 18, X -> still 18, space -> 8, F1 -> 15; a click on row 3 of the keys.
        QCOMPARE(rows, (QList<int>{4, 4, 18, 18, 18, 18, 8, 8, 15, 15, 3}));
        QVERIFY(closed_by_escape);
    }

    // The spy-port settings: whole numbers in range and an existing folder, else a message and
    // nothing written; saved values come back at the next showing.
    void SpySettingsAreCheckedBeforeTheyAreWritten()
    {
        Window_rig rig;
        TfMain& window = rig.Window();
        QVERIFY(window.SpyPortMenu()->menuAction()->isVisible());
        std::filesystem::create_directory("spyout");
        const std::string ini_before = FileText(place_->Settings().Path());

        struct Entry {
            const char* size;
            const char* files;
            const char* folder;
        };
        QStringList defaults;
        std::vector<bool> still_open;
        auto fill_and_save = [&](const Entry& entry) {
            return [&, entry](QDialog* dialog) {
                auto* settings = qobject_cast<TfSpyPortSettings*>(dialog);
                QVERIFY(settings);
                if (defaults.isEmpty())
                    defaults << settings->windowTitle() << settings->MaxFileSizeField()->text()
                             << settings->NumberOfFilesField()->text() << settings->OutputDirectoryField()->text();
                settings->MaxFileSizeField()->setText(QString::fromLatin1(entry.size));
                settings->NumberOfFilesField()->setText(QString::fromLatin1(entry.files));
                settings->OutputDirectoryField()->setText(QString::fromLatin1(entry.folder));
                ClickButton(settings->SaveButton());
                still_open.push_back(settings->isVisible());
                if (settings->isVisible())
                    settings->reject();
            };
        };
        const std::vector<Entry> refused = {
            {"64k", "4", "(default)"}, {"640000", "four", "(default)"}, {"1023", "4", "(default)"},
            {"640000", "0", "(default)"}, {"640000", "10000", "(default)"}, {"640000", "4", "no_such_folder"}};
        for (const Entry& entry : refused) {
            Modal_answerer answerer({}, {fill_and_save(entry)});
            MenuItem(window.SpyPortMenu(), QStringLiteral("SpyPort Settings..."))->trigger();
            QCOMPARE(answerer.Count(), 1);
            const QString text = answerer.Texts()[0];
            if (entry.size == std::string("64k") || entry.files == std::string("four"))
                QCOMPARE(text, QString::fromLatin1(TfSpyPortSettings::kNotIntegerText));
            else if (entry.folder == std::string("no_such_folder"))
                QVERIFY2(text.contains(QStringLiteral("no_such_folder")), qPrintable(text));
            else
                QCOMPARE(text, QString::fromLatin1(TfSpyPortSettings::kOutOfRangeText));
        }
        QCOMPARE(defaults, (QStringList{"SpyPort settings", "640000", "4", "(default)"}));
        QCOMPARE(still_open, std::vector<bool>(refused.size(), true));
        QCOMPARE(FileText(place_->Settings().Path()), ini_before);

        {
            Modal_answerer answerer({}, {fill_and_save({"2048", "3", "spyout"})});
            MenuItem(window.SpyPortMenu(), QStringLiteral("SpyPort Settings..."))->trigger();
            QCOMPARE(answerer.Count(), 0);
        }
        QCOMPARE(still_open.back(), false);
        const std::string ini = FileText(place_->Settings().Path());
        for (const char* line : {"[SpyPort]", "MaxFileSize=2048", "NumberOfFiles=3", "OutputDirectory=spyout"})
            QVERIFY2(ini.find(line) != std::string::npos, line);
        QString shown;
        Modal_answerer answerer({}, {[&](QDialog* dialog) {
                                        shown = qobject_cast<TfSpyPortSettings*>(dialog)->OutputDirectoryField()->text();
                                        ClickButton(qobject_cast<TfSpyPortSettings*>(dialog)->CancelButton());
                                    }});
        MenuItem(window.SpyPortMenu(), QStringLiteral("SpyPort Settings..."))->trigger();
        QCOMPARE(shown, QStringLiteral("spyout"));
    }

    // The control dialog lists the spy ports of this program and of a running runner, whatever
    // their ports are named; Start and Stop switch their recording, the ring file appears in the
    // output folder (given without its trailing '/'), and a port that has gone since the list was
    // made is refused.
    void ControlDialogSwitchesSpyPortsOfBothPrograms()
    {
        place_->Settings().Set("SpyPort", "OutputDirectory", "spyout");
        std::filesystem::create_directory("spyout");
        PtyController own_line, runner_line;
        Window_rig rig;
        TfMain& window = rig.Window();
        window.AddPage(MakeLoopPage(CreateLoop(Protocol::zarn, own_line.SlavePath(), true, 1, 4), window.Dialogs()));
        auto runner = std::make_unique<RunnerProcess>(std::vector<std::string>{"--ini", place_->Settings().Path()});
        runner->Send("loop add zarn " + runner_line.SlavePath() + " 1 4 spy");
        const std::optional<std::string> added = runner->ReadLine();
        QVERIFY(added && added->rfind("ok 1", 0) == 0);

        const std::string own_name = SpyNameOfPortName(own_line.SlavePath());
        const std::string runner_name = SpyNameOfPortName(runner_line.SlavePath());
        const QString own_event = QString::fromStdString("SPY_" + own_name);
        const QString runner_event = QString::fromStdString("SPY_" + runner_name);
        const std::string own_file = "spyout/SPYPS_" + own_name + "_0000.buf";
        const std::string runner_file = "spyout/SPYPS_" + runner_name + "_0000.buf";

        QStringList listed, states;
        bool caption_hidden = false;
        QStringList messages;
        auto traffic_recorded = [](PtyController& line, const std::string& file) {
            return WaitUntil([&] {
                line.Send({0x50, 0x20, kZarnSF});  // a POLL to pump 1
                line.Drain();
                return std::filesystem::exists(file) && std::filesystem::file_size(file) > 0;
            });
        };
        bool own_recorded = false, runner_recorded = false;
        Modal_answerer answerer({}, {[&](QDialog* dialog) {
                                        auto* control = qobject_cast<TfControlSpy*>(dialog);
                                        QVERIFY(control);
                                        states << control->windowTitle() << control->StatusLabel()->text();
                                        caption_hidden = !control->findChild<QLabel*>(QStringLiteral("Label1"))->isVisible();
                                        states << QString::number(control->StartButton()->isEnabled())
                                               << QString::number(control->StopButton()->isEnabled());
                                        listed = Lines(control->ExistingList());
                                        QVERIFY(ClickEntry(control->ExistingList(), own_event));
                                        states << control->StatusLabel()->text()
                                               << QString::number(control->StartButton()->isEnabled());
                                        ClickButton(control->StartButton());
                                        states << control->StatusLabel()->text()
                                               << QString::number(control->StopButton()->isEnabled());
                                        own_recorded = traffic_recorded(own_line, own_file);
                                        ClickButton(control->StopButton());
                                        states << control->StatusLabel()->text();

                                        QVERIFY(ClickEntry(control->ExistingList(), runner_event));
                                        ClickButton(control->StartButton());
                                        states << control->StatusLabel()->text();
                                        runner_recorded = traffic_recorded(runner_line, runner_file);
                                        ClickButton(control->StopButton());
                                        states << control->StatusLabel()->text();

                                        // The runner ends; its entry is still listed, Start is refused.
                                        runner->Send("quit");
                                        runner.reset();
                                        ClickButton(control->StartButton());
                                        ClickButton(control->CloseButton());
                                    }});
        MenuItem(window.SpyPortMenu(), QStringLiteral("Control SpyPort..."))->trigger();
        QCOMPARE(answerer.ActionsLeft(), size_t(0));
        QVERIFY2(listed.contains(own_event), qPrintable(listed.join(',')));
        QVERIFY2(listed.contains(runner_event), qPrintable(listed.join(',')));
        QVERIFY(caption_hidden);
        QCOMPARE(states, (QStringList{"Control Spy ports", " ", "0", "0", "stopped", "1", "running", "1", "stopped",
                                      "running", "stopped"}));
        QVERIFY(own_recorded);
        QVERIFY(runner_recorded);
        QCOMPARE(answerer.Texts(), QStringList{QStringLiteral("Not a valid spyobject")});
        QVERIFY(!window.ControlSpyDialog()->isVisible());
    }
};

GALLION_SCREENS_TEST_MAIN(Shell_windows_test)
#include "shell_windows_test.moc"
