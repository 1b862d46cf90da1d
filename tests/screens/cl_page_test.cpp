// The current-loop loop page in the main window, on a real loop whose controller the test plays
// on a pseudo-terminal.
#include <QLabel>
#include <QMenu>
#include <QToolButton>

#include "currentloop/cl_test_frames.h"
#include "screens/pump_panel.h"
#include "screens/screens_kit.h"
#include "screens/tloop.h"
#include "shell/formmain.h"
#include "shell/gallion_application.h"
#include "shell/loop_holder.h"

using namespace screens_kit;

namespace {

// The state letter of the pump's reply to a poll (0 when no valid reply came).
char StateOnLine(PtyController& line, int pump_number)
{
    line.Send(cltest::Poll(pump_number));
    const std::vector<uint8_t> reply = line.ReadExactly(32, 2000);
    if (!cltest::CrcMatches(reply) || reply[2] != cltest::PumpAddress(pump_number))
        return 0;
    return static_cast<char>(reply[22]);
}

bool WaitForState(PtyController& line, int pump_number, char state)
{
    return WaitUntil([&] { return StateOnLine(line, pump_number) == state; });
}

}  // namespace

class CL_page_test : public QObject {
    Q_OBJECT

    std::unique_ptr<Test_place> place_;
    std::unique_ptr<PtyController> line_;

private slots:
    void init()
    {
        place_ = std::make_unique<Test_place>();
        place_->Settings().Set("CurrentLoop", "PumpSleepMs", "5");
        place_->Settings().Set("CurrentLoop", "PollTimeout", "3600");
        line_ = std::make_unique<PtyController>();
    }

    void cleanup()
    {
        line_.reset();
        place_.reset();
    }

    void GridMenusAndSelection()
    {
        Window_rig rig;
        TLoop* page = rig.AddPage(Protocol::current_loop, line_->SlavePath(), 8, 15);
        QVERIFY(page->Caption().endsWith(QStringLiteral(" Current Loop")));
        QVERIFY(page->Loop().IsCommunicationOn());
        for (int p = 0; p < 8; ++p) {
            QCOMPARE(page->EmptyPanel(p)->Caption()->text(), QString::number(8 + p));
            QCOMPARE(page->EmptyPanel(p)->pos(), QPoint(5 + 112 * (p % 4), 5 + 120 * (p / 4)));
        }
        QVERIFY(!page->EmptyPanel(8));
        page->SelectPosition(5);
        rig.Press(Qt::Key_Down);  // 5 + 4 = 9, 9 mod 8 = 1
        QCOMPARE(page->SelectedPosition(), 1);
        rig.Press(Qt::Key_Up);
        QCOMPARE(page->SelectedPosition(), 5);

        rig.Press(Qt::Key_Insert);
        QVERIFY(page->Panel(5));
        QCOMPARE(page->Panel(5)->NumberLabel()->text(), QStringLiteral("13"));
        QVERIFY(StateOnLine(*line_, 13) != 0);

        RightClick(page->Panel(5));
        page->PumpMenu()->close();
        QCOMPARE(Captions(page->PumpMenu()),
                 (QStringList{"Detail...", "Commit error", "Set visible nozzles...", "Begin logging", "Automate",
                              "Filter message display", "Error setup...", "Set decimals in loop...", "Disconnect",
                              "Remove pump"}));
        RightClick(page->EmptyPanel(0));
        page->LoopMenu()->close();
        QCOMPARE(page->SelectedPosition(), 0);
        QCOMPARE(Captions(page->LoopMenu()), (QStringList{"New pump", "Set decimals in loop..."}));
        QVERIFY(MenuItem(page->LoopMenu(), "Set decimals in loop...")->isEnabled());

        PtyController other;
        TLoop* three = rig.AddPage(Protocol::current_loop, other.SlavePath(), 1, 3);
        rig.Press(Qt::Key_Left);  // 7, 6, 5, 4, 3, 2
        QCOMPARE(three->SelectedPosition(), 2);
    }

    void NozzleKeysAndButtons()
    {
        Window_rig rig;
        TLoop* page = rig.AddPage(Protocol::current_loop, line_->SlavePath(), 1, 4);
        rig.Press(Qt::Key_Insert, Qt::ControlModifier);
        TPumpPanel* panel = page->Panel(0);
        QVERIFY(WaitForState(*line_, 1, 'E'));
        page->UpdatePumps(false);
        QCOMPARE(panel->StatusLabel()->text(), QStringLiteral("Filling compl"));

        // Key 1 lifts nozzle 1; the page redraws after every key, so the button is down at once.
        // The controller reads the lifted nozzle in the state letter ('E' becomes 'F').
        rig.Press(Qt::Key_1);
        QVERIFY(panel->NozzleButton(1)->isDown());
        QVERIFY(panel->NozzleButton(1)->font().bold());
        QVERIFY(WaitForState(*line_, 1, 'F'));
        rig.Press(Qt::Key_1);
        QVERIFY(!panel->NozzleButton(1)->isDown());
        QVERIFY(WaitForState(*line_, 1, 'E'));

        // Keys 6-9, 0 and Z do nothing to the pump but still redraw everything.
        panel->StatusLabel()->setText(QStringLiteral("stale"));
        for (Qt::Key key : {Qt::Key_6, Qt::Key_9, Qt::Key_0, Qt::Key_Z}) {
            rig.Press(key);
            QVERIFY(StateOnLine(*line_, 1) == 'E');
        }
        QCOMPARE(panel->StatusLabel()->text(), QStringLiteral("Filling compl"));

        // A nozzle button of another pump selects that pump first and lifts the nozzle.
        ClickButton(page->Panel(2)->NozzleButton(3));
        QCOMPARE(page->SelectedPosition(), 2);
        QVERIFY(page->Panel(2)->NozzleButton(3)->isDown());
        QVERIFY(WaitForState(*line_, 3, 'F'));

        // Ctrl+2 lifts nozzle 2 on every pump; Ctrl with the key left of 1 hangs them all up.
        rig.Press(Qt::Key_2, Qt::ControlModifier);
        for (int pump = 1; pump <= 4; ++pump)
            QVERIFY(WaitForState(*line_, pump, 'F'));
        rig.Press(Qt::Key_QuoteLeft, Qt::ControlModifier);
        for (int pump = 1; pump <= 4; ++pump)
            QVERIFY(WaitForState(*line_, pump, 'E'));
    }

    void DecimalsAndVisibleNozzles()
    {
        auto dialogs = std::make_unique<Recording_dialogs>();
        Recording_dialogs* recorded = dialogs.get();
        Window_rig rig(std::move(dialogs));
        TLoop* page = rig.AddPage(Protocol::current_loop, line_->SlavePath(), 1, 2);

        // "Set decimals in loop..." works on a loop without pumps.
        RightClick(page->EmptyPanel(1));
        page->LoopMenu()->close();
        MenuItem(page->LoopMenu(), "Set decimals in loop...")->trigger();
        QCOMPARE(page->Loop().Decimals()->volume, 3);

        rig.Press(Qt::Key_Insert);
        recorded->visible_answer = {true, false, true, false, false};
        rig.Press(Qt::Key_N);
        QCOMPARE(recorded->visible_sizes, std::vector<size_t>{5});
        QCOMPARE(page->Loop().VisibleNozzles(1), (std::vector<bool>{true, false, true, false, false}));
        QVERIFY(page->Panel(1)->NozzleButton(2)->isHidden());
        QVERIFY(!page->Panel(1)->NozzleButton(3)->isHidden());
    }
};

GALLION_SCREENS_TEST_MAIN(CL_page_test)
#include "cl_page_test.moc"
