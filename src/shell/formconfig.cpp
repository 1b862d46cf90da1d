#include "shell/formconfig.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QShowEvent>
#include <QTabWidget>
#include <QVBoxLayout>
#include <cmath>

#include "platform/settings.h"
#include "shell/shell_messages.h"

namespace {

constexpr int kFieldWidth = 80;

// The user's locale for the floats the dialog shows and reads: no group separators either way, so
// "1.5" in a locale with a decimal comma is not read as 15.
QLocale UserLocale()
{
    QLocale locale;
    locale.setNumberOptions(QLocale::OmitGroupSeparator | QLocale::RejectGroupSeparator);
    return locale;
}

QString FloatText(double value)
{
    return UserLocale().toString(value, 'g', QLocale::FloatingPointShortest);
}

}  // namespace

TfConfig::TfConfig(QWidget* parent) : TCentred_dialog(parent)
{
    setObjectName(QStringLiteral("fConfig"));
    setWindowTitle(QStringLiteral("Preferences"));

    tabs_ = new QTabWidget(this);
    tabs_->setObjectName(QStringLiteral("PageControl"));

    general_tab_ = new QWidget;
    general_tab_->setObjectName(QStringLiteral("GeneralTab"));
    auto* general = new QVBoxLayout(general_tab_);
    auto_save_ = new QCheckBox(QStringLiteral("Save configuration between sessions"));
    auto_save_->setObjectName(QStringLiteral("MainAutoSave"));
    auto_load_ = new QCheckBox(QStringLiteral("Load autosaved configuration at startup"));
    auto_load_->setObjectName(QStringLiteral("MainAutoLoad"));
    show_spy_port_ = new QCheckBox(QStringLiteral("Show SpyPort features"));
    show_spy_port_->setObjectName(QStringLiteral("MainShowSpyPort"));
    general->addWidget(auto_save_);
    general->addWidget(auto_load_);
    general->addWidget(show_spy_port_);
    general->addStretch(1);
    tabs_->addTab(general_tab_, QStringLiteral("General"));
    tabs_->addTab(BuildProtocolTab(zarn_, QStringLiteral("Zarn"), true), QStringLiteral("Zarn"));
    tabs_->addTab(BuildProtocolTab(current_loop_, QStringLiteral("CurrentLoop"), false), QStringLiteral("Current loop"));
    tabs_->setCurrentWidget(general_tab_);

    auto* note = new QLabel(QStringLiteral("NOTE: You have to restart the application in order to make the changes effective."));
    note->setObjectName(QStringLiteral("Note"));
    note->setWordWrap(true);

    ok_ = new QPushButton(QStringLiteral("Ok"));
    ok_->setObjectName(QStringLiteral("bOk"));
    ok_->setDefault(true);
    cancel_ = new QPushButton(QStringLiteral("Cancel"));
    cancel_->setObjectName(QStringLiteral("bCancel"));
    connect(ok_, &QPushButton::clicked, this, &TfConfig::Ok);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ok_);
    buttons->addWidget(cancel_);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_);
    layout->addWidget(note);
    layout->addLayout(buttons);
}

TfConfig::~TfConfig() = default;

QWidget* TfConfig::BuildProtocolTab(Protocol_fields& f, const QString& section, bool zarn)
{
    f.tab = new QWidget;
    f.tab->setObjectName(section + QStringLiteral("Tab"));
    auto* grid = new QGridLayout(f.tab);
    int row = 0;
    auto field = [&](const char* key, const char* label) {
        auto* edit = new QLineEdit;
        edit->setObjectName(section + QLatin1String(key));
        edit->setFixedWidth(kFieldWidth);
        auto* caption = new QLabel(QLatin1String(label));
        caption->setBuddy(edit);
        grid->addWidget(caption, row, 0);
        grid->addWidget(edit, row, 1);
        ++row;
        return edit;
    };
    f.pump_sleep_ms = field("PumpSleepMs", "Pump sleep ms");
    f.throttle_volume = field("ThrottleVolume", "Throttle volume");
    f.throttle_amount = field("ThrottleAmount", "Throttle amount");
    f.throttle_flow = field("ThrottleFlow", "Throttle flow");
    f.poll_timeout = field("PollTimeout", "Offline timeout");
    f.volume_decimals = field("VolumeDecimals", "Decimals in volume");
    f.amount_decimals = field("AmountDecimals", "Decimals in amount");
    f.price_decimals = field("PriceDecimals", "Decimals in price");

    auto box = [&](const char* key, const char* caption) {
        auto* check = new QCheckBox(QLatin1String(caption));
        check->setObjectName(section + QLatin1String(key));
        grid->addWidget(check, row, 0, 1, 3);
        ++row;
        return check;
    };
    f.log_rx_errors = box("LogRXErrors", "Make list of RX errors");
    f.auto_flow = box("AutoFlow", "Autoflow");
    // The doubled ampersand shows as one.
    f.recalc_at_preset = box("RecalcAtPreset", "Recalculate Amount && Volume when reaching preset value");
    if (zarn) {
        f.filling_complete_only_after_nozzle_returned =
            box("FillingCompleteOnlyAfterNozzleReturned", "Filling Complete Only After Nozzle Returned");
        // Ticked when the line does not echo: the key says the opposite.
        f.converter_switches_reception =
            box("HandleReturningMessages", "RS232 / RS485 converter switches reception on/off");
    }
    grid->setColumnStretch(2, 1);
    grid->setRowStretch(row, 1);
    return f.tab;
}

bool TfConfig::Execute()
{
    return exec() == QDialog::Accepted;
}

void TfConfig::showEvent(QShowEvent* event)
{
    if (!event->spontaneous())
        Fill();
    TCentred_dialog::showEvent(event);
}

void TfConfig::Fill()
{
    const App_settings::Preferences values = App_settings::ReadPreferences();
    auto_save_->setChecked(values.auto_save);
    auto_load_->setChecked(values.auto_load);
    show_spy_port_->setChecked(values.show_spy_port);
    FillProtocol(zarn_, values.zarn);
    FillProtocol(current_loop_, values.current_loop);
}

void TfConfig::FillProtocol(Protocol_fields& f, const Pump_settings& v)
{
    f.pump_sleep_ms->setText(QString::number(v.pump_sleep_ms));
    f.throttle_volume->setText(FloatText(v.throttle_volume));
    f.throttle_amount->setText(FloatText(v.throttle_amount));
    f.throttle_flow->setText(FloatText(v.throttle_flow));
    f.poll_timeout->setText(QString::number(v.poll_timeout));
    f.volume_decimals->setText(QString::number(v.volume_decimals));
    f.amount_decimals->setText(QString::number(v.amount_decimals));
    f.price_decimals->setText(QString::number(v.price_decimals));
    f.log_rx_errors->setChecked(v.log_rx_errors);
    f.auto_flow->setChecked(v.auto_flow);
    f.recalc_at_preset->setChecked(v.recalc_at_preset);
    if (f.filling_complete_only_after_nozzle_returned)
        f.filling_complete_only_after_nozzle_returned->setChecked(v.filling_complete_only_after_nozzle_returned);
    if (f.converter_switches_reception)
        f.converter_switches_reception->setChecked(!v.handle_returning_messages);
}

bool TfConfig::TakeInt(QWidget* tab, QLineEdit* field, int low, int high, int& value)
{
    tabs_->setCurrentWidget(tab);
    field->setFocus();
    bool ok = false;
    const int number = field->text().trimmed().toInt(&ok);
    if (!ok || number < low || number > high) {
        shell_messages::Message(this, QStringLiteral("Value not valid"));
        return false;
    }
    value = number;
    return true;
}

bool TfConfig::TakeFloat(QWidget* tab, QLineEdit* field, double& value)
{
    tabs_->setCurrentWidget(tab);
    field->setFocus();
    const QString text = field->text().trimmed();
    bool ok = false;
    double number = UserLocale().toDouble(text, &ok);
    if (!ok)
        number = QLocale::c().toDouble(text, &ok);
    // "nan" and "inf" convert but are no throttle; a negative one would never be reached.
    if (!ok || !std::isfinite(number) || number < 0) {
        shell_messages::Message(this, QStringLiteral("Value not valid"));
        return false;
    }
    value = number;
    return true;
}

bool TfConfig::TakeProtocol(Protocol_fields& f, Pump_settings& v)
{
    using namespace App_settings;
    return TakeInt(f.tab, f.pump_sleep_ms, kMinPumpSleepMs, kMaxPumpSleepMs, v.pump_sleep_ms) &&
           TakeFloat(f.tab, f.throttle_volume, v.throttle_volume) &&
           TakeFloat(f.tab, f.throttle_amount, v.throttle_amount) &&
           TakeFloat(f.tab, f.throttle_flow, v.throttle_flow) &&
           TakeInt(f.tab, f.poll_timeout, kMinPollTimeout, kMaxPollTimeout, v.poll_timeout) &&
           TakeInt(f.tab, f.volume_decimals, kMinDecimals, kMaxDecimals, v.volume_decimals) &&
           TakeInt(f.tab, f.amount_decimals, kMinDecimals, kMaxDecimals, v.amount_decimals) &&
           TakeInt(f.tab, f.price_decimals, kMinDecimals, kMaxDecimals, v.price_decimals);
}

void TfConfig::Ok()
{
    App_settings::Preferences values;
    const bool valid = TakeProtocol(zarn_, values.zarn) && TakeProtocol(current_loop_, values.current_loop);
    if (valid) {
        values.auto_save = auto_save_->isChecked();
        values.auto_load = auto_load_->isChecked();
        values.show_spy_port = show_spy_port_->isChecked();
        for (Protocol_fields* f : {&zarn_, &current_loop_}) {
            Pump_settings& v = (f == &zarn_) ? values.zarn : values.current_loop;
            v.log_rx_errors = f->log_rx_errors->isChecked();
            v.auto_flow = f->auto_flow->isChecked();
            v.recalc_at_preset = f->recalc_at_preset->isChecked();
        }
        values.zarn.filling_complete_only_after_nozzle_returned =
            zarn_.filling_complete_only_after_nozzle_returned->isChecked();
        values.zarn.handle_returning_messages = !zarn_.converter_switches_reception->isChecked();

        if (App_settings::WritePreferences(values)) {
            accept();
        } else {
            // Closing as if saved would lose the user's changes without a word.
            shell_messages::Failure(this, QStringLiteral("The settings could not be written to ") +
                                              QString::fromLocal8Bit(Settings::File().c_str()));
        }
    }
    tabs_->setCurrentWidget(general_tab_);
}
