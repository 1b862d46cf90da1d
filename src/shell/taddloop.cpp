#include "shell/taddloop.h"

#include <QCheckBox>
#include <QAbstractItemView>
#include <QComboBox>
#include <QCompleter>
#include <QDir>
#include <QFile>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>
#include <algorithm>
#include <exception>
#include <utility>
#include <vector>

#include "platform/port_name.h"
#include "shell/shell_messages.h"

namespace {

const char* const kInvalidInterval = "Invalid pump number interval for the chosen protocol";

// The "Addresses" entries; the empty ones stand for no range.
const char* const kAddressEntries[] = {"Pump nr 1 - 12", "Pump nr 13 - 24", "", "Pump nr 1  - 16", "", "Pump nr 1 - 8 "};

// Device nodes of one family (ttyUSB0, ttyUSB1, ttyUSB10 ...) in number order. Only the family
// itself: the prefix followed by a number ("ttySAC0" belongs to another driver).
QStringList Devices(const QDir& dev, const QString& prefix)
{
    std::vector<std::pair<uint, QString>> numbered;
    for (const QString& name : dev.entryList({prefix + QLatin1Char('*')}, QDir::System | QDir::Files)) {
        bool is_number = false;
        const uint number = name.mid(prefix.size()).toUInt(&is_number);
        if (is_number)
            numbered.emplace_back(number, name);
    }
    std::sort(numbered.begin(), numbered.end());
    QStringList names;
    for (const auto& entry : numbered)
        names << entry.second;
    return names;
}

// A legacy serial node exists for every possible port; the kernel's type 0 means none is there.
bool SerialPortPresent(const QString& sys_tty_folder, const QString& name)
{
    QFile type(sys_tty_folder + QLatin1Char('/') + name + QStringLiteral("/type"));
    if (!type.open(QIODevice::ReadOnly))
        return true;  // no such information: offer it
    return type.readAll().trimmed() != "0";
}

// The text of a range field as a number, or the conversion error's text.
std::optional<int> RangeNumber(const QString& text, QString& error)
{
    bool ok = false;
    const int number = text.trimmed().toInt(&ok);
    if (!ok) {
        error = QStringLiteral("'%1' is not a valid integer value").arg(text);
        return std::nullopt;
    }
    return number;
}

}  // namespace

QStringList SerialPortChoices(const QString& dev_folder, const QString& sys_tty_folder)
{
    QStringList ports;
    for (int n = 1; n <= 9; ++n)
        ports << QStringLiteral("COM%1").arg(n);
    for (const Port_name& example : {Port_name::PseudoTerminal(), Port_name::PseudoTerminal("/tmp/gallion-loop"),
                                      Port_name::Listen("4001"), Port_name::Connect("127.0.0.1:4001")})
        ports << QString::fromStdString(example.Text());
    const QDir dev(dev_folder);
    for (const QString& name : Devices(dev, QStringLiteral("ttyS"))) {
        if (SerialPortPresent(sys_tty_folder, name))
            ports << dev.absoluteFilePath(name);
    }
    for (const QString& family : {QStringLiteral("ttyUSB"), QStringLiteral("ttyACM")}) {
        for (const QString& name : Devices(dev, family))
            ports << dev.absoluteFilePath(name);
    }
    return ports;
}

TAddLoop::TAddLoop(QWidget* parent, const QStringList& ports) : TCentred_dialog(parent)
{
    setObjectName(QStringLiteral("AddLoop"));
    setWindowTitle(QStringLiteral("New loop"));

    protocol_ = new QComboBox;
    protocol_->setObjectName(QStringLiteral("ProtocolList"));
    protocol_->addItems({QStringLiteral("Zarn"), QStringLiteral("Current loop")});

    port_ = new QComboBox;
    port_->setObjectName(QStringLiteral("PortList"));
    port_->setEditable(true);
    port_->setInsertPolicy(QComboBox::NoInsert);  // a typed name is used, not added to the list
    port_->addItems(ports);
    // Device names differ by case ("/dev/ttyusb0" is not "/dev/ttyUSB0"): completion never
    // changes the case of what was typed.
    port_->completer()->setCaseSensitivity(Qt::CaseSensitive);
    // Enter in the port's text field activates the dialog like everywhere else in it.
    port_->installEventFilter(this);
    port_->lineEdit()->installEventFilter(this);

    address_ = new QComboBox;
    address_->setObjectName(QStringLiteral("AddressList"));
    for (const char* entry : kAddressEntries)
        address_->addItem(QString::fromLatin1(entry));

    from_ = new QLineEdit;
    from_->setObjectName(QStringLiteral("FromField"));
    to_ = new QLineEdit;
    to_->setObjectName(QStringLiteral("ToField"));
    for (QLineEdit* field : {from_, to_})
        field->setFixedWidth(60);

    spy_ = new QCheckBox(QStringLiteral("Enable SpyPort"));
    spy_->setObjectName(QStringLiteral("SpyPortBox"));
    spy_->setVisible(false);

    pacing_ = new QCheckBox(QStringLiteral("Pace at line speed"));
    pacing_->setObjectName(QStringLiteral("LinePacingBox"));
    pacing_->setToolTip(QStringLiteral("Replies leave at 9600 baud on virtual and TCP ports, as on a real line"));

    activate_ = new QPushButton(QStringLiteral("Activate"));
    activate_->setObjectName(QStringLiteral("bActivate"));
    activate_->setDefault(true);
    activate_->setAutoDefault(true);
    cancel_ = new QPushButton(QStringLiteral("Cancel"));
    cancel_->setObjectName(QStringLiteral("bCancel"));
    cancel_->setAutoDefault(false);
    connect(activate_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);

    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel(QStringLiteral("Protocol")), 0, 0);
    grid->addWidget(protocol_, 0, 1, 1, 3);
    grid->addWidget(new QLabel(QStringLiteral("Serial port")), 1, 0);
    grid->addWidget(port_, 1, 1, 1, 3);
    grid->addWidget(new QLabel(QStringLiteral("Addresses")), 2, 0);
    grid->addWidget(address_, 2, 1, 1, 3);
    grid->addWidget(new QLabel(QStringLiteral("OR  From")), 3, 0);
    grid->addWidget(from_, 3, 1);
    grid->addWidget(new QLabel(QStringLiteral("to")), 3, 2, Qt::AlignRight);
    grid->addWidget(to_, 3, 3);
    grid->addWidget(spy_, 4, 0, 1, 4);
    grid->addWidget(pacing_, 5, 0, 1, 4);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 1);
    // The port list is as wide as its longest entry needs, but not less than this.
    port_->setMinimumWidth(180);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(activate_);
    buttons->addWidget(cancel_);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

TAddLoop::~TAddLoop() = default;

bool TAddLoop::ExecuteAddLoop()
{
    return exec() == QDialog::Accepted;
}

void TAddLoop::showEvent(QShowEvent* event)
{
    if (!event->spontaneous()) {
        from_->clear();
        to_->clear();
        protocol_->setFocus();
    }
    TCentred_dialog::showEvent(event);
}

bool TAddLoop::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if ((key == Qt::Key_Return || key == Qt::Key_Enter) && !port_->view()->isVisible()) {
            activate_->click();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void TAddLoop::SetMemory(const App_settings::Add_loop_memory& memory)
{
    auto select = [](QComboBox* list, int index) {
        list->setCurrentIndex(index >= 0 && index < list->count() ? index : 0);
    };
    select(protocol_, memory.protocol);
    select(port_, memory.com_port);
    // A name typed by hand (no entry of the list) comes back as typed.
    if (memory.com_port < 0 && !memory.port_name.empty())
        port_->setEditText(QString::fromLocal8Bit(memory.port_name.c_str()));
    select(address_, memory.address);
}

App_settings::Add_loop_memory TAddLoop::Memory() const
{
    App_settings::Add_loop_memory memory;
    memory.protocol = protocol_->currentIndex();
    // A typed name that is no entry of the list is no selection.
    memory.com_port = port_->findText(port_->currentText(), Qt::MatchExactly);
    memory.port_name = port_->currentText().toLocal8Bit().toStdString();
    memory.address = address_->currentIndex();
    return memory;
}

void TAddLoop::SetLinePacing(bool on)
{
    pacing_->setChecked(on);
}

void TAddLoop::SetSpyPortShown(bool shown)
{
    spy_shown_ = shown;
    spy_->setVisible(shown);
    if (!shown)
        spy_->setChecked(false);  // a hidden box records nothing
}

std::optional<std::pair<int, int>> TAddLoop::PresetRange(int index)
{
    switch (index) {
    case 0: return std::pair{1, 12};
    case 1: return std::pair{13, 24};
    case 3: return std::pair{1, 16};
    case 5: return std::pair{1, 8};
    default: return std::nullopt;
    }
}

New_loop_check TAddLoop::CheckAnswer() const
{
    New_loop_check check;
    const QString port = port_->currentText();
    if (port.isEmpty())
        return check;

    New_loop_request request;
    request.port_name = port.toLocal8Bit().toStdString();
    request.spy = spy_shown_ && spy_->isChecked();
    request.paced = pacing_->isChecked();
    // The first entry is Zarn; any other selection (or none) is a current loop.
    request.protocol = protocol_->currentIndex() == 0 ? Protocol::zarn : Protocol::current_loop;

    if (from_->text().isEmpty() || to_->text().isEmpty()) {
        const std::optional<std::pair<int, int>> preset = PresetRange(address_->currentIndex());
        if (!preset) {
            check.message = QString::fromLatin1(kInvalidInterval);
            return check;
        }
        request.first = preset->first;
        request.last = preset->second;
    } else {
        QString error;
        const std::optional<int> first = RangeNumber(from_->text(), error);
        const std::optional<int> last = first ? RangeNumber(to_->text(), error) : std::nullopt;
        if (!first || !last) {
            check.message = error;
            check.failure = true;
            return check;
        }
        request.first = *first;
        request.last = *last;
    }

    const std::string refusal = CheckPumpRange(request.protocol, request.first, request.last);
    if (!refusal.empty()) {
        check.message = QString::fromStdString(refusal);
        return check;
    }
    check.request = request;
    return check;
}

std::unique_ptr<Pump_loop> CreateRequestedLoop(const New_loop_request& request, QWidget* parent)
{
    try {
        std::unique_ptr<Pump_loop> loop =
            CreateLoop(request.protocol, request.port_name, request.spy, request.first, request.last);
        loop->SetLinePacing(request.paced);
        return loop;
    } catch (const std::exception& error) {
        shell_messages::Failure(parent, QString::fromLocal8Bit(error.what()));
    }
    return nullptr;
}

std::unique_ptr<Pump_loop> RunNewLoop(TAddLoop& dialog, QWidget* parent)
{
    if (!dialog.ExecuteAddLoop())
        return nullptr;
    const New_loop_check check = dialog.CheckAnswer();
    if (!check.request) {
        if (check.message.isEmpty())
            return nullptr;
        if (check.failure)
            shell_messages::Failure(parent, check.message);
        else
            shell_messages::Message(parent, check.message);
        return nullptr;
    }
    return CreateRequestedLoop(*check.request, parent);
}
