// The shell's own pieces on their real widgets: the settings of section Main and AddLoop, the
// Preferences dialog against a settings file of the test's own, the New loop dialog creating
// loops on pseudo-terminals, and the communication pane against a real Zarn loop whose controller
// the test plays.
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QFontInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <optional>

#include "platform/error.h"
#include "platform/settings.h"
#include "screens/screens_kit.h"
#include "shell/app_settings.h"
#include "shell/comm_view.h"
#include "shell/formconfig.h"
#include "shell/formmain.h"
#include "screens/tloop.h"
#include "shell/gallion_application.h"
#include "shell/loop_holder.h"
#include "shell/taddloop.h"
#include "currentloop/cl_test_frames.h"
#include "support/zarn_master.h"

using namespace screens_kit;

namespace {

constexpr uint8_t kPump1 = 0x50;
const QString kInvalidInterval = QStringLiteral("Invalid pump number interval for the chosen protocol");

// Plays the user at modal windows: every few milliseconds it looks at the active modal widget. A
// message box has its text noted, the hook (if any) run while it is open, and its first button
// clicked. Another dialog gets the next queued step, once.
class Modal_script : public QObject {
public:
    using Step = std::function<void(QWidget*)>;
    explicit Modal_script(std::vector<Step> steps = {}) : steps_(std::move(steps))
    {
        connect(&timer_, &QTimer::timeout, this, &Modal_script::Look);
        timer_.start(5);
        qApp->installEventFilter(this);
    }
    ~Modal_script() override { qApp->removeEventFilter(this); }
    std::function<void(QMessageBox*)> on_box;
    QStringList texts;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        // Once the dialog that got a step is hidden, its next showing gets the next step.
        if (event->type() == QEvent::Hide && watched == last_)
            last_ = nullptr;
        return false;
    }

private:
    void Look()
    {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible() || modal == last_)
            return;
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            texts << box->text();
            if (on_box)
                on_box(box);
            box->buttons().first()->click();
            return;
        }
        if (steps_.empty())
            return;
        last_ = modal;  // a dialog gets one step per showing
        Step step = steps_.front();
        steps_.erase(steps_.begin());
        step(modal);
    }

    std::vector<Step> steps_;
    QPointer<QWidget> last_;
    QTimer timer_;
};

// The raw settings file, for checks that must not go through the code under test.
QString IniText()
{
    return QString::fromStdString(ReadWholeFile(Settings::File()));
}

// The keys of a section in the order the file holds them.
QStringList KeysOf(const QString& section)
{
    QStringList keys;
    bool inside = false;
    for (const QString& line : IniText().split(QLatin1Char('\n'))) {
        const QString text = line.trimmed();
        if (text.startsWith(QLatin1Char('[')))
            inside = text == QLatin1Char('[') + section + QLatin1Char(']');
        else if (inside && text.contains(QLatin1Char('=')))
            keys << text.section(QLatin1Char('='), 0, 0);
    }
    return keys;
}

template <typename T>
T* Child(QWidget* parent, const char* name)
{
    T* child = parent->findChild<T*>(QString::fromLatin1(name));
    if (!child)
        qFatal("no control %s", name);
    return child;
}

QStringList Entries(QComboBox* list)
{
    QStringList entries;
    for (int i = 0; i < list->count(); ++i)
        entries << list->itemText(i);
    return entries;
}

// Answers the New loop dialog: protocol, port text, address preset, range fields, then "Activate".
Modal_script::Step Answer(int protocol, const QString& port, int address, const QString& from = {},
                          const QString& to = {})
{
    return [=](QWidget* modal) {
        auto* dialog = qobject_cast<TAddLoop*>(modal);
        QVERIFY(dialog);
        dialog->ProtocolList()->setCurrentIndex(protocol);
        dialog->PortList()->setEditText(port);
        dialog->AddressList()->setCurrentIndex(address);
        QTest::keyClicks(dialog->FromField(), from);
        QTest::keyClicks(dialog->ToField(), to);
        ClickButton(dialog->ActivateButton());
    };
}

// Sends the controller's "return status" command (CD1) to a pump `rounds` times; each is a DATA
// block in the feed ("* <Pn DATA ..."), then the pump's ACK. The idle traffic (POLL numbered 0 and
// EOT) never reaches the feed. False when a command is not acknowledged.
bool Commands(ZarnMaster& master, uint8_t address, int rounds)
{
    for (int i = 0; i < rounds; ++i) {
        if (!master.SendData(address, {0x01, 0x01, 0x00}))
            return false;
    }
    return true;
}

// Lines that start with the text.
int Starting(const QStringList& lines, const QString& start)
{
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const QString& line) { return line.startsWith(start); }));
}


}  // namespace

class Shell_dialogs_test : public QObject {
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

    // ---- Settings of the window side ----

    void SettingsDefaultsWithoutAFile()
    {
        std::remove(place_->Settings().Path().c_str());
        const App_settings::Window_placement placement = App_settings::ReadWindowPlacement();
        QCOMPARE(placement.left, 100);
        QCOMPARE(placement.top, 100);
        QCOMPARE(placement.width, 753);
        QCOMPARE(placement.height, 580);
        QCOMPARE(placement.communication_hidden, false);
        QCOMPARE(App_settings::ShowSpyPort(), false);
        QCOMPARE(App_settings::AutoLoad(), false);
        QCOMPARE(App_settings::AutoSave(), true);
        QVERIFY(App_settings::ReadAddLoopMemory() == App_settings::Add_loop_memory{});
        const App_settings::Preferences preferences = App_settings::ReadPreferences();
        QCOMPARE(preferences.zarn.poll_timeout, 5);
        QCOMPARE(preferences.current_loop.poll_timeout, 15);  // the dialog's default differs from the pumps'
        QCOMPARE(preferences.zarn.handle_returning_messages, false);
        QCOMPARE(preferences.zarn.throttle_amount, 20.0);
        QVERIFY(!QFile::exists(QString::fromStdString(place_->Settings().Path())));  // reading creates nothing

        // The first write creates the file with the keys in the order the shut-down writes them.
        App_settings::Window_placement moved{12, 34, 700, 500, true};
        QVERIFY(App_settings::WriteWindowPlacement(moved));
        QVERIFY(App_settings::WriteAddLoopMemory({1, 10, 5, "COM11"}));
        QCOMPARE(KeysOf(QStringLiteral("Main")),
                 (QStringList{"CommunicationHidden", "Left", "Top", "Width", "Height"}));
        QCOMPARE(KeysOf(QStringLiteral("AddLoop")), (QStringList{"Protocol", "ComPort", "Address", "PortName"}));
        const App_settings::Window_placement back = App_settings::ReadWindowPlacement();
        QCOMPARE(back.left, 12);
        QCOMPARE(back.height, 500);
        QCOMPARE(back.communication_hidden, true);
        QVERIFY((App_settings::ReadAddLoopMemory() == App_settings::Add_loop_memory{1, 10, 5, "COM11"}));
    }

    void SettingsValuesThatDoNotConvert()
    {
        place_->Settings().Set("Main", "Left", "abc");
        place_->Settings().Set("Main", "AutoSave", "0");
        place_->Settings().Set("Main", "ShowSpyPort", "2");  // any non-zero integer is true
        place_->Settings().Set("CurrentLoop", "ThrottleFlow", "x1");
        // Floats with either decimal separator (the file follows the locale of whoever wrote it).
        place_->Settings().Set("Zarn", "ThrottleVolume", "2,5");
        place_->Settings().Set("Zarn", "ThrottleAmount", "12.25");
        place_->Settings().Set("CurrentLoop", "ThrottleVolume", "1,000.5");
        place_->Settings().Set("Zarn", "PollTimeout", "-3");  // shown as it stands, for the operator to mend
        QCOMPARE(App_settings::ReadWindowPlacement().left, 100);
        QCOMPARE(App_settings::AutoSave(), false);
        QCOMPARE(App_settings::ShowSpyPort(), true);
        const App_settings::Preferences preferences = App_settings::ReadPreferences();
        QCOMPARE(preferences.current_loop.throttle_flow, 5.0);
        QCOMPARE(preferences.zarn.throttle_volume, 2.5);
        QCOMPARE(preferences.zarn.throttle_amount, 12.25);
        QCOMPARE(preferences.current_loop.throttle_volume, 5.0);
        QCOMPARE(preferences.zarn.poll_timeout, -3);
    }

    void WindowPlacementOffEveryScreen()
    {
        const QRect primary(0, 0, 1920, 1080);
        const QList<QRect> screens{primary, QRect(1920, 0, 1280, 1024)};
        // On a screen, even partly: unchanged.
        QCOMPARE(App_settings::OnScreen(QRect(100, 100, 753, 580), screens, primary), QRect(100, 100, 753, 580));
        QCOMPARE(App_settings::OnScreen(QRect(3000, 900, 753, 580), screens, primary), QRect(3000, 900, 753, 580));
        // A monitor that is gone: pulled onto the primary screen, size kept.
        QCOMPARE(App_settings::OnScreen(QRect(5000, 100, 753, 580), screens, primary), QRect(1167, 100, 753, 580));
        QCOMPARE(App_settings::OnScreen(QRect(-2000, -900, 753, 580), screens, primary), QRect(0, 0, 753, 580));
        // Larger than the screen, or no size at all: what fits.
        QCOMPARE(App_settings::OnScreen(QRect(-5000, 0, 4000, 3000), screens, primary), QRect(0, 0, 1920, 1080));
        QCOMPARE(App_settings::OnScreen(QRect(9000, 9000, -5, 0), screens, primary), QRect(1919, 1079, 1, 1));
    }

    // ---- Preferences ----

    void PreferencesShowsTheFileAndItsDefaults()
    {
        place_->Settings().Set("Zarn", "ThrottleVolume", "2.5");
        place_->Settings().Set("CurrentLoop", "LogRXErrors", "1");
        place_->Settings().Set("Main", "AutoSave", "0");
        TfConfig dialog;
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Preferences"));
        QCOMPARE(dialog.Tabs()->count(), 3);
        QCOMPARE(dialog.Tabs()->tabText(0), QStringLiteral("General"));
        QCOMPARE(dialog.Tabs()->tabText(1), QStringLiteral("Zarn"));
        QCOMPARE(dialog.Tabs()->currentWidget(), dialog.GeneralTab());
        QCOMPARE(Child<QLabel>(&dialog, "Note")->text(),
                 QStringLiteral("NOTE: You have to restart the application in order to make the changes effective."));
        QCOMPARE(dialog.OkButton()->text(), QStringLiteral("Ok"));
        QCOMPARE(dialog.CancelButton()->text(), QStringLiteral("Cancel"));
        auto* recalc = Child<QCheckBox>(&dialog, "ZarnRecalcAtPreset");
        QCOMPARE(recalc->text(), QStringLiteral("Recalculate Amount && Volume when reaching preset value"));
        auto* converter = Child<QCheckBox>(&dialog, "ZarnHandleReturningMessages");
        QCOMPARE(converter->text(), QStringLiteral("RS232 / RS485 converter switches reception on/off"));
        QVERIFY(!dialog.findChild<QCheckBox*>(QStringLiteral("CurrentLoopHandleReturningMessages")));

        dialog.show();
        QCOMPARE(Child<QLineEdit>(&dialog, "ZarnPumpSleepMs")->text(), QStringLiteral("5"));
        QCOMPARE(Child<QLineEdit>(&dialog, "ZarnThrottleVolume")->text(), QLocale().toString(2.5));
        QCOMPARE(Child<QLineEdit>(&dialog, "ZarnThrottleAmount")->text(), QStringLiteral("20"));
        QCOMPARE(Child<QLineEdit>(&dialog, "ZarnPollTimeout")->text(), QStringLiteral("5"));
        QCOMPARE(Child<QLineEdit>(&dialog, "CurrentLoopPollTimeout")->text(), QStringLiteral("15"));
        QCOMPARE(Child<QLineEdit>(&dialog, "CurrentLoopPumpSleepMs")->text(), QStringLiteral("25"));
        QVERIFY(Child<QCheckBox>(&dialog, "CurrentLoopLogRXErrors")->isChecked());
        QVERIFY(!Child<QCheckBox>(&dialog, "ZarnLogRXErrors")->isChecked());
        QVERIFY(!Child<QCheckBox>(&dialog, "MainAutoSave")->isChecked());
        // HandleReturningMessages is 0 in this file: the converter box is ticked.
        QVERIFY(converter->isChecked());

        // Ok without a change writes the dialog's defaults, the current-loop time-out 15 among them,
        // and the key the box stands for inverted.
        ClickButton(dialog.OkButton());
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(QString::fromStdString(Settings::ReadString("CurrentLoop", "PollTimeout", "")), QStringLiteral("15"));
        QCOMPARE(Settings::ReadInt("Zarn", "HandleReturningMessages", -1), 0);
        QCOMPARE(Settings::ReadFloat("Zarn", "ThrottleVolume", 0), 2.5);
        QCOMPARE(KeysOf(QStringLiteral("Main")), (QStringList{"AutoSave", "AutoLoad", "ShowSpyPort"}));
        QCOMPARE(KeysOf(QStringLiteral("CurrentLoop")),
                 (QStringList{"LogRXErrors", "PumpSleepMs", "ThrottleVolume", "ThrottleAmount", "ThrottleFlow",
                              "PollTimeout", "VolumeDecimals", "AmountDecimals", "PriceDecimals", "AutoFlow",
                              "RecalcAtPreset"}));
        QCOMPARE(dialog.Tabs()->currentWidget(), dialog.GeneralTab());
    }

    void PreferencesWritesEveryKeyAsEdited()
    {
        std::remove(place_->Settings().Path().c_str());
        TfConfig dialog;
        // Execute is the modal path the main window takes.
        Modal_script script({[&](QWidget* modal) {
            QCOMPARE(modal, static_cast<QWidget*>(&dialog));
            auto* converter = Child<QCheckBox>(&dialog, "ZarnHandleReturningMessages");
            QVERIFY(converter->isChecked());  // no key: the dialog's default false, shown ticked
            converter->setChecked(false);
            Child<QCheckBox>(&dialog, "MainAutoLoad")->setChecked(true);
            Child<QCheckBox>(&dialog, "MainShowSpyPort")->setChecked(true);
            Child<QCheckBox>(&dialog, "ZarnFillingCompleteOnlyAfterNozzleReturned")->setChecked(true);
            Child<QCheckBox>(&dialog, "CurrentLoopAutoFlow")->setChecked(false);
            for (const char* name : {"ZarnPumpSleepMs", "CurrentLoopAmountDecimals", "ZarnThrottleFlow"})
                Child<QLineEdit>(&dialog, name)->clear();
            // The bounds themselves are accepted.
            QTest::keyClicks(Child<QLineEdit>(&dialog, "ZarnPumpSleepMs"), QStringLiteral("1000"));
            QTest::keyClicks(Child<QLineEdit>(&dialog, "CurrentLoopAmountDecimals"), QStringLiteral("8"));
            QTest::keyClicks(Child<QLineEdit>(&dialog, "ZarnThrottleFlow"), QStringLiteral("0"));
            ClickButton(dialog.OkButton());
        }});
        QVERIFY(dialog.Execute());
        QCOMPARE(script.texts, QStringList());
        QCOMPARE(Settings::ReadInt("Zarn", "HandleReturningMessages", -1), 1);
        QCOMPARE(Settings::ReadInt("Main", "AutoLoad", -1), 1);
        QCOMPARE(Settings::ReadInt("Main", "ShowSpyPort", -1), 1);
        QCOMPARE(Settings::ReadInt("Main", "AutoSave", -1), 1);
        QCOMPARE(Settings::ReadInt("Zarn", "FillingCompleteOnlyAfterNozzleReturned", -1), 1);
        QCOMPARE(Settings::ReadInt("Zarn", "PumpSleepMs", -1), 1000);
        QCOMPARE(Settings::ReadFloat("Zarn", "ThrottleFlow", -1), 0.0);
        QCOMPARE(Settings::ReadInt("CurrentLoop", "AmountDecimals", -1), 8);
        QCOMPARE(Settings::ReadInt("CurrentLoop", "AutoFlow", -1), 0);
        QCOMPARE(Settings::ReadInt("Zarn", "AutoFlow", -1), 1);
        QCOMPARE(KeysOf(QStringLiteral("Zarn")),
                 (QStringList{"PumpSleepMs", "ThrottleVolume", "ThrottleAmount", "ThrottleFlow", "PollTimeout",
                              "VolumeDecimals", "AmountDecimals", "PriceDecimals", "LogRXErrors",
                              "HandleReturningMessages", "RecalcAtPreset", "FillingCompleteOnlyAfterNozzleReturned",
                              "AutoFlow"}));
    }

    void PreferencesRefusesAFieldAndWritesNothing_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("tab");
        QTest::newRow("letters in the current-loop throttle flow") << "CurrentLoopThrottleFlow" << "abc" << "CurrentLoopTab";
        QTest::newRow("empty pump sleep") << "ZarnPumpSleepMs" << "" << "ZarnTab";
        QTest::newRow("pump sleep 0 spins") << "ZarnPumpSleepMs" << "0" << "ZarnTab";
        QTest::newRow("pump sleep 1001") << "CurrentLoopPumpSleepMs" << "1001" << "CurrentLoopTab";
        QTest::newRow("offline timeout 0") << "ZarnPollTimeout" << "0" << "ZarnTab";
        QTest::newRow("offline timeout 3601") << "CurrentLoopPollTimeout" << "3601" << "CurrentLoopTab";
        QTest::newRow("decimals 9") << "ZarnPriceDecimals" << "9" << "ZarnTab";
        QTest::newRow("decimals -1") << "CurrentLoopVolumeDecimals" << "-1" << "CurrentLoopTab";
        QTest::newRow("decimals 2.5") << "ZarnAmountDecimals" << "2.5" << "ZarnTab";
        QTest::newRow("throttle nan") << "ZarnThrottleVolume" << "nan" << "ZarnTab";
        QTest::newRow("throttle inf") << "CurrentLoopThrottleAmount" << "inf" << "CurrentLoopTab";
        QTest::newRow("throttle negative") << "ZarnThrottleAmount" << "-1" << "ZarnTab";
    }

    void PreferencesRefusesAFieldAndWritesNothing()
    {
        QFETCH(QString, field);
        QFETCH(QString, text);
        QFETCH(QString, tab);
        const QString before = IniText();
        TfConfig dialog;
        dialog.show();
        auto* edit = Child<QLineEdit>(&dialog, qPrintable(field));
        edit->setText(text);
        // A later field that does not convert either: the first in the order is the one reported.
        Child<QLineEdit>(&dialog, "CurrentLoopPriceDecimals")->setText(QStringLiteral("x"));
        QWidget* active_tab = nullptr;
        QWidget* focused = nullptr;
        Modal_script script;
        script.on_box = [&](QMessageBox*) {
            active_tab = dialog.Tabs()->currentWidget();
            focused = dialog.focusWidget();
        };
        ClickButton(dialog.OkButton());
        QCOMPARE(script.texts, QStringList{QStringLiteral("Value not valid")});
        QCOMPARE(active_tab ? active_tab->objectName() : QString(), tab);
        QCOMPARE(focused, static_cast<QWidget*>(edit));
        QVERIFY(dialog.isVisible());
        QCOMPARE(dialog.Tabs()->currentWidget(), dialog.GeneralTab());
        QCOMPARE(IniText(), before);
    }

    void PreferencesCancelAndRefill()
    {
        TfConfig dialog;
        dialog.show();
        Child<QLineEdit>(&dialog, "ZarnPollTimeout")->setText(QStringLiteral("60"));
        dialog.Tabs()->setCurrentIndex(2);
        const QString before = IniText();
        ClickButton(dialog.CancelButton());
        QVERIFY(!dialog.isVisible());
        QCOMPARE(IniText(), before);
        // Every showing reads the file again: the edit is gone, a change made meanwhile shows.
        place_->Settings().Set("CurrentLoop", "PriceDecimals", "3");
        dialog.show();
        QCOMPARE(Child<QLineEdit>(&dialog, "ZarnPollTimeout")->text(), QStringLiteral("5"));
        QCOMPARE(Child<QLineEdit>(&dialog, "CurrentLoopPriceDecimals")->text(), QStringLiteral("3"));
    }

    void PreferencesThatCannotBeWrittenStayOpen()
    {
        // A settings file inside a "folder" that is a plain file cannot be created.
        const std::string blocker = place_->Dir().File("not-a-folder");
        QFile(QString::fromStdString(blocker)).open(QIODevice::WriteOnly);
        Settings::SetFile(blocker + "/Gallion.ini");
        TfConfig dialog;
        dialog.show();
        Modal_script script;
        ClickButton(dialog.OkButton());
        QVERIFY(!App_settings::WritePreferences({}));
        QVERIFY(!App_settings::WriteWindowPlacement({}));
        QVERIFY(!App_settings::WriteAddLoopMemory({}));
        Settings::SetFile("");
        QCOMPARE(script.texts, QStringList{QStringLiteral("The settings could not be written to ") +
                                           QString::fromStdString(blocker) + QStringLiteral("/Gallion.ini")});
        QVERIFY(dialog.isVisible());
    }

    // ---- New loop ----

    void NewLoopListsAndMemory()
    {
        TAddLoop dialog(nullptr, SerialPortChoices());
        QCOMPARE(dialog.windowTitle(), QStringLiteral("New loop"));
        QCOMPARE(Entries(dialog.ProtocolList()), (QStringList{"Zarn", "Current loop"}));
        QCOMPARE(Entries(dialog.AddressList()),
                 (QStringList{"Pump nr 1 - 12", "Pump nr 13 - 24", "", "Pump nr 1  - 16", "", "Pump nr 1 - 8 "}));
        // Typed text cannot turn "Zarn" into a current loop, nor make a preset.
        QVERIFY(!dialog.ProtocolList()->isEditable());
        QVERIFY(!dialog.AddressList()->isEditable());
        QVERIFY(dialog.PortList()->isEditable());
        const QStringList ports = Entries(dialog.PortList());
        QCOMPARE(ports.mid(0, 13), (QStringList{"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8", "COM9",
                                                "pty", "pty:/tmp/gallion-loop", "tcp-listen:4001",
                                                "tcp:127.0.0.1:4001"}));
        QCOMPARE(dialog.ActivateButton()->text(), QStringLiteral("Activate"));
        QVERIFY(dialog.ActivateButton()->isDefault());
        QCOMPARE(dialog.SpyPortBox()->text(), QStringLiteral("Enable SpyPort"));

        // Restored selections; an index outside a list falls back to its first entry.
        dialog.SetMemory({1, 8, 5, ""});
        QCOMPARE(dialog.ProtocolList()->currentText(), QStringLiteral("Current loop"));
        QCOMPARE(dialog.PortList()->currentText(), QStringLiteral("COM9"));
        QCOMPARE(dialog.AddressList()->currentText(), QStringLiteral("Pump nr 1 - 8 "));
        QVERIFY((dialog.Memory() == App_settings::Add_loop_memory{1, 8, 5, "COM9"}));
        dialog.SetMemory({2, -1, 6, ""});
        QVERIFY((dialog.Memory() == App_settings::Add_loop_memory{0, 0, 0, "COM1"}));
        // A port typed by hand is no entry (-1) and the list does not grow; the settings keep the
        // name, and the dialog of the next start shows it again.
        dialog.PortList()->setEditText(QStringLiteral("pty:/tmp/typed-line"));
        QCOMPARE(dialog.Memory().com_port, -1);
        QCOMPARE(Entries(dialog.PortList()), ports);
        QVERIFY(App_settings::WriteAddLoopMemory(dialog.Memory()));
        TAddLoop next_start(nullptr, SerialPortChoices());
        next_start.SetMemory(App_settings::ReadAddLoopMemory());
        QCOMPARE(next_start.PortList()->currentText(), QStringLiteral("pty:/tmp/typed-line"));
        QVERIFY(ReadWholeFile(place_->Settings().Path()).find("PortName=pty:/tmp/typed-line") != std::string::npos);
    }

    void SerialPortChoicesFromTheDevices()
    {
        TempDir dev;
        TempDir sys;
        for (const char* name : {"ttyS0", "ttyS1", "ttyS10", "ttyS2", "ttyUSB1", "ttyUSB0", "ttyACM0", "ttySAC0", "tty5"})
            QFile(QString::fromStdString(dev.File(name))).open(QIODevice::WriteOnly);
        // The kernel says ttyS1 and ttyS10 have no port behind them; ttyS0's type is 4.
        for (const auto& [name, type] : {std::pair{"ttyS0", "4\n"}, {"ttyS1", "0\n"}, {"ttyS10", "0\n"}}) {
            mkdir(sys.File(name).c_str(), 0755);
            QFile file(QString::fromStdString(sys.File(name) + "/type"));
            file.open(QIODevice::WriteOnly);
            file.write(type);
        }
        const QString d = QString::fromStdString(dev.Path()) + QLatin1Char('/');
        const QStringList ports = SerialPortChoices(QString::fromStdString(dev.Path()), QString::fromStdString(sys.Path()));
        QCOMPARE(ports.mid(13), (QStringList{d + "ttyS0", d + "ttyS2", d + "ttyUSB0", d + "ttyUSB1", d + "ttyACM0"}));
    }

    void NewLoopAnswerChecks_data()
    {
        QTest::addColumn<int>("protocol");
        QTest::addColumn<QString>("port");
        QTest::addColumn<int>("address");
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<int>("first");  // 0: no request
        QTest::addColumn<int>("last");
        QTest::addColumn<QString>("message");
        QTest::newRow("Zarn preset 1 - 16") << 0 << "COM1" << 3 << "" << "" << 1 << 16 << "";
        QTest::newRow("current loop preset 1 - 12") << 1 << "COM1" << 0 << "" << "" << 0 << 0 << kInvalidInterval;
        QTest::newRow("current loop preset 1 - 8") << 1 << "COM1" << 5 << "" << "" << 1 << 8 << "";
        QTest::newRow("Zarn preset 13 - 24") << 0 << "COM1" << 1 << "" << "" << 13 << 24 << "";
        QTest::newRow("empty preset") << 0 << "COM1" << 2 << "" << "" << 0 << 0 << kInvalidInterval;
        QTest::newRow("current loop 3 - 10") << 1 << "COM1" << 0 << "3" << "10" << 3 << 10 << "";
        QTest::newRow("current loop 3 - 11") << 1 << "COM1" << 5 << "3" << "11" << 0 << 0 << kInvalidInterval;
        QTest::newRow("current loop 15 - 16") << 1 << "COM1" << 5 << "15" << "16" << 0 << 0 << kInvalidInterval;
        QTest::newRow("Zarn 20 - 10") << 0 << "COM1" << 3 << "20" << "10" << 0 << 0 << kInvalidInterval;
        QTest::newRow("Zarn 17 - 32") << 0 << "COM1" << 3 << "17" << "32" << 17 << 32 << "";
        QTest::newRow("Zarn 16 - 32 (17 pumps)") << 0 << "COM1" << 3 << "16" << "32" << 0 << 0 << kInvalidInterval;
        QTest::newRow("Zarn 0 - 5") << 0 << "COM1" << 3 << "0" << "5" << 0 << 0 << kInvalidInterval;
        QTest::newRow("only From: the preset") << 0 << "COM1" << 5 << "3" << "" << 1 << 8 << "";
        QTest::newRow("only To: the preset") << 0 << "COM1" << 0 << "" << "3" << 1 << 12 << "";
        QTest::newRow("From not a number") << 0 << "COM1" << 3 << "abc" << "5" << 0 << 0 << "'abc' is not a valid integer value";
        QTest::newRow("To too large") << 0 << "COM1" << 3 << "1" << "99999999999" << 0 << 0
                                      << "'99999999999' is not a valid integer value";
        QTest::newRow("blanks around a number") << 0 << "COM1" << 3 << " 2" << "4 " << 2 << 4 << "";
        QTest::newRow("empty port: nothing") << 0 << "" << 3 << "" << "" << 0 << 0 << "";
        QTest::newRow("a port above COM9 as typed") << 0 << "COM12" << 3 << "" << "" << 1 << 16 << "";
        QTest::newRow("a device path") << 1 << "/dev/ttyUSB3" << 5 << "" << "" << 1 << 8 << "";
    }

    void NewLoopAnswerChecks()
    {
        QFETCH(int, protocol);
        QFETCH(QString, port);
        QFETCH(int, address);
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(int, first);
        QFETCH(int, last);
        QFETCH(QString, message);
        TAddLoop dialog(nullptr, SerialPortChoices());
        dialog.ProtocolList()->setCurrentIndex(protocol);
        dialog.PortList()->setEditText(port);
        dialog.AddressList()->setCurrentIndex(address);
        dialog.FromField()->setText(from);
        dialog.ToField()->setText(to);
        const New_loop_check check = dialog.CheckAnswer();
        QCOMPARE(check.message, message);
        QCOMPARE(check.request.has_value(), first != 0);
        if (check.request) {
            QCOMPARE(check.request->protocol, protocol == 0 ? Protocol::zarn : Protocol::current_loop);
            QCOMPARE(QString::fromStdString(check.request->port_name), port);
            QCOMPARE(check.request->first, first);
            QCOMPARE(check.request->last, last);
            QCOMPARE(check.request->spy, false);
        }
    }

    void NewLoopShowingEnterAndSpyBox()
    {
        TAddLoop dialog(nullptr, SerialPortChoices());
        dialog.FromField()->setText(QStringLiteral("3"));
        dialog.ToField()->setText(QStringLiteral("4"));
        dialog.SpyPortBox()->setChecked(true);
        // Enter in the port's text field is "Activate"; the range fields were emptied on showing.
        Modal_script enter({[&](QWidget*) {
            QVERIFY(dialog.FromField()->text().isEmpty());
            QVERIFY(dialog.ToField()->text().isEmpty());
            QVERIFY(!dialog.SpyPortBox()->isVisible());
            dialog.PortList()->lineEdit()->setFocus();
            dialog.PortList()->lineEdit()->clear();
            QTest::keyClicks(dialog.PortList()->lineEdit(), QStringLiteral("pty"));
            QTest::keyClick(dialog.PortList()->lineEdit(), Qt::Key_Return);
        }});
        QVERIFY(dialog.ExecuteAddLoop());
        QCOMPARE(dialog.PortList()->currentText(), QStringLiteral("pty"));
        // A box that is not shown records nothing, whatever its state.
        QVERIFY(dialog.CheckAnswer().request);
        QCOMPARE(dialog.CheckAnswer().request->spy, false);

        dialog.SetSpyPortShown(true);
        Modal_script escape({[&](QWidget*) {
            QVERIFY(dialog.SpyPortBox()->isVisible());
            dialog.SpyPortBox()->setChecked(true);
            QTest::keyClick(dialog.FromField(), Qt::Key_Escape);
        }});
        QVERIFY(!dialog.ExecuteAddLoop());
        QVERIFY(dialog.CheckAnswer().request->spy);
        Modal_script cancel({[&](QWidget*) { ClickButton(dialog.CancelButton()); }});
        QVERIFY(!dialog.ExecuteAddLoop());
        // Typed text keeps its case: a device path is case sensitive.
        Modal_script typed({[&](QWidget*) {
            dialog.PortList()->lineEdit()->setFocus();
            dialog.PortList()->lineEdit()->clear();
            QTest::keyClicks(dialog.PortList()->lineEdit(), QStringLiteral("com1"));
            QTest::keyClick(dialog.PortList()->lineEdit(), Qt::Key_Return);
        }});
        QVERIFY(dialog.ExecuteAddLoop());
        QCOMPARE(QString::fromStdString(dialog.CheckAnswer().request->port_name), QStringLiteral("com1"));
        // Enter on a list that takes no text is "Activate" too.
        Modal_script enter_on_list({[&](QWidget*) {
            dialog.AddressList()->setFocus();
            QTest::keyClick(dialog.AddressList(), Qt::Key_Return);
        }});
        QVERIFY(dialog.ExecuteAddLoop());
    }

    void NewLoopCreatesALoopOnAVirtualPort()
    {
        TAddLoop dialog(nullptr, SerialPortChoices());
        Modal_script script({Answer(0, QStringLiteral("pty"), 0, QStringLiteral("5"), QStringLiteral("8"))});
        std::unique_ptr<Pump_loop> loop = RunNewLoop(dialog, nullptr);
        QVERIFY(loop);
        QCOMPARE(script.texts, QStringList());
        QCOMPARE(loop->GetProtocol(), Protocol::zarn);
        QCOMPARE(loop->FirstPump(), 5);
        QCOMPARE(loop->LastPump(), 8);
        QVERIFY(loop->PortIsVirtual());
        QVERIFY(QString::fromStdString(loop->DevicePath()).startsWith(QStringLiteral("/dev/")));

        // A controller on the device path the loop shows reaches pump 5 (line address 0x54).
        QVERIFY(loop->AddPump(0));
        const int fd = open(loop->DevicePath().c_str(), O_RDWR | O_NOCTTY);
        QVERIFY(fd >= 0);
        const uint8_t poll[] = {0x54, 0x20, 0xFA};
        QCOMPARE(write(fd, poll, sizeof poll), ssize_t(sizeof poll));
        uint8_t reply[8] = {};
        ssize_t got = 0;
        QVERIFY(WaitUntil([&] {
            const ssize_t n = read(fd, reply, sizeof reply);
            if (n > 0)
                got = n;
            return got > 0;
        }));
        close(fd);
        QCOMPARE(int(reply[0]), 0x54);
    }

    void NewLoopPacedOnATcpPort()
    {
        TAddLoop dialog(nullptr, SerialPortChoices());
        QCOMPARE(dialog.LinePacingBox()->text(), QStringLiteral("Pace at line speed"));
        QVERIFY(!dialog.LinePacingBox()->isChecked());
        dialog.LinePacingBox()->setChecked(true);
        Modal_script script({Answer(1, QStringLiteral("tcp-listen:0"), 5)});
        std::unique_ptr<Pump_loop> loop = RunNewLoop(dialog, nullptr);
        QVERIFY(loop);
        QCOMPARE(script.texts, QStringList());
        QVERIFY(loop->PortIsVirtual());
        QVERIFY(QString::fromStdString(loop->DevicePath()).startsWith(QStringLiteral("127.0.0.1:")));
        QVERIFY(loop->LinePacing());
        QVERIFY(dialog.LinePacingBox()->isChecked());  // kept for the next use

        // Unticked, the next loop answers unpaced.
        dialog.LinePacingBox()->setChecked(false);
        Modal_script again({Answer(1, QStringLiteral("tcp-listen:0"), 5)});
        std::unique_ptr<Pump_loop> unpaced = RunNewLoop(dialog, nullptr);
        QVERIFY(unpaced);
        QVERIFY(!unpaced->LinePacing());
    }

    void NewLoopRefusalsCreateNothing()
    {
        PtyController pty;
        // The port is taken by another loop.
        std::unique_ptr<Pump_loop> first = CreateLoop(Protocol::current_loop, pty.SlavePath(), false, 1, 8);
        TAddLoop dialog(nullptr, SerialPortChoices());
        const QString slave = QString::fromStdString(pty.SlavePath());
        Modal_script script({Answer(0, slave, 3), Answer(1, QStringLiteral("/dev/gallion-no-such-port"), 5),
                             Answer(1, slave, 0), Answer(0, slave, 3, QStringLiteral("1x"), QStringLiteral("2")),
                             Answer(0, QString(), 3)});
        for (int i = 0; i < 5; ++i)
            QVERIFY(!RunNewLoop(dialog, nullptr));
        QCOMPARE(script.texts.size(), 4);
        QCOMPARE(script.texts[0], QStringLiteral("Invalid port: ") + slave + QStringLiteral(": in use by another program"));
        QVERIFY(script.texts[1].startsWith(QStringLiteral("Invalid port: /dev/gallion-no-such-port: ")));
        QCOMPARE(script.texts[2], QString(kInvalidInterval));
        QCOMPARE(script.texts[3], QStringLiteral("'1x' is not a valid integer value"));
        // Once the other loop has gone, the same answer makes the loop.
        first.reset();
        Modal_script again({Answer(0, slave, 3)});
        std::unique_ptr<Pump_loop> loop = RunNewLoop(dialog, nullptr);
        QVERIFY(loop);
        QCOMPARE(loop->LastPump(), 16);
        QCOMPARE(QString::fromStdString(loop->PortName()), slave);
    }

    // ---- Communication pane ----

    void CommPaneDrainsTheLoopsTraffic()
    {
        PtyController pty;
        ZarnMaster master(pty);
        std::unique_ptr<Pump_loop> loop = CreateLoop(Protocol::zarn, pty.SlavePath(), false, 1, 4);
        QVERIFY(loop->AddPump(0));
        QVERIFY(loop->AddPump(1));
        TCommPane pane;
        pane.resize(278, 520);
        pane.show();
        QCOMPARE(pane.FilterLabel()->text(), QStringLiteral("All"));
        QCOMPARE(pane.StopStartButton()->text(), QStringLiteral("Stop"));
        // A monospaced face at 8 pixels, whatever fonts the machine has: every glyph as wide as
        // any other (the faces' fixed-pitch flags are not to be trusted).
        QCOMPARE(pane.View()->font().pixelSize(), 8);
        const QFontMetrics glyphs(pane.View()->font());
        for (QChar glyph : QStringLiteral("il.:|W0<>*"))
            QCOMPARE(glyphs.horizontalAdvance(glyph), glyphs.horizontalAdvance(QLatin1Char('M')));
        QVERIFY(pane.View()->isReadOnly());
        QCOMPARE(pane.View()->focusPolicy(), Qt::NoFocus);

        // Without a loop a tick only trims; Stop/Start does nothing.
        pane.Drain();
        pane.StopStart();
        QVERIFY(pane.Lines().isEmpty());
        QCOMPARE(pane.StopStartButton()->text(), QStringLiteral("Stop"));

        // The main window's timer drives the drain.
        pane.ChangePage(nullptr, loop.get(), {});
        QTimer timer;
        timer.setInterval(TCommPane::kDrainMs);
        QObject::connect(&timer, &QTimer::timeout, &pane, &TCommPane::Drain);
        timer.start();
        QVERIFY(Commands(master, kPump1, 1));
        QVERIFY(WaitUntil([&] { return Starting(pane.Lines(), QStringLiteral("<P1 ACK ")) == 1; }));
        timer.stop();
        QCOMPARE(Starting(pane.Lines(), QStringLiteral("* <P1 DATA 0><CD1")), 1);
        QVERIFY(pane.View()->toPlainText().startsWith(QStringLiteral("* <P1 DATA 0><CD1")));
        pane.Drain();
        // Every message is followed by an empty line.
        for (int i = 0; i < pane.Lines().size(); ++i)
            QCOMPARE(pane.Lines()[i].isEmpty(), i % 2 == 1);

        // 21 commands are 42 messages: at least 41 of them are waiting when one tick drains them
        // (the last ACK may still be on its way to the feed): 82 lines or more, of which the
        // newest 55 remain.
        QVERIFY(Commands(master, kPump1, 21));
        pane.Drain();
        QCOMPARE(pane.Lines().size(), TCommPane::kMaxLines);
        QVERIFY(pane.Lines().first().isEmpty());
        QVERIFY(pane.Lines().last().isEmpty());
        QVERIFY(Starting(pane.Lines(), QStringLiteral("* <P1 DATA ")) >= 13);
        QCOMPARE(pane.View()->document()->blockCount(), TCommPane::kMaxLines);

        // Filtered to the pump at line address 81 (0x51), pump 2: the label says 2 and pump 1's
        // traffic no longer shows.
        loop->SetFilterAddress(0x51);
        pane.Drain();
        QCOMPARE(pane.FilterLabel()->text(), QStringLiteral("2"));
        pane.Clear();
        QVERIFY(pane.Lines().isEmpty());
        QVERIFY(Commands(master, kPump1, 2));
        QVERIFY(Commands(master, 0x51, 1));
        QVERIFY(WaitUntil([&] {
            pane.Drain();
            return pane.Lines().size() == 4;
        }));
        QVERIFY2(pane.Lines()[0].startsWith(QStringLiteral("* <P2 DATA 0>")), qPrintable(pane.Lines()[0]));
        QVERIFY2(pane.Lines()[2].startsWith(QStringLiteral("<P2 ACK 0>")), qPrintable(pane.Lines()[2]));
        loop->SetFilterAddress(0);
        pane.Drain();
        QCOMPARE(pane.FilterLabel()->text(), QStringLiteral("All"));

        // The popup: "Interpreted" carries the feed's state, and choosing it switches to hex text.
        pane.PreparePopup();
        QVERIFY(pane.InterpretedItem()->isChecked());
        pane.InterpretedItem()->trigger();
        QVERIFY(!loop->GetInterpreted());
        pane.PreparePopup();
        QVERIFY(!pane.InterpretedItem()->isChecked());
        pane.Clear();
        QVERIFY(Commands(master, kPump1, 1));
        QVERIFY(WaitUntil([&] {
            pane.Drain();
            return pane.Lines().size() >= 4;
        }));
        // The DATA block as its bytes: address 50, control 3n, CD1 01 01 00.
        QVERIFY2(pane.Lines()[0].startsWith(QStringLiteral("* 50 3")), qPrintable(pane.Lines()[0]));
        QVERIFY2(pane.Lines()[0].contains(QStringLiteral(" 01 01 00 ")), qPrintable(pane.Lines()[0]));
        QCOMPARE(Captions(pane.Popup()), (QStringList{"Interpreted", "Stop", "Clear", "Copy", "Trace to file..."}));
        pane.ClearItem()->trigger();
        QVERIFY(pane.Lines().isEmpty());
        QVERIFY(pane.View()->toPlainText().isEmpty());
    }

    void CommPaneTracesTheActiveLoop()
    {
        PtyController pty;
        ZarnMaster master(pty);
        TempDir dir;
        std::unique_ptr<Pump_loop> loop = CreateLoop(Protocol::zarn, pty.SlavePath(), false, 1, 4);
        QVERIFY(loop->AddPump(0));
        TCommPane pane;
        pane.PreparePopup();
        QVERIFY(!pane.TraceItem()->isEnabled());  // no loop yet
        QVERIFY(!pane.StartTrace(QString::fromStdString(dir.File("none.jsonl"))));
        pane.ChangePage(nullptr, loop.get(), {});
        pane.PreparePopup();
        QCOMPARE(pane.TraceItem()->text(), QStringLiteral("Trace to file..."));

        // A folder is refused with the reason, and nothing traces.
        bool refused = false;
        try {
            pane.StartTrace(QString::fromStdString(dir.Path()));
        } catch (const Gallion_error& error) {
            refused = QString::fromLocal8Bit(error.what()).endsWith(QStringLiteral(": not a regular file"));
        }
        QVERIFY(refused);
        QVERIFY(!loop->IsTracing());

        const QString file = QString::fromStdString(dir.File("line.jsonl"));
        QVERIFY(pane.StartTrace(file));
        QVERIFY(loop->IsTracing());
        pane.PreparePopup();
        QCOMPARE(pane.TraceItem()->text(), QStringLiteral("Stop trace"));
        QVERIFY(Commands(master, kPump1, 1));
        // The writer takes its time; the frames are recorded just after they are on the line.
        QVERIFY(WaitUntil([&] { return ReadWholeFile(file.toStdString()).find("<P1 ACK ") != std::string::npos; }));
        pane.TraceItem()->trigger();  // stops the trace
        QVERIFY(!loop->IsTracing());
        const QString text = QString::fromStdString(ReadWholeFile(file.toStdString()));
        QVERIFY2(text.contains(QStringLiteral("\"dir\":\"rx\",\"addr\":\"50\",\"pump\":1,\"verdict\":\"good\"")),
                 qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("\"text\":\"<P1 ACK ")), qPrintable(text));
        pane.PreparePopup();
        QCOMPARE(pane.TraceItem()->text(), QStringLiteral("Trace to file..."));
    }

    void CommPaneStopStartAndCopy()
    {
        PtyController pty;
        ZarnMaster master(pty);
        std::unique_ptr<Pump_loop> loop = CreateLoop(Protocol::zarn, pty.SlavePath(), false, 1, 4);
        QVERIFY(loop->AddPump(0));
        TCommPane pane;
        pane.show();
        pane.ChangePage(nullptr, loop.get(), {});

        // Copy of an empty view: an empty text.
        QGuiApplication::clipboard()->setText(QStringLiteral("left over"));
        ClickButton(pane.CopyButton());
        QCOMPARE(QGuiApplication::clipboard()->text(), QString());

        // Stop after pending traffic: what was waiting is shown, then the note; the feed is off.
        // (Each command's DATA block reaches the feed before its ACK is sent; the last ACK may
        // still be on its way.)
        QVERIFY(Commands(master, kPump1, 3));
        ClickButton(pane.StopStartButton());
        QVERIFY(!loop->IsCommunicationOn());
        QCOMPARE(pane.Lines().last(), QStringLiteral(" *** Communication view stopped *** "));
        QCOMPARE(Starting(pane.Lines(), QStringLiteral("* <P1 DATA ")), 3);
        QVERIFY(Starting(pane.Lines(), QStringLiteral("<P1 ACK ")) >= 2);
        QCOMPARE(pane.StopStartButton()->text(), QStringLiteral("Start"));
        QCOMPARE(pane.StopItem()->text(), QStringLiteral("Start"));
        const QStringList stopped = pane.Lines();
        QVERIFY(Commands(master, kPump1, 2));
        pane.Drain();
        QCOMPARE(pane.Lines(), stopped);

        // Start (the popup item is the same command).
        pane.StopItem()->trigger();
        QVERIFY(loop->IsCommunicationOn());
        QCOMPARE(pane.Lines().last(), QStringLiteral(" *** Communication view started *** "));
        QCOMPARE(pane.StopStartButton()->text(), QStringLiteral("Stop"));
        QCOMPARE(pane.StopItem()->text(), QStringLiteral("Stop"));

        ClickButton(pane.CopyButton());
        QCOMPARE(QGuiApplication::clipboard()->text(), pane.Lines().join(QLatin1Char('\n')));
        ClickButton(pane.ClearButton());
        QVERIFY(pane.Lines().isEmpty());
    }

    void CommPaneKeepsEachLoopsHistory()
    {
        PtyController pty_a, pty_b;
        ZarnMaster master_a(pty_a), master_b(pty_b);
        std::unique_ptr<Pump_loop> a = CreateLoop(Protocol::zarn, pty_a.SlavePath(), false, 1, 4);
        std::unique_ptr<Pump_loop> b = CreateLoop(Protocol::zarn, pty_b.SlavePath(), false, 5, 8);
        QVERIFY(a->AddPump(0));
        QVERIFY(b->AddPump(0));
        QStringList history_a, history_b;
        TCommPane pane;
        pane.show();

        pane.ChangePage(nullptr, a.get(), history_a);
        QVERIFY(Commands(master_a, kPump1, 1));
        QVERIFY(WaitUntil([&] {
            pane.Drain();
            return pane.Lines().size() >= 4;
        }));
        const QStringList seen_a = pane.Lines();
        ClickButton(pane.StopStartButton());  // a's feed off
        const QStringList stopped_a = pane.Lines();

        // To b: a keeps its lines, the view shows b's (none yet) and b's feed state.
        pane.ChangePage(&history_a, b.get(), history_b);
        QCOMPARE(history_a, stopped_a);
        QVERIFY(pane.Lines().isEmpty());
        QCOMPARE(pane.StopStartButton()->text(), QStringLiteral("Stop"));
        QVERIFY(Commands(master_b, 0x54, 1));  // pump 5
        QVERIFY(Commands(master_a, kPump1, 1));  // a's traffic must not show under b
        QVERIFY(WaitUntil([&] {
            pane.Drain();
            return pane.Lines().size() >= 4;
        }));
        QVERIFY2(pane.Lines()[0].startsWith(QStringLiteral("* <P5 DATA 0>")), qPrintable(pane.Lines()[0]));
        for (const QString& line : pane.Lines())
            QVERIFY2(!line.contains(QStringLiteral("P1")), qPrintable(line));

        // Back to a: its lines and its stopped feed ("Start").
        pane.ChangePage(&history_b, a.get(), history_a);
        QCOMPARE(pane.Lines(), stopped_a);
        QCOMPARE(pane.StopStartButton()->text(), QStringLiteral("Start"));
        QCOMPARE(pane.StopItem()->text(), QStringLiteral("Start"));
        QVERIFY(history_b.size() >= 4);
        QVERIFY(seen_a.size() >= 4);

        // a's page removed: no history to keep, no loop; the view keeps nothing of a.
        pane.ChangePage(nullptr, b.get(), history_b);
        a.reset();
        QCOMPARE(pane.Lines(), history_b);
        pane.ChangePage(nullptr, nullptr, {});
        QVERIFY(pane.Lines().isEmpty());
        pane.Drain();
        pane.StopStart();
        QVERIFY(pane.Lines().isEmpty());
        QCOMPARE(pane.Loop(), static_cast<Pump_loop*>(nullptr));
    }

    void CommPaneOnACurrentLoop()
    {
        PtyController pty;
        std::unique_ptr<Pump_loop> loop = CreateLoop(Protocol::current_loop, pty.SlavePath(), false, 1, 8);
        QVERIFY(loop->AddPump(1));  // pump 2
        TCommPane pane;
        pane.show();
        pane.ChangePage(nullptr, loop.get(), {});
        // The controller polls pump 2 and gets its 32-byte answer: both frames reach the view.
        pty.Send(cltest::Poll(2));
        QCOMPARE(pty.ReadExactly(32, 3000).size(), size_t(32));
        QVERIFY(WaitUntil([&] {
            pane.Drain();
            return pane.Lines().size() >= 4;
        }));
        QVERIFY2(pane.Lines()[0].startsWith(QStringLiteral("* ")), qPrintable(pane.Lines()[0]));
        QVERIFY(pane.Lines()[1].isEmpty());
        QVERIFY(!pane.Lines()[2].isEmpty() && !pane.Lines()[2].startsWith(QStringLiteral("* ")));
        // Filtered to pump 2 (line address 0x51) as on a Zarn loop.
        loop->SetFilterPosition(1);
        pane.Drain();
        QCOMPARE(pane.FilterLabel()->text(), QStringLiteral("2"));
    }

    void CommPaneFollowsTheMainWindowsPages()
    {
        PtyController pty_a, pty_b;
        ZarnMaster master_a(pty_a), master_b(pty_b);
        Window_rig rig;
        TLoopHolder* holder = rig.Window().LoopHolder();
        TCommPane pane;
        pane.show();
        pane.FollowPages(holder);
        QCOMPARE(pane.Loop(), static_cast<Pump_loop*>(nullptr));

        TLoop* a = rig.AddPage(Protocol::zarn, pty_a.SlavePath(), 1, 4);
        QCOMPARE(pane.Loop(), &a->Loop());
        a->AddPump(0);
        QVERIFY(Commands(master_a, kPump1, 1));
        QVERIFY(WaitUntil([&] {
            pane.Drain();
            return pane.Lines().size() >= 4;
        }));
        ClickButton(pane.StopStartButton());
        const QStringList lines_a = pane.Lines();

        // A new loop: its page shows an empty view and its own feed state; a keeps its lines.
        TLoop* b = rig.AddPage(Protocol::zarn, pty_b.SlavePath(), 5, 8);
        QCOMPARE(pane.Loop(), &b->Loop());
        QVERIFY(pane.Lines().isEmpty());
        QCOMPARE(a->CommHistory, lines_a);
        QCOMPARE(pane.StopStartButton()->text(), QStringLiteral("Stop"));
        b->AddPump(0);
        QVERIFY(Commands(master_b, 0x54, 1));
        QVERIFY(WaitUntil([&] {
            pane.Drain();
            return pane.Lines().size() >= 4;
        }));

        // F5 wraps to a: a's lines, and a's feed is still off after its page was hidden and shown.
        rig.Press(Qt::Key_F5);
        QCOMPARE(holder->currentIndex(), 0);
        QCOMPARE(pane.Loop(), &a->Loop());
        QCOMPARE(pane.Lines(), lines_a);
        QVERIFY(!a->Loop().IsCommunicationOn());
        QCOMPARE(pane.StopStartButton()->text(), QStringLiteral("Start"));
        QVERIFY(b->CommHistory.size() >= 4);
        QVERIFY(Starting(b->CommHistory, QStringLiteral("* <P5 DATA ")) == 1);

        // The active page removed: the view goes on with b's lines and b's loop.
        const QStringList lines_b = b->CommHistory;
        holder->RemovePage(a);
        QCOMPARE(pane.Loop(), &b->Loop());
        QCOMPARE(pane.Lines(), lines_b);
        QCOMPARE(pane.StopStartButton()->text(), QStringLiteral("Stop"));
        pane.Drain();
        holder->RemovePage(b);
        QCOMPARE(pane.Loop(), static_cast<Pump_loop*>(nullptr));
        QVERIFY(pane.Lines().isEmpty());
        pane.Drain();
        pane.StopStart();
        QVERIFY(pane.Lines().isEmpty());
    }
};

GALLION_SCREENS_TEST_MAIN(Shell_dialogs_test)
#include "shell_dialogs_test.moc"
