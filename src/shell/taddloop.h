#pragma once
#include "screens/centred_dialog.h"
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>
#include <string>

#include "loops/pump_loop.h"
#include "shell/app_settings.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;

// The ports the "Serial port" list offers: "COM1" to "COM9" first (so the index the settings
// file remembers keeps its meaning from run to run), then the virtual ports "pty" and
// "pty:/tmp/gallion-loop" (an example path the user may edit), then the serial devices present
// (/dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM*, each group in number order). A /dev/ttyS* node with no
// port behind it (the kernel reports its type as 0) is left out. The folders are parameters for
// the tests.
QStringList SerialPortChoices(const QString& dev_folder = QStringLiteral("/dev"),
                              const QString& sys_tty_folder = QStringLiteral("/sys/class/tty"));

// What the New loop dialog asks for once it has been checked.
struct New_loop_request {
    Protocol protocol = Protocol::zarn;
    std::string port_name;
    bool spy = false;
    bool paced = false;  // replies at the pace of a real line (virtual and TCP ports)
    int first = 0;
    int last = 0;
};

// The outcome of checking the dialog's answer: a request, or the message to show (empty when
// nothing is shown, as for an empty port name), and whether that message reports a failure (a
// number that does not convert) rather than a fixed text.
struct New_loop_check {
    std::optional<New_loop_request> request;
    QString message;
    bool failure = false;
};

// The "New loop" dialog: protocol, serial port and range of pump numbers of a new loop. Created
// once and kept, so its lists keep their selections between uses; the range fields are emptied on
// every showing. The protocol and address lists take no typed text; the port list does (any port
// name, a device path, "pty", "pty:PATH", "tcp:HOST:PORT", "tcp-listen:[ADDRESS:]PORT"). The box
// "Pace at line speed" keeps its state between uses; the main window sets it from the setting
// LineSpeedPacing when it reads its settings.
class TAddLoop : public TCentred_dialog {
    Q_OBJECT
public:
    explicit TAddLoop(QWidget* parent = nullptr, const QStringList& ports = SerialPortChoices());
    ~TAddLoop() override;

    // Shows the dialog modally; true when the user chose "Activate" (or pressed Enter).
    bool ExecuteAddLoop();

    // The lists' selections as section AddLoop keeps them. An index outside a list falls back to
    // its first entry; a list without a selection reports -1.
    void SetMemory(const App_settings::Add_loop_memory& memory);
    App_settings::Add_loop_memory Memory() const;

    // Ticks or clears "Pace at line speed" (the main window: from the setting LineSpeedPacing).
    void SetLinePacing(bool on);

    // The "Enable SpyPort" box is shown only with the setting ShowSpyPort.
    void SetSpyPortShown(bool shown);

    // Checks the answer (after ExecuteAddLoop returned true): the port name as typed (empty: no
    // loop, no message); the range fields, or the address preset when either field is empty; the
    // range against the chosen protocol's limits ("Invalid pump number interval for the chosen
    // protocol").
    New_loop_check CheckAnswer() const;

    // The range an "Addresses" entry stands for; nothing for the empty entries.
    static std::optional<std::pair<int, int>> PresetRange(int index);

    // Controls, for tests and the screenshots.
    QComboBox* ProtocolList() const { return protocol_; }
    QComboBox* PortList() const { return port_; }
    QComboBox* AddressList() const { return address_; }
    QLineEdit* FromField() const { return from_; }
    QLineEdit* ToField() const { return to_; }
    QCheckBox* SpyPortBox() const { return spy_; }
    QCheckBox* LinePacingBox() const { return pacing_; }
    QPushButton* ActivateButton() const { return activate_; }
    QPushButton* CancelButton() const { return cancel_; }

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool spy_shown_ = false;
    QComboBox* protocol_ = nullptr;
    QComboBox* port_ = nullptr;
    QComboBox* address_ = nullptr;
    QLineEdit* from_ = nullptr;
    QLineEdit* to_ = nullptr;
    QCheckBox* spy_ = nullptr;
    QCheckBox* pacing_ = nullptr;
    QPushButton* activate_ = nullptr;
    QPushButton* cancel_ = nullptr;
};

// Creates the loop a checked request asks for. A failure while the loop is built (a port that
// cannot be opened: "Invalid port", a port in use by another loop or program) is shown in a
// message box over parent with the failure's text; nothing results then.
std::unique_ptr<Pump_loop> CreateRequestedLoop(const New_loop_request& request, QWidget* parent);

// The New loop command up to the loop: runs the dialog, checks its answer (showing the message of
// a refused answer) and creates the loop. nullptr when no loop results; the caller makes the page.
std::unique_ptr<Pump_loop> RunNewLoop(TAddLoop& dialog, QWidget* parent);
