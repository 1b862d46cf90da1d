// The Zarn loop page in the main window, on a real loop whose controller the test plays on a
// pseudo-terminal: what the widgets show and what the controller sees on the line.
#include <QElapsedTimer>
#include <QLabel>
#include <QMenu>
#include <QToolButton>
#include <optional>

#include "screens/pump_panel.h"
#include "screens/screens_kit.h"
#include "screens/tloop.h"
#include "shell/formmain.h"
#include "shell/gallion_application.h"
#include "shell/loop_holder.h"
#include "loops/loop_files.h"
#include "screens/tcl_loop.h"
#include "screens/tzarnloop.h"
#include "support/zarn_master.h"

using namespace screens_kit;

namespace {

constexpr uint8_t kPump1 = 0x50;

// Polls until the pump has said everything; the DC3 nozzle bytes it sent meanwhile are kept.
struct Line_view {
    std::optional<uint8_t> last_nozzle_byte;  // NOZIO of the last DC3: selected nozzle in the low nibble, 0x10 out
    int last_status = -1;
};

bool PollUntilEot(ZarnMaster& master, uint8_t address, Line_view* seen = nullptr)
{
    for (int i = 0; i < 30; ++i) {
        const auto reply = master.PollAndAck(address);
        if (!reply)
            return false;
        if (reply->empty())
            return true;
        if (seen) {
            for (const ZarnTransaction& t : *reply) {
                if (t.code == 3 && t.data.size() == 4)
                    seen->last_nozzle_byte = t.data[3];
            }
            if (ZarnController::LastStatus(*reply) >= 0)
                seen->last_status = ZarnController::LastStatus(*reply);
        }
    }
    return false;
}

// Polls until the pump reports the nozzle byte (within the deadline of every poll).
bool WaitForNozzleByte(ZarnMaster& master, uint8_t address, uint8_t expected)
{
    for (int i = 0; i < 20; ++i) {
        Line_view seen;
        if (!PollUntilEot(master, address, &seen))
            return false;
        if (seen.last_nozzle_byte == expected)
            return true;
        QTest::qWait(20);
    }
    return false;
}

}  // namespace

class Zarn_page_test : public QObject {
    Q_OBJECT

    std::unique_ptr<Test_place> place_;
    std::unique_ptr<PtyController> pty_;
    std::unique_ptr<ZarnMaster> master_;

private slots:
    void init()
    {
        place_ = std::make_unique<Test_place>();
        place_->Settings().Set("Zarn", "HandleReturningMessages", "0");  // the test controller does not echo
        place_->Settings().Set("Zarn", "PumpSleepMs", "5");
        place_->Settings().Set("Zarn", "AutoFlow", "0");  // a lifted nozzle starts without flow
        pty_ = std::make_unique<PtyController>();
        master_ = std::make_unique<ZarnMaster>(*pty_);
    }

    void cleanup()
    {
        master_.reset();
        pty_.reset();
        place_.reset();
    }

    void PageLayoutAndCaption()
    {
        Window_rig rig;
        TLoop* page = rig.AddPage(Protocol::zarn, pty_->SlavePath(), 17, 32);
        QCOMPARE(rig.Window().LoopHolder()->tabText(0), page->Caption());
        QVERIFY(page->Caption().contains(QString::fromStdString(pty_->SlavePath())));
        QVERIFY(page->Caption().contains(QStringLiteral("Zarn")));
        QCOMPARE(rig.Window().LoopHolder()->tabPosition(), QTabWidget::South);
        for (int p = 0; p < 16; ++p) {
            QVERIFY(page->EmptyPanel(p));
            QCOMPARE(page->EmptyPanel(p)->Caption()->text(), QString::number(17 + p));
            QCOMPARE(page->EmptyPanel(p)->pos(), QPoint(5 + 112 * (p % 4), 5 + 120 * (p / 4)));
        }
        QCOMPARE(page->SelectionFrame()->geometry(), QRect(0, 0, 110, 125));
        QCOMPARE(page->SelectionFrame()->palette().color(QPalette::Window), QColor(0, 255, 0));
        // The selected empty position is framed, not filled: green shows only around the tile.
        const QImage shot = page->grab().toImage();
        const QColor green(0, 255, 0);
        QCOMPARE(shot.pixelColor(2, 60), green);
        QCOMPARE(shot.pixelColor(15, 15), page->palette().color(QPalette::Window));
        QCOMPARE(shot.pixelColor(55, 110), page->palette().color(QPalette::Window));

        // Pump 17 answers at 0x60 once created.
        rig.Press(Qt::Key_Insert);
        QVERIFY(page->Panel(0));
        QCOMPARE(page->Panel(0)->NumberLabel()->text(), QStringLiteral("17"));
        const auto reply = master_->Poll(0x60);
        QVERIFY(reply);
        QCOMPARE(int((*reply)[0]), 0x60);
    }

    void CtrlInsertCreatesTheLoopsPumpsOnly()
    {
        Window_rig rig;
        TLoop* page = rig.AddPage(Protocol::zarn, pty_->SlavePath(), 1, 12);
        rig.Press(Qt::Key_Insert, Qt::ControlModifier);
        for (int p = 0; p < 12; ++p)
            QVERIFY2(page->Panel(p) && page->Loop().HasPump(p), qPrintable(QString::number(p)));
        for (int p = 12; p < 16; ++p)
            QVERIFY(!page->Panel(p) && !page->EmptyPanel(p));
        for (uint8_t address = kPump1; address < kPump1 + 12; ++address)
            QVERIFY2(master_->Poll(address), qPrintable(QString::number(address, 16)));
        for (uint8_t address = kPump1 + 12; address < kPump1 + 16; ++address)
            QVERIFY(!master_->Poll(address, 150));
    }

    void DigitKeysLiftAndReplaceNozzles()
    {
        Window_rig rig;
        TLoop* page = rig.AddPage(Protocol::zarn, pty_->SlavePath(), 1, 4);
        rig.Press(Qt::Key_Insert);
        QVERIFY(PollUntilEot(*master_, kPump1));
        QVERIFY(master_->ProgramNozzleOne(kPump1));
        // The pump applies the commands on its next cycle.
        QVERIFY(WaitUntil([&] {
            Panel_view view;
            return page->Loop().GetPanelView(0, view) && view.nozzles[0].allowed;
        }));

        // Key 1 on the selected pump selects and lifts nozzle 1: the controller reads nozzle 1
        // out, and the next refresh puts its button down, bold.
        rig.Press(Qt::Key_1);
        QVERIFY(WaitForNozzleByte(*master_, kPump1, 0x11));
        page->UpdatePumps(false);
        QToolButton* one = page->Panel(0)->NozzleButton(1);
        QVERIFY(one->isDown());
        QVERIFY(one->font().bold());
        QCOMPARE(one->toolTip(), QStringLiteral("Replace nozzle 1"));
        QCOMPARE(one->palette().color(QPalette::ButtonText), QColor(0, 128, 0));

        // The same digit (from the keypad) hangs it up.
        rig.Press(Qt::Key_1, Qt::KeypadModifier);
        QVERIFY(WaitForNozzleByte(*master_, kPump1, 0x00));
        page->UpdatePumps(false);
        QVERIFY(!one->isDown());
        QVERIFY(!one->font().bold());

        // Key 0 is nozzle 10, which has no button; pressed again it is hung up.
        rig.Press(Qt::Key_0);
        Pump_detail detail;
        QVERIFY(page->Loop().GetPumpDetail(0, detail));
        QCOMPARE(detail.selected_nozzle, 10);
        page->UpdatePumps(false);
        for (int i = 1; i <= 5; ++i)
            QVERIFY(!page->Panel(0)->NozzleButton(i)->isDown());
        rig.Press(Qt::Key_0);
        QVERIFY(page->Loop().GetPumpDetail(0, detail));
        QVERIFY(!detail.nozzle_out);

        // Ctrl+1 selects and lifts nozzle 1 on every pump; the key left of 1 hangs it up.
        rig.Press(Qt::Key_1, Qt::ControlModifier);
        QVERIFY(WaitForNozzleByte(*master_, kPump1, 0x11));
        rig.Press(Qt::Key_QuoteLeft);
        QVERIFY(WaitForNozzleByte(*master_, kPump1, 0x00));
    }

    void NozzleButtonClickSelectsThePump()
    {
        Window_rig rig;
        TLoop* page = rig.AddPage(Protocol::zarn, pty_->SlavePath(), 1, 4);
        rig.Press(Qt::Key_Insert, Qt::ControlModifier);
        QCOMPARE(page->SelectedPosition(), 0);
        ClickButton(page->Panel(2)->NozzleButton(3));
        QCOMPARE(page->SelectedPosition(), 2);
        QCOMPARE(page->SelectionFrame()->pos(), QPoint(5 + 224 - 5, 0));
        Pump_detail detail;
        QVERIFY(page->Loop().GetPumpDetail(2, detail));
        QCOMPARE(detail.selected_nozzle, 3);
        // The page redraws at once after a click: the button the click raised is down again.
        QVERIFY(page->Panel(2)->NozzleButton(3)->isDown());
        QCOMPARE(master_->Poll(kPump1 + 2).has_value(), true);

        // The flow button toggles 0/40 l/min and selects its pump (the pump delivers: nozzle 1
        // allowed and priced, reset, authorised, lifted).
        QVERIFY(PollUntilEot(*master_, kPump1 + 1));
        QVERIFY(master_->ProgramNozzleOne(kPump1 + 1));
        QVERIFY(master_->SendData(kPump1 + 1, {0x01, 0x01, 0x05, 0x01, 0x01, 0x06}));  // Reset, Authorize
        QVERIFY(WaitUntil([&] { return page->Loop().GetPumpDetail(1, detail) && detail.status == 2; }));
        ClickButton(page->Panel(1)->NozzleButton(1));
        QVERIFY(WaitUntil([&] { return page->Loop().GetPumpDetail(1, detail) && !detail.stopped; }));
        ClickButton(page->Panel(1)->FlowButton());
        QCOMPARE(page->SelectedPosition(), 1);
        QVERIFY(page->Loop().GetPumpDetail(1, detail));
        QCOMPARE(detail.flow, 40.0);
        rig.Press(Qt::Key_Space);
        QVERIFY(page->Loop().GetPumpDetail(1, detail));
        QCOMPARE(detail.flow, 0.0);
        rig.Press(Qt::Key_Q);
        QVERIFY(page->Loop().GetPumpDetail(1, detail));
        QCOMPARE(detail.flow, 10.0);
    }

    void RemovePumpAsksOncePerPress()
    {
        Window_rig rig;
        TLoop* page = rig.AddPage(Protocol::zarn, pty_->SlavePath(), 1, 4);
        rig.Press(Qt::Key_Insert);
        {
            // A held Delete opens one confirmation, answered No: the pump stays.
            Modal_answerer answerer({QMessageBox::No});
            HoldKey(rig.KeyTarget(), Qt::Key_Delete, 5);
            QCOMPARE(answerer.Texts(), QStringList{QStringLiteral("Remove pump ? ")});
        }
        QVERIFY(page->Panel(0));
        QVERIFY(master_->Poll(kPump1));
        {
            Modal_answerer answerer({QMessageBox::Yes});
            rig.Press(Qt::Key_Delete);
            QCOMPARE(answerer.Count(), 1);
        }
        QVERIFY(!page->Panel(0));
        QVERIFY(!page->Loop().HasPump(0));
        QVERIFY(page->EmptyPanel(0)->isVisible());
        QCOMPARE(page->SelectedPosition(), 0);
        pty_->Drain();
        QVERIFY(!master_->Poll(kPump1, 150));

        // Delete on an empty position asks nothing; "New pump" brings the pump back.
        {
            Modal_answerer answerer;
            rig.Press(Qt::Key_Delete);
            QTest::qWait(50);
            QCOMPARE(answerer.Count(), 0);
        }
        RightClick(page->EmptyPanel(0));
        QCOMPARE(Captions(page->LoopMenu()), QStringList{QStringLiteral("New pump")});
        page->LoopMenu()->close();
        MenuItem(page->LoopMenu(), QStringLiteral("New pump"))->trigger();
        QVERIFY(page->Panel(0));
        QVERIFY(master_->Poll(kPump1));
    }

    void CtrlDeleteAsksForEveryPump()
    {
        Window_rig rig;
        TLoop* page = rig.AddPage(Protocol::zarn, pty_->SlavePath(), 1, 8);
        for (int p : {1, 4, 6}) {
            page->SelectPosition(p);
            rig.Press(Qt::Key_Insert);
        }
        Modal_answerer answerer({QMessageBox::No, QMessageBox::Yes, QMessageBox::No});
        rig.Press(Qt::Key_Delete, Qt::ControlModifier);
        QCOMPARE(answerer.Count(), 3);
        QVERIFY(page->Panel(1) && page->Loop().HasPump(1));
        QVERIFY(!page->Panel(4) && !page->Loop().HasPump(4));
        QVERIFY(page->Panel(6) && page->Loop().HasPump(6));
    }

    void SelectionMoves()
    {
        Window_rig rig;
        TLoop* single = rig.AddPage(Protocol::zarn, pty_->SlavePath(), 5, 5);
        for (Qt::Key key : {Qt::Key_Up, Qt::Key_Down, Qt::Key_Left, Qt::Key_Right}) {
            rig.Press(key);
            QCOMPARE(single->SelectedPosition(), 0);
        }

        PtyController other;
        TLoop* page = rig.AddPage(Protocol::zarn, other.SlavePath(), 1, 7);  // positions 0-6
        rig.Press(Qt::Key_Left);  // 0 -> 15, 14, ... 6
        QCOMPARE(page->SelectedPosition(), 6);
        QCOMPARE(page->SelectionFrame()->pos(), QPoint(5 + 224 - 5, 125 - 5));
        rig.Press(Qt::Key_Down);  // 6 -> 10, 14, 2
        QCOMPARE(page->SelectedPosition(), 2);
        rig.Press(Qt::Key_Up);  // 2 -> 14, 10, 6
        QCOMPARE(page->SelectedPosition(), 6);
        rig.Press(Qt::Key_Right);  // 6 -> 7, ... 15, 0
        QCOMPARE(page->SelectedPosition(), 0);
        rig.Press(Qt::Key_Down, Qt::ControlModifier);  // Ctrl with an arrow moves nothing
        QCOMPARE(page->SelectedPosition(), 0);

        // From a position outside the loop whose column has no position inside, the move ends and
        // the selection stays.
        page->SelectPosition(7);
        rig.Press(Qt::Key_Down);  // 11, 15, 3: inside
        QCOMPARE(page->SelectedPosition(), 3);
        page->SelectPosition(15);
        page->MoveSelection(5);
        QCOMPARE(page->SelectedPosition(), 15);
        PtyController third;
        TLoop* three = rig.AddPage(Protocol::zarn, third.SlavePath(), 1, 3);  // positions 0-2
        three->SelectPosition(7);
        three->MoveSelection(2);  // 11, 15, 3, 7, ...: never inside
        QCOMPARE(three->SelectedPosition(), 7);
    }

    void PumpMenuShowsThePumpsState()
    {
        auto dialogs = std::make_unique<Recording_dialogs>();
        Recording_dialogs* recorded = dialogs.get();
        Window_rig rig(std::move(dialogs));
        TLoop* page = rig.AddPage(Protocol::zarn, pty_->SlavePath(), 1, 4);
        rig.Press(Qt::Key_Insert, Qt::ControlModifier);
        QMenu* menu = page->PumpMenu();

        RightClick(page->Panel(1));
        menu->close();
        QCOMPARE(page->SelectedPosition(), 1);
        QCOMPARE(Captions(menu),
                 (QStringList{"Detail...", "Commit error", "Select visible nozzles...", "Begin logging", "Automate",
                              "Filter message display", "Error setup...", "Disconnect", "Remove pump"}));
        QVERIFY(MenuItem(menu, "Manual")->isChecked());

        MenuItem(menu, "Heavy")->trigger();
        QCOMPARE(page->Loop().AutomationLevel(1), 3);
        MenuItem(menu, "Begin logging")->trigger();
        QCOMPARE(recorded->proposed_log_names, std::vector<std::string>{"Pump 2.log"});
        QVERIFY(page->Loop().IsLogging(1));
        page->UpdatePumps(false);
        QCOMPARE(page->Panel(1)->LoggingIndicator()->text(), QStringLiteral("L"));
        QCOMPARE(page->Panel(1)->AutomationIndicator()->text(), QStringLiteral("A"));

        // Disconnected: silent on the line, lowered bevel and displays in the panel's colour.
        MenuItem(menu, "Disconnect")->trigger();
        QVERIFY(!page->Loop().IsConnected(1));
        page->UpdatePumps(false);
        QCOMPARE(page->Panel(1)->frameShadow(), QFrame::Sunken);
        QCOMPARE(Background(page->Panel(1)->VolumeDisplay()), Background(page->Panel(1)));
        pty_->Drain();
        QVERIFY(!master_->Poll(kPump1 + 1, 150));

        // Opened again, the menu shows what changed since.
        page->Loop().SetAutomation(1, 0);
        RightClick(page->Panel(1));
        menu->close();
        QVERIFY(MenuItem(menu, "Abort logging"));
        QVERIFY(MenuItem(menu, "Connect"));
        QVERIFY(MenuItem(menu, "Manual")->isChecked());
        QVERIFY(!MenuItem(menu, "Heavy")->isChecked());
        MenuItem(menu, "Connect")->trigger();
        page->UpdatePumps(false);
        QCOMPARE(page->Panel(1)->frameShadow(), QFrame::Raised);
        QCOMPARE(Background(page->Panel(1)->VolumeDisplay()), QColor(Qt::white));
        QVERIFY(master_->Poll(kPump1 + 1));
        MenuItem(menu, "Abort logging")->trigger();
        QVERIFY(!page->Loop().IsLogging(1));

        // The visible-nozzles dialog edits nozzles 1-10; nozzles 11-15 keep their flags.
        std::vector<bool> before = page->Loop().VisibleNozzles(1);
        QCOMPARE(before.size(), size_t(15));
        recorded->visible_answer = std::vector<bool>(10, false);
        recorded->visible_answer[1] = true;
        MenuItem(menu, "Select visible nozzles...")->trigger();
        QCOMPARE(recorded->visible_sizes, std::vector<size_t>{10});
        const std::vector<bool> after = page->Loop().VisibleNozzles(1);
        QVERIFY(!after[0] && after[1] && !after[2]);
        for (size_t i = 10; i < 15; ++i)
            QCOMPARE(bool(after[i]), bool(before[i]));
        page->UpdatePumps(false);
        QVERIFY(page->Panel(1)->NozzleButton(1)->isHidden());
        QVERIFY(!page->Panel(1)->NozzleButton(2)->isHidden());

        // Enter and R reach the detail and error dialogs of the selected pump.
        rig.Press(Qt::Key_Return);
        rig.Press(Qt::Key_R);
        QCOMPARE(recorded->detail_positions, std::vector<int>{1});
        QCOMPARE(recorded->error_positions, std::vector<int>{1});
    }

    void EveryPumpMenuItemAndDialogKeyIsAvailable()
    {
        Window_rig rig;
        TLoop* page = rig.AddPage(Protocol::zarn, pty_->SlavePath(), 1, 4);
        rig.Press(Qt::Key_Insert);
        RightClick(page->Panel(0));
        page->PumpMenu()->close();
        for (const char* caption : {"Detail...", "Commit error", "Select visible nozzles...", "Begin logging",
                                    "Filter message display", "Error setup...", "Disconnect", "Remove pump"})
            QVERIFY2(MenuItem(page->PumpMenu(), caption)->isEnabled(), caption);

        // The detail dialog and the log dialog open (and are closed by the answerer): no dialog
        // reports that it is missing.
        Modal_answerer answerer;
        rig.Press(Qt::Key_Return);
        rig.Press(Qt::Key_L);
        QVERIFY2(answerer.Texts().isEmpty(), qPrintable(answerer.Texts().join(QStringLiteral(" | "))));
        QVERIFY(!page->Loop().IsLogging(0));
    }

    void FeedFollowsTheCurrentTabOnly()
    {
        Window_rig rig;
        TLoop* first = rig.AddPage(Protocol::zarn, pty_->SlavePath(), 1, 4);
        first->SetCommunicationOn(true);
        // The page's own hide and show events (a window minimised, covered, restored) leave the
        // feed alone.
        first->hide();
        first->show();
        rig.Window().showMinimized();
        QTest::qWait(20);
        QVERIFY(first->Loop().IsCommunicationOn());
        rig.Window().showNormal();

        PtyController other;
        TLoop* second = rig.AddPage(Protocol::zarn, other.SlavePath(), 1, 4);
        QVERIFY(!first->Loop().IsCommunicationOn());
        second->SetCommunicationOn(false);
        rig.Press(Qt::Key_F5);  // the next tab after the last is the first
        QCOMPARE(rig.Window().ActivePage(), first);
        QVERIFY(first->Loop().IsCommunicationOn());
        QVERIFY(!second->Loop().IsCommunicationOn());
        QVERIFY(!second->SavedCommunication());
    }

    // Every panel of a full page shows its own pump. Also reports what one refresh costs (a
    // figure, not a check).
    void SixteenPanelsRefresh()
    {
        Window_rig rig;
        TLoop* page = rig.AddPage(Protocol::zarn, pty_->SlavePath(), 1, 16);
        rig.Press(Qt::Key_Insert, Qt::ControlModifier);
        page->Loop().SetConnected(9, false);
        page->Loop().SetAutomation(3, 1);
        page->UpdatePumps(false);
        for (int p = 0; p < 16; ++p) {
            QCOMPARE(page->Panel(p)->frameShadow(), p == 9 ? QFrame::Sunken : QFrame::Raised);
            QCOMPARE(page->Panel(p)->AutomationIndicator()->text(), p == 3 ? QStringLiteral("A") : QString());
        }
        page->Loop().SetAutomation(3, 0);

        constexpr int kRounds = 200;
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < kRounds; ++i)
            page->UpdatePumps(false);
        const double unforced_us = clock.nsecsElapsed() / 1000.0 / kRounds;
        clock.restart();
        for (int i = 0; i < kRounds; ++i)
            page->UpdatePumps(true);
        const double forced_us = clock.nsecsElapsed() / 1000.0 / kRounds;
        qInfo("UpdatePumps of 16 pumps: %.1f us (timer refresh), %.1f us (forced)", unforced_us, forced_us);
    }

    // --config: every loop of the file becomes a loaded-loop page with panels for its pumps.
    void LoadedLoopPages()
    {
        const std::string file = place_->Dir().File("two.gcf");
        PtyController cl_line;
        {
            std::unique_ptr<Pump_loop> zarn = CreateLoop(Protocol::zarn, pty_->SlavePath(), false, 3, 10);
            std::unique_ptr<Pump_loop> cl = CreateLoop(Protocol::current_loop, cl_line.SlavePath(), false, 1, 8);
            QVERIFY(zarn->AddPump(1) && zarn->AddPump(4) && cl->AddPump(7));
            zarn->SetConnected(4, false);
            QCOMPARE(SaveLoops(file, {zarn.get(), cl.get()}), std::string());
        }
        Window_rig rig;
        QVERIFY(rig.Window().LoadConfiguration(file).empty());
        TLoopHolder* holder = rig.Window().LoopHolder();
        QCOMPARE(holder->count(), 2);
        TLoop* zarn_page = holder->Page(0);
        TLoop* cl_page = holder->Page(1);
        QCOMPARE(rig.Window().ActivePage(), zarn_page);  // the file's first loop
        QVERIFY(qobject_cast<TZarnLoop*>(zarn_page) && qobject_cast<TCL_Loop*>(cl_page));
        for (int p = 0; p < 8; ++p)
            QCOMPARE(zarn_page->Panel(p) != nullptr, p == 1 || p == 4);
        QCOMPARE(zarn_page->Panel(4)->NumberLabel()->text(), QStringLiteral("7"));
        QCOMPARE(zarn_page->Panel(4)->frameShadow(), QFrame::Sunken);  // drawn at once, disconnected
        QCOMPARE(zarn_page->Panel(1)->frameShadow(), QFrame::Raised);
        QVERIFY(cl_page->Panel(7));
        QVERIFY(master_->Poll(0x53));  // pump 4 (position 1) answers on the loaded loop
        QVERIFY(!master_->Poll(0x56, 150));  // pump 7 was saved disconnected

        // A damaged file is refused whole: the pages stay.
        const std::string bad = place_->Dir().File("bad.gcf");
        FILE* out = std::fopen(bad.c_str(), "wb");
        std::fputs("not a configuration", out);
        std::fclose(out);
        QCOMPARE(rig.Window().LoadConfiguration(bad).size(), size_t(1));
        QCOMPARE(holder->count(), 2);
    }

    void KeysOfOtherWindowsDoNotReachThePage()
    {
        Window_rig rig;
        TLoop* page = rig.AddPage(Protocol::zarn, pty_->SlavePath(), 1, 4);
        QWidget other;
        other.show();
        PressKey(&other, Qt::Key_Insert);
        QVERIFY(!page->Loop().HasPump(0));
        // Any control of the main window passes the key to the page.
        PressKey(page->EmptyPanel(2), Qt::Key_Insert);
        QVERIFY(page->Loop().HasPump(0));
    }
};

GALLION_SCREENS_TEST_MAIN(Zarn_page_test)
#include "zarn_page_test.moc"
