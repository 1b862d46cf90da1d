// The error-simulation dialogs opened from the loop pages (key R, "Error setup..."), driven
// through their real widgets: what they show for a pump, what "Ok" and "Cancel" store, and what
// the controller sees on the line once the error is committed (key E, "Commit error").
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>

#include "currentloop/cl_test_frames.h"
#include "screens/pump_panel.h"
#include "screens/screens_kit.h"
#include "screens/tcl_errors.h"
#include "screens/tloop.h"
#include "screens/tzarn_errors.h"
#include "shell/gallion_application.h"
#include "support/zarn_master.h"

using namespace screens_kit;

namespace {

constexpr uint8_t kPump1 = 0x50;

// What an error dialog showed when it opened.
struct Seen {
    QString caption;
    QStringList rows;
    int selected_row = -2;  // -1: no row selected
    QString count_text;
};

// An action on the error dialog: notes what it shows, then (row >= 0) selects the row, (count
// non-empty) types the count, and clicks Ok (or Cancel).
Dialog_action ErrorAction(Seen* seen, int row, const QString& count, bool ok = true)
{
    return [=](QDialog* dialog) {
        auto* errors = qobject_cast<TError_simulation*>(dialog);
        if (!errors) {
            dialog->reject();
            return;
        }
        if (seen) {
            seen->caption = errors->windowTitle();
            seen->rows.clear();
            for (int i = 0; i < errors->List()->count(); ++i)
                seen->rows << errors->List()->item(i)->text();
            seen->selected_row = errors->List()->selectedItems().isEmpty() ? -1 : errors->List()->currentRow();
            seen->count_text = errors->CountEdit()->text();
        }
        if (row >= 0)
            errors->List()->setCurrentRow(row);
        if (!count.isNull())
            errors->CountEdit()->setText(count);
        ClickButton(ok ? errors->OkButton() : errors->CancelButton());
    };
}

QStringList TextsOf(const std::vector<Error_choice>& choices)
{
    QStringList texts;
    for (const Error_choice& choice : choices)
        texts << QString::fromStdString(choice.text);
    return texts;
}

// Asks the Zarn pump for its status and returns the DATA reply that follows (acknowledged, as a
// controller that ignores CRCs would); EOTs before it are skipped.
std::optional<Bytes> NextDataReply(ZarnMaster& master, PtyController& pty, uint8_t address)
{
    if (!master.SendData(address, {0x01, 0x01, 0x00}))
        return std::nullopt;
    for (int i = 0; i < 50; ++i) {
        const std::optional<Bytes> block = master.Poll(address);
        if (!block || block->size() < 2)
            return std::nullopt;
        if (((*block)[1] & 0xF0) == 0x30) {
            pty.Send({address, static_cast<uint8_t>(0xC0 | ((*block)[1] & 0x0F)), kZarnSF});
            return block;
        }
        QTest::qWait(5);
    }
    return std::nullopt;
}

// The CRC verdicts of the next `count` DATA replies ("ok" / "bad"; "none" when silent).
QStringList CrcVerdicts(ZarnMaster& master, PtyController& pty, int count)
{
    QStringList verdicts;
    for (int i = 0; i < count; ++i) {
        const std::optional<Bytes> block = NextDataReply(master, pty, kPump1);
        verdicts << (!block ? QStringLiteral("none") : ZarnCrcMatches(*block) ? QStringLiteral("ok") : QStringLiteral("bad"));
    }
    return verdicts;
}

// Polls the Zarn pump until it has nothing more to say.
bool Drain(ZarnMaster& master, uint8_t address)
{
    for (int i = 0; i < 30; ++i) {
        const auto reply = master.PollAndAck(address);
        if (!reply)
            return false;
        if (reply->empty())
            return true;
    }
    return false;
}

// The current-loop pump's reply to a poll.
std::vector<uint8_t> ClReply(PtyController& line, int pump_number)
{
    line.Send(cltest::Poll(pump_number));
    return line.ReadExactly(32, 2000);
}

}  // namespace

class Error_dialogs_test : public QObject {
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

    void ZarnCrcErrorCommittedFromKeyESpoilsExactlyTheNextReplies()
    {
        ZarnMaster master(*pty_);
        Window_rig rig;
        TLoop* page = rig.AddPage(Protocol::zarn, pty_->SlavePath(), 1, 4);
        rig.Press(Qt::Key_Insert);
        Pump_loop& loop = page->Loop();
        QVERIFY(Drain(master, kPump1));
        QCOMPARE(loop.ErrorType(0), 0);

        // A new pump (code 0) opens with no row selected and the count 1.
        Seen seen;
        {
            Modal_answerer answerer({}, {ErrorAction(&seen, 13, QStringLiteral("2"))});
            rig.Press(Qt::Key_R);
            QCOMPARE(answerer.ActionsLeft(), size_t(0));
        }
        QCOMPARE(seen.caption, QStringLiteral("Error Simulation"));
        QCOMPARE(seen.rows, TextsOf(loop.ErrorChoices()));
        QCOMPARE(seen.rows.size(), 24);
        QCOMPARE(seen.rows.at(13), QStringLiteral("CRC error"));
        QCOMPARE(seen.selected_row, -1);
        QCOMPARE(seen.count_text, QStringLiteral("1"));
        QCOMPARE(loop.ErrorType(0), 101);
        QCOMPARE(loop.ErrorValue(0), 2);

        // Choosing does not act on the line; committing does, for exactly two replies, and again
        // on the next commit without reopening the dialog.
        QCOMPARE(CrcVerdicts(master, *pty_, 1), QStringList{"ok"});
        rig.Press(Qt::Key_E);
        QCOMPARE(CrcVerdicts(master, *pty_, 3), (QStringList{"bad", "bad", "ok"}));
        RightClick(page->Panel(0));
        page->PumpMenu()->close();
        MenuItem(page->PumpMenu(), "Commit error")->trigger();
        QCOMPARE(CrcVerdicts(master, *pty_, 3), (QStringList{"bad", "bad", "ok"}));

        // Reopened: the stored choice; Cancel keeps it whatever was changed.
        {
            Modal_answerer answerer({}, {ErrorAction(&seen, 20, QStringLiteral("7"), false)});
            rig.Press(Qt::Key_R);
        }
        QCOMPARE(seen.selected_row, 13);
        QCOMPARE(seen.count_text, QStringLiteral("2"));
        QCOMPARE(loop.ErrorType(0), 101);
        QCOMPARE(loop.ErrorValue(0), 2);

        // "VAP OK (x10)" stores 16; a separator row stores 0 (no error); the menu item opens it too.
        {
            Modal_answerer answerer({}, {ErrorAction(nullptr, 20, QString())});
            RightClick(page->Panel(0));
            page->PumpMenu()->close();
            QAction* item = MenuItem(page->PumpMenu(), "Error setup...");
            QVERIFY(item->isEnabled());
            item->trigger();
        }
        QCOMPARE(loop.ErrorType(0), 16);
        {
            Modal_answerer answerer({}, {ErrorAction(&seen, 16, QStringLiteral("0"))});
            rig.Press(Qt::Key_R);
        }
        QCOMPARE(seen.selected_row, 20);
        QCOMPARE(loop.ErrorType(0), 0);
        QCOMPARE(loop.ErrorValue(0), 0);
        // A stored count of 0 is shown as 1.
        {
            Modal_answerer answerer({}, {ErrorAction(&seen, -1, QString(), false)});
            rig.Press(Qt::Key_R);
        }
        QCOMPARE(seen.count_text, QStringLiteral("1"));
        QCOMPARE(seen.selected_row, -1);
    }

    void ZarnNoRowForTheCodeShowsNoneAndOkWithoutRowStoresNothing()
    {
        Window_rig rig;
        TLoop* page = rig.AddPage(Protocol::zarn, pty_->SlavePath(), 1, 4);
        rig.Press(Qt::Key_Insert);
        rig.Press(Qt::Key_Right);
        rig.Press(Qt::Key_Insert);
        Pump_loop& loop = page->Loop();

        // Pump 1 takes "Rubbish data (CRC ok)"; pump 2 (code 0) must not be offered that row.
        page->SelectPosition(0);
        {
            Modal_answerer answerer({}, {ErrorAction(nullptr, 12, QStringLiteral("3"))});
            rig.Press(Qt::Key_R);
        }
        QCOMPARE(loop.ErrorType(0), 103);
        QCOMPARE(loop.ErrorValue(0), 3);

        page->SelectPosition(1);
        const int value_before = loop.ErrorValue(1);
        Seen seen;
        {
            Modal_answerer answerer({}, {ErrorAction(&seen, -1, QStringLiteral("5"))});
            rig.Press(Qt::Key_R);
            QCOMPARE(answerer.Count(), 0);
        }
        QCOMPARE(seen.selected_row, -1);
        QCOMPARE(loop.ErrorType(1), 0);
        QCOMPARE(loop.ErrorValue(1), value_before);

        // A code the list has no row for (set by the runner or a file) shows no row either.
        loop.SetErrorSetup(1, 5, 1);
        {
            Modal_answerer answerer({}, {ErrorAction(&seen, -1, QString(), false)});
            rig.Press(Qt::Key_R);
        }
        QCOMPARE(seen.selected_row, -1);
        QCOMPARE(loop.ErrorType(1), 5);
    }

    void CountThatIsNotAWholeNumberIsRefusedBeforeAnythingIsStored()
    {
        Window_rig rig;
        TLoop* page = rig.AddPage(Protocol::zarn, pty_->SlavePath(), 1, 4);
        rig.Press(Qt::Key_Insert);
        Pump_loop& loop = page->Loop();
        loop.SetErrorSetup(0, 101, 2);

        // Ok with "x2" is refused with a message and the dialog stays open; Cancel then leaves
        // the stored choice whole. A second try with a whole number is taken.
        bool still_open = false;
        {
            Modal_answerer answerer(
                {}, {ErrorAction(nullptr, 0, QStringLiteral("x2")), [&](QDialog* dialog) {
                         still_open = dialog->isVisible();
                         ClickButton(qobject_cast<TError_simulation*>(dialog)->CancelButton());
                     }});
            rig.Press(Qt::Key_R);
            QCOMPARE(answerer.Texts(), QStringList{TError_simulation::CountNotValidText(QStringLiteral("x2"))});
        }
        QVERIFY(still_open);
        QCOMPARE(loop.ErrorType(0), 101);
        QCOMPARE(loop.ErrorValue(0), 2);
        {
            // The count typed on the keyboard stays in the edit: digit keys do not reach the page.
            Modal_answerer answerer({}, {ErrorAction(nullptr, 0, QStringLiteral("")), [](QDialog* dialog) {
                                             auto* errors = qobject_cast<TError_simulation*>(dialog);
                                             errors->CountEdit()->setFocus();
                                             QTest::keyClicks(errors->CountEdit(), QStringLiteral("4"));
                                             ClickButton(errors->OkButton());
                                         }});
            rig.Press(Qt::Key_R);
            QCOMPARE(answerer.Count(), 1);
        }
        QCOMPARE(loop.ErrorType(0), 1);
        QCOMPARE(loop.ErrorValue(0), 4);
        Panel_view view;
        QVERIFY(loop.GetPanelView(0, view));
        QCOMPARE(view.selected_nozzle, 0);
    }

    void CurrentLoopRowsHeadingsAndCommitsOnTheLine()
    {
        Window_rig rig;
        TLoop* page = rig.AddPage(Protocol::current_loop, pty_->SlavePath(), 1, 2);
        rig.Press(Qt::Key_Insert);
        Pump_loop& loop = page->Loop();
        QVERIFY(WaitUntil([&] { return cltest::CrcMatches(ClReply(*pty_, 1)); }));
        QCOMPARE(loop.ErrorType(0), 64);

        // Code 64 has no row: none selected. "CRC error" once.
        Seen seen;
        {
            Modal_answerer answerer({}, {ErrorAction(&seen, 8, QStringLiteral("1"))});
            rig.Press(Qt::Key_R);
        }
        QCOMPARE(seen.caption, QStringLiteral("Error Simulation"));
        QCOMPARE(seen.rows, (QStringList{"Alarms - - - - - - - - - - ", "Double pulse error", "Pulser current error",
                                         "Communication error", "CPU reset", "- - - - - - - - - - - - - - - -", "",
                                         "Rubbish data (CRC ok)", "CRC error", "No answer "}));
        QCOMPARE(seen.selected_row, -1);
        QCOMPARE(seen.count_text, QStringLiteral("1"));
        QCOMPARE(loop.ErrorType(0), 240);
        QCOMPARE(loop.ErrorValue(0), 1);
        rig.Press(Qt::Key_E);
        QVERIFY(!cltest::CrcMatches(ClReply(*pty_, 1)));
        QVERIFY(cltest::CrcMatches(ClReply(*pty_, 1)));

        // The heading, separator and empty rows keep the code; the count is taken.
        for (int row : {0, 5, 6}) {
            Modal_answerer answerer({}, {ErrorAction(&seen, row, QStringLiteral("3"))});
            rig.Press(Qt::Key_R);
            QCOMPARE(seen.selected_row, 8);
            QCOMPARE(loop.ErrorType(0), 240);
            QCOMPARE(loop.ErrorValue(0), 3);
        }

        // "Pulser current error" reaches the status byte of the reply; rubbish stores 241.
        {
            Modal_answerer answerer({}, {ErrorAction(nullptr, 2, QString())});
            rig.Press(Qt::Key_R);
        }
        QCOMPARE(loop.ErrorType(0), 8);
        rig.Press(Qt::Key_E);
        QVERIFY(WaitUntil([&] {
            const std::vector<uint8_t> reply = ClReply(*pty_, 1);
            return cltest::CrcMatches(reply) && reply[23] == 0x48;
        }));
        {
            Modal_answerer answerer({}, {ErrorAction(&seen, 7, QString())});
            rig.Press(Qt::Key_R);
        }
        QCOMPARE(seen.selected_row, 2);
        QCOMPARE(loop.ErrorType(0), 241);
    }
};

GALLION_SCREENS_TEST_MAIN(Error_dialogs_test)
#include "error_dialogs_test.moc"
