// The Zarn pump detail dialog and its engine dialogs (receive errors, output registers, set
// totals) on their real widgets, on a real loop whose controller the test plays on a
// pseudo-terminal: what the dialogs show and what the controller reads back.
#include <QButtonGroup>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QToolButton>
#include <QTreeWidget>

#include "screens/formoutputregister.h"
#include "screens/formrxerrors.h"
#include "screens/formzarnsettotals.h"
#include "screens/modal_step.h"
#include "screens/pump_panel.h"
#include "screens/screens_kit.h"
#include "screens/tloop.h"
#include "screens/tzarn_detail.h"
#include "shell/formmain.h"
#include "shell/gallion_application.h"
#include "support/zarn_master.h"

using namespace screens_kit;

namespace {

constexpr uint8_t kPump1 = 0x50;
const Bytes kReturnStatus{0x01, 0x01, 0x00};
const Bytes kReturnIdentity{0x01, 0x01, 0x03};
const Bytes kResetAuthorize{0x01, 0x01, 0x05, 0x01, 0x01, 0x06};
const Bytes kBadPreset{0x03, 0x01, 0x00};  // CD3 with a length that is not 4: a receive error

// Polls until the pump has said everything; every transaction it sent meanwhile.
std::optional<std::vector<ZarnTransaction>> Drain(ZarnMaster& master, uint8_t address)
{
    std::vector<ZarnTransaction> all;
    for (int i = 0; i < 40; ++i) {
        const auto reply = master.PollAndAck(address);
        if (!reply)
            return std::nullopt;
        if (reply->empty())
            return all;
        all.insert(all.end(), reply->begin(), reply->end());
    }
    return std::nullopt;
}

// The data of the last transaction `code` the pump sends in answer to `command`.
std::optional<Bytes> Ask(ZarnMaster& master, uint8_t address, const Bytes& command, uint8_t code)
{
    if (!Drain(master, address) || !master.SendData(address, command))
        return std::nullopt;
    // The pump answers on its next cycle.
    for (int round = 0; round < 20; ++round) {
        const auto said = Drain(master, address);
        if (!said)
            return std::nullopt;
        std::optional<Bytes> last;
        for (const ZarnTransaction& t : *said) {
            if (t.code == code)
                last = t.data;
        }
        if (last)
            return last;
        QTest::qWait(10);
    }
    return std::nullopt;
}

// The NOZIO byte of the pump's answer to Return status (selected nozzle, 0x10 when out).
int NozzleOnLine(ZarnMaster& master, uint8_t address)
{
    const auto dc3 = Ask(master, address, kReturnStatus, 3);
    return dc3 && dc3->size() == 4 ? (*dc3)[3] : -1;
}

QRadioButton* Item(QButtonGroup* group, int id)
{
    return qobject_cast<QRadioButton*>(group->button(id));
}

}  // namespace

class Zarn_detail_test : public QObject {
    Q_OBJECT

    std::unique_ptr<Test_place> place_;
    std::unique_ptr<PtyController> pty_;
    std::unique_ptr<ZarnMaster> master_;
    std::unique_ptr<Pump_loop> loop_;
    Page_dialogs dialogs_;

    // Nozzles 1 and 2 (and `more`) allowed, every nozzle priced 1.00.
    bool Program(uint8_t address, const Bytes& more = {})
    {
        Bytes allowed{0x02, static_cast<uint8_t>(2 + more.size()), 0x01, 0x02};
        allowed.insert(allowed.end(), more.begin(), more.end());
        return Drain(*master_, address) && master_->ProgramNozzleOne(address) && master_->SendData(address, allowed);
    }

    bool WaitForDetail(int position, const std::function<bool(const Pump_detail&)>& condition)
    {
        return WaitUntil([&] {
            Pump_detail detail;
            return loop_->GetPumpDetail(position, detail) && condition(detail);
        });
    }

private slots:
    void init()
    {
        place_ = std::make_unique<Test_place>();
        place_->Settings().Set("Zarn", "HandleReturningMessages", "0");
        place_->Settings().Set("Zarn", "PumpSleepMs", "5");
        place_->Settings().Set("Zarn", "AutoFlow", "0");
        place_->Settings().Set("Zarn", "LogRXErrors", "1");
        pty_ = std::make_unique<PtyController>();
        master_ = std::make_unique<ZarnMaster>(*pty_);
        loop_ = CreateLoop(Protocol::zarn, pty_->SlavePath(), false, 1, 4);
        QVERIFY(loop_->AddPump(0));
    }

    void cleanup()
    {
        loop_.reset();
        master_.reset();
        pty_.reset();
        place_.reset();
    }

    // Enter on the page opens the dialog on the selected pump, already showing it; Enter closes
    // it; the page keeps the one dialog for the next opening.
    void OpensFromThePageShowingThePumpAtOnce()
    {
        Window_rig rig;
        PtyController other;
        TLoop* page = rig.AddPage(Protocol::zarn, other.SlavePath(), 5, 8);
        page->SelectPosition(2);
        rig.Press(Qt::Key_Insert);
        QVERIFY(page->Loop().SelectNozzle(2, 3).has_value());
        RightClick(page->Panel(2));
        page->PumpMenu()->close();
        QVERIFY(MenuItem(page->PumpMenu(), QStringLiteral("Detail..."))->isEnabled());

        TZarn_Detail* seen = nullptr;
        Modal_step step([&](QWidget* modal) {
            seen = qobject_cast<TZarn_Detail*>(modal);
            QVERIFY(seen);
            QCOMPARE(seen->windowTitle(), QStringLiteral("Detail"));
            QCOMPARE(seen->size(), QSize(482, 428));
            QCOMPARE(OverlappingControls(seen), QStringList());
            QCOMPARE(seen->PumpNumberLabel()->text(), QStringLiteral("7"));
            QCOMPARE(seen->StatusLabel()->text(), QStringLiteral("Not programmed"));
            QCOMPARE(seen->SelectedNozzleLabel()->text(), QStringLiteral("3"));
            QCOMPARE(seen->PresetVolume()->text(), QStringLiteral("999999.99"));
            QToolButton* three = seen->NozzleButton(3);
            QVERIFY(three->font().bold());
            QCOMPARE(three->font().pixelSize(), 16);
            QVERIFY(!seen->NozzleButton(2)->font().bold());
            QCOMPARE(seen->NozzleButton(2)->font().pixelSize(), 13);
            // Nozzles 1-5 are visible at creation, none allowed: red captions.
            QVERIFY(seen->NozzleButton(5)->isVisible() && !seen->NozzleButton(6)->isVisible());
            QCOMPARE(seen->NozzleButton(1)->palette().color(QPalette::ButtonText), QColor(255, 0, 0));
            QCOMPARE(seen->RxErrorsLabel()->text(), QStringLiteral("0"));
            QVERIFY(!seen->ShowErrorsButton()->isEnabled());
            // The dialogs these buttons open are available, as in the page's menu.
            QVERIFY(seen->ChooseErrorButton()->isEnabled());
            QVERIFY(seen->VisibleNozzlesButton()->isEnabled());
            QVERIFY(seen->LoggedStatus()->isEnabled());
            QVERIFY(seen->FastTimer()->isActive() && seen->SlowTimer()->isActive());
            QCOMPARE(seen->FastTimer()->interval(), 500);
            QCOMPARE(seen->SlowTimer()->interval(), 3000);
            PressKey(seen->Totals(), Qt::Key_Return);
        });
        rig.Press(Qt::Key_Return);
        QVERIFY(step.Done());
        QVERIFY(seen && !seen->isVisible());
        QVERIFY(!seen->FastTimer()->isActive() && !seen->SlowTimer()->isActive());

        Modal_step again([&](QWidget* modal) {
            QCOMPARE(modal, static_cast<QWidget*>(seen));
            ClickButton(seen->CloseButton());
        });
        rig.Press(Qt::Key_Return);
        QVERIFY(again.Done());
        QCOMPARE(int(page->findChildren<TDetail_dialog*>().size()), 1);
    }

    // The nozzle button lifts and selects its nozzle, as the controller's Return status shows;
    // any button hangs the selected nozzle up.
    void NozzleButtonsDriveThePump()
    {
        QVERIFY(Program(kPump1));
        TZarn_Detail dialog(dialogs_, nullptr);
        dialog.SetPump(*loop_, 0);
        dialog.show();
        QVERIFY(WaitForDetail(0, [](const Pump_detail& d) { return d.nozzles[1].allowed; }));
        dialog.SlowRefresh();
        QCOMPARE(dialog.NozzleButton(2)->palette().color(QPalette::ButtonText), QColor(0, 128, 0));
        QCOMPARE(dialog.NozzleButton(3)->palette().color(QPalette::ButtonText), QColor(255, 0, 0));

        ClickButton(dialog.NozzleButton(2));
        QCOMPARE(NozzleOnLine(*master_, kPump1), 0x12);
        QVERIFY(WaitUntil([&] { return dialog.NozzleButton(2)->font().bold(); }));  // the fast timer
        ClickButton(dialog.NozzleButton(4));
        QCOMPARE(NozzleOnLine(*master_, kPump1), 0x00);
        dialog.FastRefresh();
        QVERIFY(!dialog.NozzleButton(2)->font().bold());
        QVERIFY(!dialog.NozzleButton(4)->font().bold());
    }

    // Refreshes show the pump and change nothing on it: identity, flow and automation stay as
    // they are; only the operator's clicks and moves act.
    void RefreshesNeverActOnThePump()
    {
        QVERIFY(Program(kPump1));
        QVERIFY(master_->SendData(kPump1, kResetAuthorize));
        QVERIFY(WaitForDetail(0, [](const Pump_detail& d) { return d.status == 2; }));
        loop_->NozzleClick(0, 1);
        QVERIFY(WaitForDetail(0, [](const Pump_detail& d) { return !d.stopped; }));
        QVERIFY(loop_->SetFlow(0, 12.5));

        TZarn_Detail dialog(dialogs_, nullptr);
        dialog.SetPump(*loop_, 0);
        dialog.show();
        for (int i = 0; i < 4; ++i)
            dialog.SlowRefresh();
        QTest::qWait(50);
        Pump_detail detail;
        QVERIFY(loop_->GetPumpDetail(0, detail));
        QCOMPARE(detail.flow, 12.5);
        QCOMPARE(dialog.FlowLabel()->text(), QStringLiteral("Flow: 12.5"));
        QCOMPARE(dialog.FlowTrackbar()->value(), 12);
        // The page's pumps report 00 00 02 22 22: "Full zarn", and so it stays.
        QVERIFY(Item(dialog.Fullzarn(), 1)->isChecked());
        QCOMPARE(Ask(*master_, kPump1, kReturnIdentity, 9), (Bytes{0x00, 0x00, 0x02, 0x22, 0x22}));

        // The operator's moves: one step up is 13 l/min, a whole number; the top is 40.
        dialog.FlowTrackbar()->setFocus();
        QTest::keyClick(dialog.FlowTrackbar(), Qt::Key_Up);
        QVERIFY(loop_->GetPumpDetail(0, detail));
        QCOMPARE(detail.flow, 13.0);
        QCOMPARE(dialog.FlowLabel()->text(), QStringLiteral("Flow 13"));
        dialog.FlowTrackbar()->triggerAction(QAbstractSlider::SliderToMaximum);
        QVERIFY(loop_->GetPumpDetail(0, detail));
        QCOMPARE(detail.flow, 40.0);
        QCOMPARE(dialog.FlowLabel()->text(), QStringLiteral("Flow 40"));
        dialog.SlowRefresh();
        QCOMPARE(dialog.FlowLabel()->text(), QStringLiteral("Flow: 40"));
        ClickButton(dialog.FlowButton());
        QVERIFY(loop_->GetPumpDetail(0, detail));
        QCOMPARE(detail.flow, 0.0);

        loop_->SetAutomation(0, 1);
        for (int i = 0; i < 3; ++i)
            dialog.SlowRefresh();
        QCOMPARE(loop_->AutomationLevel(0), 1);
        QVERIFY(Item(dialog.AutomationGroup(), 1)->isChecked());
        QCOMPARE(Item(dialog.AutomationGroup(), 1)->text(), QStringLiteral("Light "));
        ClickButton(Item(dialog.AutomationGroup(), 3));
        QCOMPARE(loop_->AutomationLevel(0), 3);
        ClickButton(Item(dialog.AutomationGroup(), 0));
        QCOMPARE(loop_->AutomationLevel(0), 0);

        ClickButton(Item(dialog.Fullzarn(), 0));
        QCOMPARE(Ask(*master_, kPump1, kReturnIdentity, 9), (Bytes{0x01, 0x01, 0x01, 0x01, 0x01}));
        dialog.SlowRefresh();
        QVERIFY(Item(dialog.Fullzarn(), 0)->isChecked());
        ClickButton(Item(dialog.Fullzarn(), 1));
        QCOMPARE(Ask(*master_, kPump1, kReturnIdentity, 9), (Bytes{0x00, 0x00, 0x02, 0x00, 0x00}));
    }

    // The totals list: allowed nozzles only (11-15 too), the chosen row kept across refreshes;
    // a double click sets that nozzle's totals exactly, as the controller reads them back.
    void SetTotalsExactlyForTheChosenRow()
    {
        QVERIFY(Program(kPump1, {12}));
        TZarn_Detail dialog(dialogs_, nullptr);
        dialog.SetPump(*loop_, 0);
        dialog.show();
        QVERIFY(WaitForDetail(0, [](const Pump_detail& d) { return d.nozzles[11].allowed; }));
        dialog.SlowRefresh();
        QTreeWidget* totals = dialog.Totals();
        QCOMPARE(totals->topLevelItemCount(), 3);
        QCOMPARE(totals->topLevelItem(2)->text(0), QStringLiteral("12"));
        QCOMPARE(totals->topLevelItem(1)->text(1), QStringLiteral("1.00"));
        QCOMPARE(totals->headerItem()->text(4), QStringLiteral("Num of Fillings"));
        const auto row_two = [&] { return totals->visualItemRect(totals->topLevelItem(1)).center(); };
        QTest::mouseClick(totals->viewport(), Qt::LeftButton, {}, row_two());
        dialog.SlowRefresh();
        QCOMPARE(totals->selectedItems().size(), 1);
        QCOMPARE(totals->selectedItems().first()->text(0), QStringLiteral("2"));

        QStringList refusals;
        Modal_step refusing([&](QWidget* modal) {
            auto* set = qobject_cast<TfZarnSetTotals*>(modal);
            QVERIFY(set);
            QCOMPARE(set->windowTitle(), QStringLiteral("Set totals for pump"));
            QCOMPARE(set->PumpLabel()->text(), QStringLiteral("Totals for pump 1"));
            QCOMPARE(set->NozzleLabel()->text(), QStringLiteral("2"));
            QCOMPARE(set->VolumeEdit()->text(), QStringLiteral("0.00"));
            QCOMPARE(set->FillingsEdit()->text(), QStringLiteral("0"));
            const QStringList cases[] = {{"1234.5", "0.29", "12a"}, {"1e3", "0.29", "12"}, {"-1", "0.29", "12"},
                                         {"1234.5", "12345678901", "12"}, {"1234.5", "inf", "12"}};
            for (const QStringList& values : cases) {
                set->VolumeEdit()->setText(values[0]);
                set->AmountEdit()->setText(values[1]);
                set->FillingsEdit()->setText(values[2]);
                Modal_answerer answerer;
                ClickButton(set->OkButton());
                refusals << answerer.Texts();
                QVERIFY(set->isVisible());
            }
            ClickButton(set->CancelButton());
        });
        QTest::mouseDClick(totals->viewport(), Qt::LeftButton, {}, row_two());
        QVERIFY(refusals.size() == 5);
        QCOMPARE(refusals, (QStringList{"Number of fillings not a valid value", "Volume not a valid value",
                                        "Volume not a valid value", "Amount not a valid value",
                                        "Amount not a valid value"}));
        Pump_detail detail;
        QVERIFY(loop_->GetPumpDetail(0, detail));
        QCOMPARE(detail.nozzles[1].fillings_text, std::string("0"));

        Modal_step setting([&](QWidget* modal) {
            auto* set = qobject_cast<TfZarnSetTotals*>(modal);
            QVERIFY(set);
            QCOMPARE(set->Nozzle(), 2);
            set->VolumeEdit()->setText(QStringLiteral("1234.5"));
            set->AmountEdit()->setText(QStringLiteral("0.29"));
            set->FillingsEdit()->setText(QStringLiteral("12"));
            ClickButton(set->OkButton());
            QVERIFY(!set->isVisible());
        });
        QTest::mouseDClick(totals->viewport(), Qt::LeftButton, {}, row_two());
        QVERIFY(setting.Done());
        // Counter 2: the volume total of nozzle 2; counter 18: its amount total and fillings.
        const auto volume = Ask(*master_, kPump1, {0x65, 0x01, 0x02}, 0x65);
        QVERIFY(volume && volume->size() == 16);
        QCOMPARE(Bytes(volume->begin() + 1, volume->begin() + 6), (Bytes{0x00, 0x00, 0x12, 0x34, 0x50}));
        const auto amount = Ask(*master_, kPump1, {0x65, 0x01, 0x12}, 0x65);
        QVERIFY(amount && amount->size() == 16);
        QCOMPARE(Bytes(amount->begin() + 1, amount->begin() + 6), (Bytes{0x00, 0x00, 0x00, 0x00, 0x29}));
        QCOMPARE(Bytes(amount->begin() + 6, amount->begin() + 11), (Bytes{0x00, 0x00, 0x00, 0x00, 0x12}));
        QVERIFY(loop_->GetPumpDetail(0, detail));
        QCOMPARE(detail.nozzles[0].volume_total_text, std::string("0.00"));  // the row above is untouched

        // A new dialog for the next use: the totals just set, nothing typed before.
        dialog.SlowRefresh();
        QCOMPARE(totals->selectedItems().first()->text(2), QStringLiteral("1234.50"));
        QString shown_volume;
        Modal_step reading([&](QWidget* modal) {
            shown_volume = qobject_cast<TfZarnSetTotals*>(modal)->VolumeEdit()->text();
        });
        dialog.SetTotalsOfSelectedRow();
        QCOMPARE(shown_volume, QStringLiteral("1234.50"));
    }

    // Receive errors: counted, "Show errors" enabled once there are lines, taken out of the pump
    // once and kept by the dialog under their own pump; new errors reach the open window.
    void ReceiveErrorsStayWithTheirPump()
    {
        QVERIFY(loop_->AddPump(1));
        TZarn_Detail dialog(dialogs_, nullptr);
        dialog.SetPump(*loop_, 0);
        dialog.show();
        QVERIFY(!dialog.ShowErrorsButton()->isEnabled());
        QVERIFY(Drain(*master_, kPump1));
        QVERIFY(master_->SendData(kPump1, kBadPreset));
        QVERIFY(WaitForDetail(0, [](const Pump_detail& d) { return d.rx_error_count == 1; }));
        dialog.FastRefresh();
        QCOMPARE(dialog.RxErrorsLabel()->text(), QStringLiteral("1"));
        dialog.SlowRefresh();
        QVERIFY(dialog.ShowErrorsButton()->isEnabled());

        QString first_text;
        Modal_step first([&](QWidget* modal) {
            auto* errors = qobject_cast<TfRXErrors*>(modal);
            QVERIFY(errors);
            QCOMPARE(errors->windowTitle(), QStringLiteral("View pump RX errors"));
            first_text = errors->Text()->toPlainText();
            QVERIFY(loop_->RxErrorLines(0).empty());  // taken out of the pump
            // An error that comes while the window is open is added by the fast refresh.
            QVERIFY(master_->SendData(kPump1, kBadPreset));
            QVERIFY(WaitUntil([&] { return errors->Text()->toPlainText().count(QStringLiteral("CD3")) == 2; }));
            ClickButton(errors->CloseButton());
        });
        ClickButton(dialog.ShowErrorsButton());
        QVERIFY(first.Done());
        QCOMPARE(first_text.count(QStringLiteral("CD3 Preset volume")), 1);

        // Opened again: each error once, none lost.
        QString second_text;
        Modal_step second([&](QWidget* modal) {
            second_text = qobject_cast<TfRXErrors*>(modal)->Text()->toPlainText();
        });
        ClickButton(dialog.ShowErrorsButton());
        QVERIFY(second.Done());
        QCOMPARE(second_text.count(QStringLiteral("CD3 Preset volume")), 2);

        // The next pump has none of them; back on the first they are there.
        ClickButton(dialog.NextButton());
        QCOMPARE(dialog.PumpNumberLabel()->text(), QStringLiteral("2"));
        QVERIFY(!dialog.ShowErrorsButton()->isEnabled());
        QVERIFY(!dialog.RxErrorsDialog()->HasText(1));
        QCOMPARE(dialog.RxErrorsLabel()->text(), QStringLiteral("0"));
        ClickButton(dialog.PreviousButton());
        QVERIFY(dialog.ShowErrorsButton()->isEnabled());

        // Saved as a text file; cleared, there is nothing left to show.
        Modal_step clearing([&](QWidget* modal) {
            auto* errors = qobject_cast<TfRXErrors*>(modal);
            QCOMPARE(errors->SaveTo(QStringLiteral("errors.txt")), QString());
            ClickButton(errors->ClearButton());
            QVERIFY(errors->Text()->toPlainText().isEmpty());
        });
        ClickButton(dialog.ShowErrorsButton());
        QVERIFY(clearing.Done());
        QCOMPARE(QString::fromStdString(ReadWholeFile("errors.txt")).count(QStringLiteral("CD3 Preset volume")), 2);
        QVERIFY(!dialog.ShowErrorsButton()->isEnabled());
    }

    // CD7 writes appear in the open output-register window within its one-second refresh; the
    // marks are the pump's, not the user's.
    void OutputRegistersFollowTheController()
    {
        TZarn_Detail dialog(dialogs_, nullptr);
        dialog.SetPump(*loop_, 0);
        dialog.show();
        QVERIFY(Drain(*master_, kPump1));
        bool seen = false;
        Modal_step step([&](QWidget* modal) {
            auto* registers = qobject_cast<TfZarnOutputRegister*>(modal);
            QVERIFY(registers);
            QCOMPARE(registers->windowTitle(), QStringLiteral("Output Registers"));
            QListWidget* list = registers->List();
            QCOMPARE(list->count(), 15);
            QCOMPARE(list->item(0)->text(), QStringLiteral("0x00=0x00"));
            QCOMPARE(list->item(14)->text(), QStringLiteral("0x0E=0x00: Hose Leak Test functionality"));
            QVERIFY(!(list->item(10)->flags() & Qt::ItemIsUserCheckable));
            QVERIFY(master_->SendData(kPump1, {0x07, 0x02, 0x0A, 0x01}));
            QVERIFY(master_->SendData(kPump1, {0x07, 0x02, 0x0B, 0xA2}));
            QVERIFY(WaitUntil([&] { return list->item(11)->text().startsWith(QStringLiteral("0x0B=0xA2")); }, 2500));
            QCOMPARE(list->item(10)->text(), QStringLiteral("0x0A=0x01: Master Red/Green functionality"));
            QCOMPARE(list->item(10)->checkState(), Qt::Checked);
            QCOMPARE(list->item(11)->text(), QStringLiteral("0x0B=0xA2: Master SB/BT functionality"));
            QCOMPARE(list->item(11)->checkState(), Qt::PartiallyChecked);
            QCOMPARE(list->item(0)->checkState(), Qt::Unchecked);
            // A click on a mark changes nothing.
            const QRect mark = list->visualItemRect(list->item(10));
            QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, QPoint(mark.left() + 8, mark.center().y()));
            QCOMPARE(list->item(10)->checkState(), Qt::Checked);
            seen = true;
        });
        ClickButton(dialog.OutputRegButton());
        QVERIFY(step.Done() && seen);
    }

    // The typed characters, seen before the controls: upper case only.
    void KeyCommands()
    {
        QVERIFY(Program(kPump1));
        QVERIFY(master_->SendData(kPump1, kResetAuthorize));
        QVERIFY(WaitForDetail(0, [](const Pump_detail& d) { return d.status == 2 && d.nozzles[1].allowed; }));
        TZarn_Detail dialog(dialogs_, nullptr);
        dialog.SetPump(*loop_, 0);
        dialog.show();
        QWidget* list = dialog.Totals();
        QTest::keyClicks(list, QStringLiteral("2"));
        QCOMPARE(NozzleOnLine(*master_, kPump1), 0x12);
        QVERIFY(WaitForDetail(0, [](const Pump_detail& d) { return !d.stopped; }));
        QTest::keyClicks(list, QStringLiteral("QQ"));
        Pump_detail detail;
        QVERIFY(loop_->GetPumpDetail(0, detail));
        QCOMPARE(detail.flow, 20.0);
        QTest::keyClicks(dialog.FlowTrackbar(), QStringLiteral("aA"));
        QVERIFY(loop_->GetPumpDetail(0, detail));
        QCOMPARE(detail.flow, 10.0);
        QTest::keyClicks(list, QStringLiteral("O"));
        QCOMPARE(loop_->AutomationLevel(0), 2);
        QTest::keyClicks(list, QStringLiteral("P"));
        QCOMPARE(loop_->AutomationLevel(0), 0);
        // A held Enter does not close the dialog; a press does.
        QKeyEvent repeat(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QString(), true);
        QApplication::sendEvent(list, &repeat);
        QVERIFY(dialog.isVisible());
        QTest::keyClick(list, Qt::Key_Return);
        QVERIFY(!dialog.isVisible());
        QVERIFY(!dialog.FastTimer()->isActive());
    }

    // "<<" and ">>" go round the page's sixteen positions to the next pump.
    void StepsToTheNextPump()
    {
        QVERIFY(loop_->AddPump(3));
        TZarn_Detail dialog(dialogs_, nullptr);
        dialog.SetPump(*loop_, 0);
        dialog.show();
        ClickButton(dialog.NextButton());
        QCOMPARE(dialog.Position(), 3);
        QCOMPARE(dialog.PumpNumberLabel()->text(), QStringLiteral("4"));
        ClickButton(dialog.NextButton());
        QCOMPARE(dialog.Position(), 0);
        ClickButton(dialog.PreviousButton());
        QCOMPARE(dialog.Position(), 3);
        QVERIFY(loop_->RemovePump(3));
        ClickButton(dialog.NextButton());  // one pump: a full round back to it
        QCOMPARE(dialog.Position(), 0);
    }
};

GALLION_SCREENS_TEST_MAIN(Zarn_detail_test)
#include "zarn_detail_test.moc"
