// The current-loop pump detail dialog on its real widgets, on a real loop whose controller the
// test plays on a pseudo-terminal.
#include <QButtonGroup>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QToolButton>

#include "currentloop/cl_test_frames.h"
#include "screens/modal_step.h"
#include "screens/screens_kit.h"
#include "screens/tcl_detail.h"
#include "screens/tloop.h"
#include "shell/formmain.h"
#include "shell/gallion_application.h"

using namespace screens_kit;

class CL_detail_test : public QObject {
    Q_OBJECT

    std::unique_ptr<Test_place> place_;
    std::unique_ptr<PtyController> line_;
    std::unique_ptr<Pump_loop> loop_;
    Page_dialogs dialogs_;

    // The pump's reply to a frame (fewer than 32 bytes when none came in time).
    std::vector<uint8_t> Ask(const std::vector<uint8_t>& frame)
    {
        line_->Send(frame);
        return line_->ReadExactly(32, 2000);
    }

    char StateOnLine(int pump_number)
    {
        const std::vector<uint8_t> reply = Ask(cltest::Poll(pump_number));
        return cltest::CrcMatches(reply) ? static_cast<char>(reply[22]) : 0;
    }

    // Priced, nozzle 2 disabled, a volume preset of 20.00, reset and authorised.
    void Authorise(int pump_number)
    {
        line_->Send(cltest::Prices(cltest::PumpAddress(pump_number), 1659));  // no reply
        QVERIFY(cltest::CrcMatches(Ask(cltest::Preset(pump_number, 2000, 0x22))));
        QVERIFY(cltest::CrcMatches(Ask(cltest::Poll(pump_number, 'A'))));
        QVERIFY(cltest::CrcMatches(Ask(cltest::Poll(pump_number, 'C'))));
        QVERIFY(WaitUntil([&] { return StateOnLine(pump_number) == 'C'; }));
    }

private slots:
    void init()
    {
        place_ = std::make_unique<Test_place>();
        place_->Settings().Set("CurrentLoop", "PumpSleepMs", "5");
        place_->Settings().Set("CurrentLoop", "PollTimeout", "3600");
        line_ = std::make_unique<PtyController>();
        loop_ = CreateLoop(Protocol::current_loop, line_->SlavePath(), false, 1, 8);
        QVERIFY(loop_->AddPump(0) && loop_->AddPump(5));
    }

    void cleanup()
    {
        loop_.reset();
        line_.reset();
        place_.reset();
    }

    void ShowsThePumpAndItsNozzleTable()
    {
        Authorise(1);
        TCL_detail dialog(dialogs_, nullptr);
        dialog.SetPump(*loop_, 0);
        dialog.show();
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Detail - Current Loop pump"));
        QCOMPARE(dialog.size(), QSize(427, 423));
        QCOMPARE(OverlappingControls(&dialog), QStringList());
        Pump_detail detail;
        QVERIFY(loop_->GetPumpDetail(0, detail));
        QCOMPARE(dialog.StatusLabel()->text(), QStringLiteral("Authorised"));
        QCOMPARE(dialog.PumpNumberLabel()->text(), QStringLiteral("1"));
        QVERIFY(detail.preset_is_volume && !detail.preset_text.empty());
        QCOMPARE(dialog.PresetVolume()->text(), QString::fromStdString(detail.preset_text));
        QCOMPARE(dialog.PresetAmount()->text(), QStringLiteral(" - - - "));
        QCOMPARE(dialog.FillingPrice()->text(), QString::fromStdString(detail.price_text));
        QVERIFY(dialog.Allowed(1)->isChecked() && !dialog.Allowed(2)->isChecked() && dialog.Allowed(3)->isChecked());
        QVERIFY(!dialog.Allowed(1)->isEnabled());
        QCOMPARE(dialog.UnitPrice(1)->text(), QString::fromStdString(detail.nozzles[0].price_text));
        QVERIFY(dialog.UnitPrice(1)->isReadOnly());
        QCOMPARE(dialog.NozzleButtons(), 5);
        QCOMPARE(dialog.NozzleButton(2)->palette().color(QPalette::ButtonText), QColor(255, 0, 0));
        QCOMPARE(dialog.NozzleButton(1)->palette().color(QPalette::ButtonText), QColor(0, 128, 0));
        QCOMPARE(dialog.VisibleNozzlesButton()->text(), QStringLiteral("Existing nozzles..."));
        QVERIFY(dialog.ShowErrorsButton());
        QTest::keyClick(&dialog, Qt::Key_Escape);
        QVERIFY(!dialog.isVisible());
    }

    // A nozzle button lifts its nozzle (the controller sees the filling); any button hangs it up.
    // Typed characters do nothing here; the refresh keeps the pump's own flow.
    void NozzleButtonsFlowAndNoKeys()
    {
        Authorise(1);
        TCL_detail dialog(dialogs_, nullptr);
        dialog.SetPump(*loop_, 0);
        dialog.show();
        ClickButton(dialog.NozzleButton(1));
        QVERIFY(WaitUntil([&] { return StateOnLine(1) == 'D'; }));
        Pump_detail detail;
        QVERIFY(loop_->GetPumpDetail(0, detail));
        QCOMPARE(detail.selected_nozzle, 1);
        QVERIFY(loop_->SetFlow(0, 12.5));
        for (int i = 0; i < 3; ++i)
            dialog.SlowRefresh();
        QVERIFY(loop_->GetPumpDetail(0, detail));
        QCOMPARE(detail.flow, 12.5);
        QCOMPARE(dialog.FlowLabel()->text(), QStringLiteral("Flow: 12.5"));
        QCOMPARE(dialog.SelectedNozzleLabel()->text(), QStringLiteral("1"));

        QTest::keyClicks(dialog.FlowTrackbar(), QStringLiteral("QAOZ3"));
        QVERIFY(loop_->GetPumpDetail(0, detail));
        QCOMPARE(detail.flow, 12.5);
        QCOMPARE(detail.automation_level, 0);
        QCOMPARE(detail.selected_nozzle, 1);

        dialog.FlowTrackbar()->triggerAction(QAbstractSlider::SliderPageStepSub);
        QVERIFY(loop_->GetPumpDetail(0, detail));
        QCOMPARE(detail.flow, 2.0);
        QCOMPARE(dialog.FlowLabel()->text(), QStringLiteral("Flow 2"));

        ClickButton(dialog.NozzleButton(4));
        QVERIFY(loop_->GetPumpDetail(0, detail));
        QCOMPARE(detail.selected_nozzle, 0);
        QVERIFY(WaitUntil([&] { return StateOnLine(1) != 'D'; }));
    }

    // "<<" and ">>" go round the page's eight positions.
    void StepsRoundEightPositions()
    {
        TCL_detail dialog(dialogs_, nullptr);
        dialog.SetPump(*loop_, 0);
        dialog.show();
        ClickButton(dialog.NextButton());
        QCOMPARE(dialog.Position(), 5);
        QCOMPARE(dialog.PumpNumberLabel()->text(), QStringLiteral("6"));
        ClickButton(dialog.NextButton());
        QCOMPARE(dialog.Position(), 0);
        ClickButton(dialog.PreviousButton());
        QCOMPARE(dialog.Position(), 5);
    }

    // Enter on a current-loop page opens this dialog.
    void OpensFromThePage()
    {
        Window_rig rig;
        PtyController other;
        TLoop* page = rig.AddPage(Protocol::current_loop, other.SlavePath(), 3, 6);
        rig.Press(Qt::Key_Insert);
        bool seen = false;
        Modal_step step([&](QWidget* modal) {
            auto* dialog = qobject_cast<TCL_detail*>(modal);
            QVERIFY(dialog);
            QCOMPARE(dialog->PumpNumberLabel()->text(), QStringLiteral("3"));
            seen = true;
            ClickButton(dialog->CloseButton());
        });
        rig.Press(Qt::Key_Return);
        QVERIFY(step.Done() && seen);
        QVERIFY(page->Loop().HasPump(0));
    }
};

GALLION_SCREENS_TEST_MAIN(CL_detail_test)
#include "cl_detail_test.moc"
