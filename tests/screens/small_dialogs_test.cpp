// The log, visible-nozzles and decimals dialogs opened from the loop pages, driven through their
// real widgets: what they show, what "OK" and "Cancel" write, and what the controller then sees.
#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QSpinBox>
#include <QToolButton>

#include "currentloop/cl_test_frames.h"
#include "screens/log_dialog.h"
#include "screens/pump_panel.h"
#include "screens/screens_kit.h"
#include "screens/tcl_number_of_decimals_setup.h"
#include "screens/tloop.h"
#include "screens/tnozzles_visible.h"
#include "shell/gallion_application.h"

using namespace screens_kit;

namespace {

// The log dialog: notes the edit's text and the check mark, then sets them (null: left) and
// clicks OK or Cancel.
struct Log_seen {
    QString caption, file_name;
    bool interpreted = false;
};

Dialog_action LogAction(Log_seen* seen, const QString& file_name, bool ok, std::optional<bool> interpreted = {})
{
    return [=](QDialog* dialog) {
        auto* log = qobject_cast<TLog_dialog*>(dialog);
        if (!log) {
            dialog->reject();
            return;
        }
        if (seen) {
            seen->caption = log->windowTitle();
            seen->file_name = log->FileEdit()->text();
            seen->interpreted = log->InterpretedBox()->isChecked();
        }
        if (!file_name.isNull())
            log->FileEdit()->setText(file_name);
        if (interpreted)
            log->InterpretedBox()->setChecked(*interpreted);
        ClickButton(ok ? log->OkButton() : log->CancelButton());
    };
}

// The visible-nozzles dialog: notes its captions and check marks, sets the marks (empty: left)
// and clicks the confirm button or Cancel.
struct Nozzles_seen {
    QString caption, ok_caption;
    QStringList boxes;
    std::vector<bool> checked;
};

Dialog_action NozzlesAction(Nozzles_seen* seen, std::vector<bool> marks, bool ok)
{
    return [=](QDialog* dialog) {
        auto* nozzles = qobject_cast<TNozzles_visible*>(dialog);
        if (!nozzles) {
            dialog->reject();
            return;
        }
        QListWidget* boxes = nozzles->Boxes();
        if (seen) {
            seen->caption = nozzles->windowTitle();
            seen->ok_caption = nozzles->OkButton()->text();
            seen->boxes.clear();
            seen->checked.clear();
            for (int i = 0; i < boxes->count(); ++i) {
                seen->boxes << boxes->item(i)->text();
                seen->checked.push_back(boxes->item(i)->checkState() == Qt::Checked);
            }
        }
        for (size_t i = 0; i < marks.size() && int(i) < boxes->count(); ++i)
            boxes->item(int(i))->setCheckState(marks[i] ? Qt::Checked : Qt::Unchecked);
        ClickButton(ok ? nozzles->OkButton() : nozzles->CancelButton());
    };
}

// The volume digits of a current-loop reply.
int VolumeOnLine(PtyController& line, int pump_number)
{
    line.Send(cltest::Poll(pump_number));
    const std::vector<uint8_t> reply = line.ReadExactly(32, 2000);
    if (!cltest::CrcMatches(reply))
        return -1;
    return cltest::DigitField(reply, 10, 6);
}

}  // namespace

class Small_dialogs_test : public QObject {
    Q_OBJECT

    std::unique_ptr<Test_place> place_;
    std::unique_ptr<PtyController> pty_;

private slots:
    void init()
    {
        place_ = std::make_unique<Test_place>();
        place_->Settings().Set("Zarn", "HandleReturningMessages", "0");
        place_->Settings().Set("Zarn", "PumpSleepMs", "5");
        place_->Settings().Set("CurrentLoop", "PumpSleepMs", "5");
        place_->Settings().Set("CurrentLoop", "PollTimeout", "3600");
        pty_ = std::make_unique<PtyController>();
    }

    void cleanup()
    {
        pty_.reset();
        place_.reset();
    }

    void LogDialogProposesTheNameAndStartsTheLog()
    {
        Window_rig rig;
        TLoop* page = rig.AddPage(Protocol::zarn, pty_->SlavePath(), 1, 8);
        page->SelectPosition(6);
        rig.Press(Qt::Key_Insert);
        Pump_loop& loop = page->Loop();

        // Cancel starts nothing; OK starts the proposed file, plain hexadecimal text when
        // "Interpreted" is cleared (the mark then stays cleared for the next use).
        Log_seen seen;
        {
            Modal_answerer answerer({}, {LogAction(&seen, QString(), false),
                                         LogAction(nullptr, QString(), true, false)});
            rig.Press(Qt::Key_L);
            QVERIFY(!loop.IsLogging(6));
            rig.Press(Qt::Key_L);
        }
        QCOMPARE(seen.caption, QStringLiteral("New logging"));
        QCOMPARE(seen.file_name, QStringLiteral("Pump 7.log"));
        QVERIFY(seen.interpreted);
        QVERIFY(loop.IsLogging(6));
        QVERIFY(QFileInfo::exists(QStringLiteral("Pump 7.log")));
        rig.Press(Qt::Key_K);
        QVERIFY(!loop.IsLogging(6));

        // Cancel after an earlier OK starts no log; the mark was kept; an empty name starts none.
        {
            Modal_answerer answerer({}, {LogAction(&seen, QStringLiteral("other.log"), false),
                                         LogAction(nullptr, QStringLiteral(""), true)});
            rig.Press(Qt::Key_L);
            rig.Press(Qt::Key_L);
        }
        QVERIFY(!seen.interpreted);
        QVERIFY(!loop.IsLogging(6));
        QVERIFY(!QFileInfo::exists(QStringLiteral("other.log")));

        // The pump menu's item opens it too, proposing the name again.
        {
            Modal_answerer answerer({}, {LogAction(&seen, QString(), true)});
            RightClick(page->Panel(6));
            page->PumpMenu()->close();
            QAction* item = MenuItem(page->PumpMenu(), "Begin logging");
            QVERIFY(item->isEnabled());
            item->trigger();
        }
        QCOMPARE(seen.file_name, QStringLiteral("Pump 7.log"));
        QVERIFY(loop.IsLogging(6));
    }

    void LogDialogBrowsesWithASaveDialog()
    {
        Window_rig rig;
        TLoop* page = rig.AddPage(Protocol::zarn, pty_->SlavePath(), 1, 4);
        rig.Press(Qt::Key_Insert);
        const QString chosen = QDir::current().absoluteFilePath(QStringLiteral("new-pump.log"));
        bool saving = false;
        QString edit_after_browse;
        {
            Modal_answerer answerer(
                {}, {[&](QDialog* dialog) {
                         auto* log = qobject_cast<TLog_dialog*>(dialog);
                         ClickButton(log->BrowseButton());
                         edit_after_browse = log->FileEdit()->text();
                         ClickButton(log->OkButton());
                     },
                     [&](QDialog* dialog) {
                         auto* files = qobject_cast<QFileDialog*>(dialog);
                         if (!files) {
                             dialog->reject();
                             return;
                         }
                         saving = files->acceptMode() == QFileDialog::AcceptSave;
                         // Typed into the dialog's name field, as a user names a new file.
                         auto* name = files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
                         if (name)
                             name->setText(chosen);
                         static_cast<QDialog*>(files)->accept();  // QFileDialog::accept, through the base
                     }});
            rig.Press(Qt::Key_L);
            QCOMPARE(answerer.ActionsLeft(), size_t(0));
        }
        QVERIFY(saving);
        QCOMPARE(edit_after_browse, chosen);
        QVERIFY(page->Loop().IsLogging(0));
        QVERIFY(QFileInfo::exists(chosen));
    }

    void LogFilesThatCannotBeUsedAreReportedAndThePumpStaysUnlogged()
    {
        Window_rig rig;
        TLoop* page = rig.AddPage(Protocol::current_loop, pty_->SlavePath(), 1, 4);
        rig.Press(Qt::Key_Insert);
        rig.Press(Qt::Key_Right);
        rig.Press(Qt::Key_Insert);
        Pump_loop& loop = page->Loop();
        page->SelectPosition(0);
        {
            Modal_answerer answerer({}, {LogAction(nullptr, QStringLiteral("shared.log"), true)});
            rig.Press(Qt::Key_L);
        }
        QVERIFY(loop.IsLogging(0));

        // Pump 2 on pump 1's file (through "./"), then on a file in a folder that does not exist.
        page->SelectPosition(1);
        {
            Modal_answerer answerer({}, {LogAction(nullptr, QStringLiteral("./shared.log"), true),
                                         LogAction(nullptr, QStringLiteral("no-such-folder/x.log"), true)});
            rig.Press(Qt::Key_L);
            rig.Press(Qt::Key_L);
            QCOMPARE(answerer.Count(), 2);
            QVERIFY2(answerer.Texts().at(0).contains(QStringLiteral("already open as the log of another pump")),
                     qPrintable(answerer.Texts().at(0)));
            QVERIFY2(answerer.Texts().at(1).startsWith(QStringLiteral("Cannot create log file \"no-such-folder/x.log\"")),
                     qPrintable(answerer.Texts().at(1)));
            QVERIFY2(answerer.Texts().at(1).contains(QStringLiteral("No such file or directory")),
                     qPrintable(answerer.Texts().at(1)));
        }
        QVERIFY(!loop.IsLogging(1));
        QVERIFY(loop.IsLogging(0));
    }

    void ZarnVisibleNozzlesHideButtonsInPlaceAndKeepNozzlesElevenToFifteen()
    {
        Window_rig rig;
        TLoop* page = rig.AddPage(Protocol::zarn, pty_->SlavePath(), 1, 4);
        rig.Press(Qt::Key_Insert);
        Pump_loop& loop = page->Loop();
        std::vector<bool> flags(15, true);
        flags[4] = false;   // nozzle 5
        flags[11] = false;  // nozzle 12, beyond the dialog
        loop.SetVisibleNozzles(0, flags);
        TPumpPanel* panel = page->Panel(0);
        const QPoint third_place = panel->NozzleButton(3)->pos();

        Nozzles_seen seen;
        {
            Modal_answerer answerer({}, {NozzlesAction(&seen, {}, false)});
            rig.Press(Qt::Key_N);
        }
        QCOMPARE(seen.caption, QStringLiteral("Select visible nozzles"));
        QCOMPARE(seen.ok_caption, QStringLiteral("Ok"));
        QCOMPARE(seen.boxes.size(), 10);
        QCOMPARE(seen.boxes.front(), QStringLiteral("Nozzle 1"));
        QCOMPARE(seen.boxes.back(), QStringLiteral("Nozzle 10"));
        QCOMPARE(seen.checked, std::vector<bool>(flags.begin(), flags.begin() + 10));
        QCOMPARE(loop.VisibleNozzles(0), flags);  // Cancel

        {
            Modal_answerer answerer({}, {NozzlesAction(nullptr, {true, false, true, false, false, true, true, true,
                                                                 true, false},
                                                       true)});
            RightClick(panel);
            page->PumpMenu()->close();
            QAction* item = MenuItem(page->PumpMenu(), "Select visible nozzles...");
            QVERIFY(item->isEnabled());
            item->trigger();
        }
        const std::vector<bool> expected{true, false, true, false, false, true, true, true,
                                         true, false, true, false, true, true, true};
        QCOMPARE(loop.VisibleNozzles(0), expected);
        page->UpdatePumps(true);
        for (int n : {2, 4, 5})
            QVERIFY2(panel->NozzleButton(n)->isHidden(), qPrintable(QString::number(n)));
        for (int n : {1, 3})
            QVERIFY2(!panel->NozzleButton(n)->isHidden(), qPrintable(QString::number(n)));
        QCOMPARE(panel->NozzleButton(3)->pos(), third_place);
    }

    void CurrentLoopVisibleNozzlesReachTheLine()
    {
        Window_rig rig;
        TLoop* page = rig.AddPage(Protocol::current_loop, pty_->SlavePath(), 1, 2);
        rig.Press(Qt::Key_Insert);
        auto config_byte = [&] {
            pty_->Send(cltest::Poll(1));
            const std::vector<uint8_t> reply = pty_->ReadExactly(32, 2000);
            return cltest::CrcMatches(reply) ? int(reply[25]) : -1;
        };
        QVERIFY(WaitUntil([&] { return config_byte() == 0x7F; }));

        Nozzles_seen seen;
        {
            Modal_answerer answerer({}, {NozzlesAction(&seen, {false, false, false, false, false}, true)});
            rig.Press(Qt::Key_N);
        }
        QCOMPARE(seen.caption, QStringLiteral("CL_nozzles_visible"));
        QCOMPARE(seen.ok_caption, QStringLiteral("OK"));
        QCOMPARE(seen.boxes, (QStringList{"Nozzle 1", "Nozzle 2", "Nozzle 3", "Nozzle 4", "Nozzle 5"}));
        QCOMPARE(seen.checked, std::vector<bool>(5, true));
        QCOMPARE(page->Loop().VisibleNozzles(0), std::vector<bool>(5, false));
        for (int n = 1; n <= 5; ++n)
            QVERIFY(page->Panel(0)->NozzleButton(n)->isHidden());
        QVERIFY(WaitUntil([&] { return config_byte() == 0x60; }));
        // No visible nozzle: key 1 lifts nothing.
        rig.Press(Qt::Key_1);
        Panel_view view;
        QVERIFY(page->Loop().GetPanelView(0, view));
        QCOMPARE(view.selected_nozzle, 0);
    }

    void DecimalsDialogLimitsItsValuesAndChangesTheFiguresOnTheLine()
    {
        place_->Settings().Set("CurrentLoop", "ThrottleVolume", "0");
        place_->Settings().Set("CurrentLoop", "ThrottleAmount", "0");
        Window_rig rig;
        TLoop* page = rig.AddPage(Protocol::current_loop, pty_->SlavePath(), 1, 2);
        Pump_loop& loop = page->Loop();

        // On a loop without pumps: the loop menu; the spin boxes show the loop's values and hold
        // 0-8 (9 typed becomes 8 at most). Cancel keeps them.
        int shown_volume = -1, shown_amount = -1, shown_price = -1, top = -1;
        QString caption;
        auto look = [&](TCL_Number_of_decimals_setup* d) {
            caption = d->windowTitle();
            shown_volume = d->Volume()->value();
            shown_amount = d->Amount()->value();
            shown_price = d->Price()->value();
            top = d->Volume()->maximum();
        };
        {
            Modal_answerer answerer({}, {[&](QDialog* dialog) {
                auto* d = qobject_cast<TCL_Number_of_decimals_setup*>(dialog);
                look(d);
                d->Price()->setValue(5);
                ClickButton(d->CancelButton());
            }});
            RightClick(page->EmptyPanel(0));
            page->LoopMenu()->close();
            QAction* item = MenuItem(page->LoopMenu(), "Set decimals in loop...");
            QVERIFY(item->isEnabled());
            item->trigger();
        }
        QCOMPARE(caption, QStringLiteral("Number of decimals in the loop"));
        QCOMPARE(shown_volume, 2);
        QCOMPARE(shown_amount, 2);
        QCOMPARE(shown_price, 2);
        QCOMPARE(top, 8);
        QCOMPARE(loop.Decimals()->price, 2);

        // A filling on pump 1, stopped part way so its volume stays.
        rig.Press(Qt::Key_Insert);
        auto ask = [&](const std::vector<uint8_t>& frame) {
            pty_->Send(frame);
            return pty_->ReadExactly(32, 2000);
        };
        ask(cltest::Poll(1, 'A'));
        pty_->Send(cltest::Prices(cltest::PumpAddress(1), 1000));
        rig.Press(Qt::Key_1);
        ask(cltest::Preset(1, 99999, 0x20));
        QVERIFY(WaitUntil([&] { return VolumeOnLine(*pty_, 1) > 0; }));
        loop.SetFlow(0, 0);
        int before = -1;
        QVERIFY(WaitUntil([&] {
            const int first = VolumeOnLine(*pty_, 1);
            before = VolumeOnLine(*pty_, 1);
            return first > 0 && first == before;
        }));

        {
            Modal_answerer answerer({}, {[&](QDialog* dialog) {
                auto* d = qobject_cast<TCL_Number_of_decimals_setup*>(dialog);
                d->Volume()->setValue(3);
                d->Amount()->findChild<QLineEdit*>()->setText(QStringLiteral("9"));
                ClickButton(d->OkButton());
            }});
            RightClick(page->Panel(0));
            page->PumpMenu()->close();
            MenuItem(page->PumpMenu(), "Set decimals in loop...")->trigger();
        }
        QCOMPARE(loop.Decimals()->volume, 3);
        QVERIFY(loop.Decimals()->amount <= 8);
        QCOMPARE(loop.Decimals()->price, 2);
        // The same litres, one decimal more on the line.
        int after = -1;
        QVERIFY(WaitUntil([&] {
            after = VolumeOnLine(*pty_, 1);
            return after >= 0 && after != before;
        }));
        // Both are the same litres cut to whole units; the products of a double may fall on either
        // side of a unit's edge, hence the one unit of slack.
        QVERIFY2(after >= 10 * (before - 1) && after <= 10 * (before + 1) + 9,
                 qPrintable(QStringLiteral("%1 then %2").arg(before).arg(after)));
    }
};

GALLION_SCREENS_TEST_MAIN(Small_dialogs_test)
#include "small_dialogs_test.moc"
