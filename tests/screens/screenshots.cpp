// Renders the windows built so far to PNG files (offscreen), each with a real loop whose
// controller runs on a pseudo-terminal, so the pictures show what a user sees:
//   screens_screenshots OUTPUT_FOLDER
// zarn_page.png    the main window with a Zarn page mid-filling and the communication pane
// zarn_page_no_pane.png   the same with "Hide communication"
// cl_page.png, cl_page_no_pane.png   the main window with a current-loop page, with and without
//                  the pane
// zarn_pump_menu.png, cl_loop_menu.png   the right-click menus
// zarn_detail.png, cl_detail.png          the pump detail dialogs
// zarn_rx_errors.png, zarn_output_registers.png, zarn_set_totals.png   the Zarn engine dialogs
// zarn_errors.png, cl_errors.png          the error-simulation dialogs on a pump's stored error
// zarn_visible_nozzles.png, cl_visible_nozzles.png, cl_decimals.png, log_dialog.png
//                                         the small dialogs of the loop pages
// main_configure_menu.png, main_view_menu.png   two menus of the main window
// preferences-general.png, preferences-zarn.png, preferences-current-loop.png, new-loop.png
//                  the Preferences and New loop dialogs as a first start shows them
// mini_view.png    the mini view over a current-loop and a Zarn loop
// about.png, help.png   the About box and the key-command help (with the flow row highlighted)
// spy_settings.png, control_spy.png   the spy-port dialogs, the control dialog on a recording port
// main_file_menu.png   the File menu
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QMenu>
#include <QTreeWidget>
#include <QMenuBar>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <thread>

#include "currentloop/cl_test_frames.h"
#include "screens/formoutputregister.h"
#include "screens/formrxerrors.h"
#include "screens/formzarnsettotals.h"
#include "screens/log_dialog.h"
#include "screens/tcl_errors.h"
#include "screens/tcl_number_of_decimals_setup.h"
#include "screens/tnozzles_visible.h"
#include "screens/tzarn_errors.h"
#include "screens/pump_panel.h"
#include "screens/tcl_detail.h"
#include "screens/tzarn_detail.h"
#include "screens/screens_kit.h"
#include "screens/tloop.h"
#include "shell/formconfig.h"
#include "shell/formcontrolspy.h"
#include "shell/formspyportsettings.h"
#include "shell/tabout.h"
#include "shell/thelp.h"
#include "shell/tminiview.h"
#include "shell/formmain.h"
#include "shell/taddloop.h"
#include "shell/gallion_application.h"
#include "shell/loop_holder.h"
#include "spy/spy_name.h"
#include "support/zarn_master.h"

using namespace screens_kit;

namespace {

// The controller's side, run on its own thread: a setup step, then polling every pump in turn
// (so the pumps stay online and report their fillings) until stopped.
class Controller_thread {
public:
    explicit Controller_thread(std::function<void(const std::atomic<bool>&)> run)
        : thread_([this, run] { run(stop_); })
    {
    }
    ~Controller_thread()
    {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void Spend(int ms)
{
    WaitUntil([] { return false; }, ms);
}

bool Save(QWidget* widget, const QString& folder, const QString& name)
{
    const QString path = folder + QLatin1Char('/') + name;
    if (!widget->grab().save(path)) {
        std::fprintf(stderr, "screenshots: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

// A dialog as it shows when opened (shown without running it modally).
bool SaveDialog(QDialog* dialog, const QString& folder, const QString& name)
{
    dialog->show();
    Spend(100);
    const bool saved = Save(dialog, folder, name);
    dialog->hide();
    return saved;
}

bool SaveMenu(QMenu* menu, QWidget* panel, const QString& folder, const QString& name)
{
    RightClick(panel);
    Spend(100);
    const bool saved = Save(menu, folder, name);
    menu->close();
    return saved;
}

// A menu of the main window's menu bar, opened below its title.
bool SaveWindowMenu(TfMain& window, QMenu* menu, const QString& folder, const QString& name)
{
    QMenuBar* bar = window.menuBar();
    const QRect title = bar->actionGeometry(menu->menuAction());
    menu->popup(bar->mapToGlobal(title.bottomLeft()));
    Spend(100);
    const bool saved = Save(menu, folder, name);
    menu->close();
    return saved;
}

// The window with "Hide communication", then the pane back.
bool SaveWithoutPane(TfMain& window, const QString& folder, const QString& name)
{
    window.HideCommunicationItem()->trigger();
    Spend(200);
    const bool saved = Save(&window, folder, name);
    window.HideCommunicationItem()->trigger();
    return saved;
}

// Preferences (each tab) and New loop as a first start shows them: no settings file.
bool DialogPictures(const QString& folder, Test_place& place)
{
    std::remove(place.Settings().Path().c_str());
    bool ok = true;
    {
        TfConfig dialog;
        dialog.show();
        Spend(100);
        ok = Save(&dialog, folder, QStringLiteral("preferences-general.png")) && ok;
        dialog.Tabs()->setCurrentIndex(1);
        Spend(50);
        ok = Save(&dialog, folder, QStringLiteral("preferences-zarn.png")) && ok;
        dialog.Tabs()->setCurrentIndex(2);
        Spend(50);
        ok = Save(&dialog, folder, QStringLiteral("preferences-current-loop.png")) && ok;
    }
    {
        TAddLoop dialog(nullptr, SerialPortChoices());
        dialog.SetSpyPortShown(true);
        dialog.SetMemory({0, 0, 3, ""});
        dialog.show();
        Spend(100);
        ok = Save(&dialog, folder, QStringLiteral("new-loop.png")) && ok;
    }
    return ok;
}

bool ZarnPictures(const QString& folder, Test_place& place)
{
    place.Settings().Set("Zarn", "HandleReturningMessages", "0");
    place.Settings().Set("Zarn", "AutoFlow", "0");
    place.Settings().Set("Zarn", "LogRXErrors", "1");
    // Loops on virtual ports, as a user makes them; the controller opens the device they show.
    Window_rig rig;
    TLoop* page = rig.AddPage(Protocol::zarn, "pty:" + place.Dir().File("zarn-line"), 1, 14);
    PtyController pty(page->Loop().DevicePath());
    for (int p = 0; p < 12; ++p)
        page->AddPump(p);
    Pump_loop& loop = page->Loop();

    std::atomic<bool> programmed{false};
    Controller_thread controller([&](const std::atomic<bool>& stop) {
        ZarnMaster master(pty);
        auto drain = [&](uint8_t address) {
            for (int i = 0; i < 20; ++i) {
                const auto reply = master.PollAndAck(address, 500);
                if (!reply || reply->empty())
                    return;
            }
        };
        for (int p = 0; p < 12; ++p) {
            const uint8_t address = static_cast<uint8_t>(0x50 + p);
            drain(address);
            if (p < 8) {
                master.ProgramNozzleOne(address);
                master.SendData(address, {0x02, 0x02, 0x01, 0x02});  // nozzles 1 and 2 allowed
            }
            if (p < 3)
                master.SendData(address, {0x01, 0x01, 0x05, 0x01, 0x01, 0x06});  // Reset, Authorize
            if (p == 0) {
                master.SendData(address, {0x03, 0x01, 0x00});  // a CD3 too short: a receive error
                master.SendData(address, {0x07, 0x02, 0x0A, 0x01});  // output registers
                master.SendData(address, {0x07, 0x02, 0x0C, 0x02});
            }
            drain(address);
        }
        programmed = true;
        while (!stop) {
            for (int p = 0; p < 12 && !stop; ++p)
                drain(static_cast<uint8_t>(0x50 + p));
        }
    });
    if (!WaitUntil([&] { return programmed.load(); }, 20000))
        return false;
    Spend(300);
    loop.NozzleClick(0, 1);  // pump 1 fills through nozzle 1
    loop.NozzleClick(1, 2);  // pump 2 fills through nozzle 2
    loop.NozzleClick(4, 3);  // pump 5: nozzle 3 out, not allowed
    loop.SetVisibleNozzles(3, {true, true, true, false, false});
    loop.SetConnected(5, false);
    loop.SetAutomation(6, 1);
    loop.StartLogging(7, "Pump 8.log", true);
    Spend(500);
    loop.SetFlow(0, 40);
    loop.SetFlow(1, 25);
    Spend(3000);
    page->SelectPosition(1);
    page->UpdatePumps(false);
    Spend(100);
    bool ok = Save(&rig.Window(), folder, QStringLiteral("zarn_page.png"));
    ok = SaveMenu(page->PumpMenu(), page->Panel(0), folder, QStringLiteral("zarn_pump_menu.png")) && ok;

    TZarn_Errors errors(loop.ErrorChoices());
    errors.Load(101, 2);
    ok = SaveDialog(&errors, folder, QStringLiteral("zarn_errors.png")) && ok;
    TZarn_nozzles_visible nozzles;
    nozzles.Load(loop.VisibleNozzles(3));
    ok = SaveDialog(&nozzles, folder, QStringLiteral("zarn_visible_nozzles.png")) && ok;
    TLog_dialog log;
    log.FileEdit()->setText(QString::fromStdString(loop.ProposedLogName(2)));
    ok = SaveDialog(&log, folder, QStringLiteral("log_dialog.png")) && ok;
    ok = SaveWindowMenu(rig.Window(), rig.Window().ConfigureMenu(), folder, QStringLiteral("main_configure_menu.png")) && ok;
    ok = SaveWindowMenu(rig.Window(), rig.Window().ViewMenu(), folder, QStringLiteral("main_view_menu.png")) && ok;
    ok = SaveWithoutPane(rig.Window(), folder, QStringLiteral("zarn_page_no_pane.png")) && ok;
    loop.SetAutomation(6, 0);

    // Pump 1 in detail, mid-filling, with totals on both nozzles and the first row chosen.
    loop.SetTotalsFromText(0, 1, "1234.5", "1234.5", "12");
    loop.SetTotalsFromText(0, 2, "87.25", "130.88", "3");
    TZarn_Detail detail(rig.Window().Dialogs(), page);
    detail.SetPump(loop, 0);
    detail.show();
    detail.Totals()->setCurrentItem(detail.Totals()->topLevelItem(0));
    Spend(700);
    ok = Save(&detail, folder, QStringLiteral("zarn_detail.png")) && ok;
    {
        TfRXErrors* errors = detail.RxErrorsDialog();
        errors->ShowPump(0);
        errors->Load(loop.TakeRxErrorLines(0));
        errors->show();
        Spend(100);
        ok = Save(errors, folder, QStringLiteral("zarn_rx_errors.png")) && ok;
        errors->hide();
    }
    {
        TfZarnOutputRegister registers(loop, 0, &detail);
        registers.show();
        Spend(100);
        ok = Save(&registers, folder, QStringLiteral("zarn_output_registers.png")) && ok;
    }
    {
        TfZarnSetTotals totals(loop, 0, 1, &detail);
        totals.show();
        Spend(100);
        ok = Save(&totals, folder, QStringLiteral("zarn_set_totals.png")) && ok;
    }
    detail.hide();
    return ok;
}

bool CurrentLoopPictures(const QString& folder, Test_place& place)
{
    place.Settings().Set("CurrentLoop", "PollTimeout", "3600");
    Window_rig rig;
    TLoop* page = rig.AddPage(Protocol::current_loop, "pty:" + place.Dir().File("cl-line"), 1, 8);
    PtyController line(page->Loop().DevicePath());
    for (int p = 0; p < 6; ++p)
        page->AddPump(p);
    Pump_loop& loop = page->Loop();

    std::atomic<bool> programmed{false};
    Controller_thread controller([&](const std::atomic<bool>& stop) {
        auto ask = [&](const std::vector<uint8_t>& frame) {
            line.Send(frame);
            line.ReadExactly(32, 500);
        };
        for (int pump = 1; pump <= 6; ++pump) {
            ask(cltest::Prices(cltest::PumpAddress(pump), 1659));
            if (pump <= 2) {
                ask(cltest::Preset(pump, 2000, 0x20));  // 20.00 litres, every nozzle enabled
                ask(cltest::Poll(pump, 'A'));
                ask(cltest::Poll(pump, 'C'));
            }
        }
        programmed = true;
        while (!stop) {
            for (int pump = 1; pump <= 6 && !stop; ++pump)
                ask(cltest::Poll(pump));
        }
    });
    if (!WaitUntil([&] { return programmed.load(); }, 20000))
        return false;
    Spend(300);
    loop.NozzleClick(0, 1);
    loop.NozzleClick(1, 1);
    loop.NozzleClick(3, 2);
    loop.SetConnected(4, false);
    Spend(3000);
    page->UpdatePumps(true);
    Spend(100);
    bool ok = Save(&rig.Window(), folder, QStringLiteral("cl_page.png"));
    ok = SaveMenu(page->LoopMenu(), page->EmptyPanel(7), folder, QStringLiteral("cl_loop_menu.png")) && ok;

    TCL_detail detail(rig.Window().Dialogs(), page);
    detail.SetPump(loop, 0);
    detail.show();
    Spend(700);
    ok = Save(&detail, folder, QStringLiteral("cl_detail.png")) && ok;
    detail.hide();
    TCL_Errors errors(loop.ErrorChoices());
    errors.Load(240, 1);
    ok = SaveDialog(&errors, folder, QStringLiteral("cl_errors.png")) && ok;
    TCL_nozzles_visible nozzles;
    nozzles.Load({true, true, false, true, false});
    ok = SaveDialog(&nozzles, folder, QStringLiteral("cl_visible_nozzles.png")) && ok;
    TCL_Number_of_decimals_setup decimals;
    decimals.Load(*loop.Decimals());
    ok = SaveDialog(&decimals, folder, QStringLiteral("cl_decimals.png")) && ok;
    ok = SaveWithoutPane(rig.Window(), folder, QStringLiteral("cl_page_no_pane.png")) && ok;

    // A Zarn loop beside it, and the mini view over both ("Tiny").
    TLoop* zarn = rig.AddPage(Protocol::zarn, "pty:" + place.Dir().File("zarn-line"), 1, 3);
    zarn->AddPump(0);
    zarn->AddPump(2);
    TMiniView* mini = rig.Window().MiniView();
    QTimer::singleShot(300, mini, [&] {
        ok = Save(mini, folder, QStringLiteral("mini_view.png")) && ok;
        mini->LargeModeButton()->click();
    });
    rig.Window().TinyItem()->trigger();
    ok = SaveWindowMenu(rig.Window(), rig.Window().FileMenu(), folder, QStringLiteral("main_file_menu.png")) && ok;
    return ok;
}

// About, the key-command help and the spy-port dialogs, the control dialog with a loop of this
// program recording.
bool ShellPictures(const QString& folder, Test_place& place)
{
    bool ok = true;
    {
        TAbout about;
        ok = SaveDialog(&about, folder, QStringLiteral("about.png")) && ok;
        THelp help;
        help.FunctionList()->setCurrentRow(8);
        ok = SaveDialog(&help, folder, QStringLiteral("help.png")) && ok;
        TfSpyPortSettings settings;
        ok = SaveDialog(&settings, folder, QStringLiteral("spy_settings.png")) && ok;
    }
    place.Settings().Set("Zarn", "HandleReturningMessages", "0");
    PtyController line;
    std::unique_ptr<Pump_loop> loop = CreateLoop(Protocol::zarn, line.SlavePath(), true, 1, 4);
    TfControlSpy control;
    control.show();
    Spend(100);
    const QString event = QString::fromStdString(SpyControlEventName(line.SlavePath()));
    const QList<QListWidgetItem*> found = control.ExistingList()->findItems(event, Qt::MatchExactly);
    if (found.isEmpty()) {
        std::fprintf(stderr, "screenshots: the spy port %s is not listed\n", qPrintable(event));
        return false;
    }
    QListWidget* list = control.ExistingList();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, list->visualItemRect(found.first()).center());
    control.StartButton()->click();
    Spend(100);
    ok = Save(&control, folder, QStringLiteral("control_spy.png")) && ok;
    control.StopButton()->click();
    control.hide();
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    Gallion_application app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: screens_screenshots OUTPUT_FOLDER\n");
        return 2;
    }
    const QString folder = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    QDir().mkpath(folder);
    bool ok = true;
    {
        Test_place place;
        ok = ZarnPictures(folder, place) && ok;
    }
    {
        Test_place place;
        ok = CurrentLoopPictures(folder, place) && ok;
    }
    {
        Test_place place;
        ok = DialogPictures(folder, place) && ok;
    }
    {
        Test_place place;
        ok = ShellPictures(folder, place) && ok;
    }
    return ok ? 0 : 1;
}
