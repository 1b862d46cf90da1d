#include "screens/detail_dialog.h"

#include <QButtonGroup>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QTimer>
#include <QToolButton>
#include <cmath>

#include "platform/error.h"
#include "screens/formrxerrors.h"
#include "screens/page_dialogs.h"
#include "screens/page_fonts.h"
#include "screens/tcl_detail.h"
#include "screens/tzarn_detail.h"

namespace {

const QColor kAllowedCaption(0, 128, 0);
const QColor kRefusedCaption(255, 0, 0);
const int kDialogPixels = page_fonts::PointsToPixels(8);
const int kPlainNozzlePixels = page_fonts::PointsToPixels(10);
const int kSelectedNozzlePixels = page_fonts::PointsToPixels(12);
const int kNumberPixels = 32;
const int kStatusPixels = 16;
constexpr int kMaxFlow = 40;
const char* const kAutomationItems[] = {"No automation", "Light ", "Normal", "Heavy"};

}  // namespace

TDetail_dialog::TDetail_dialog(Page_dialogs& dialogs, Protocol protocol, int nozzle_buttons, QWidget* parent)
    : TCentred_dialog(parent), dialogs_(dialogs), protocol_(protocol)
{
    setFont(page_fonts::Font(kDialogPixels));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    pump_nr_label_ = MakeLabel(QString());
    pump_nr_label_->setFont(page_fonts::Font(kNumberPixels, true));
    status_label_ = MakeLabel(QString());
    status_label_->setFont(page_fonts::Font(kStatusPixels, true));
    filled_head_ = MakeLabel(QStringLiteral("Filled"));
    preset_head_ = MakeLabel(QStringLiteral("Preset "));
    volume_head_ = MakeLabel(QStringLiteral("Volume"));
    amount_head_ = MakeLabel(QStringLiteral("Amount"));
    filled_volume_ = MakeDisplay();
    filled_amount_ = MakeDisplay();
    preset_volume_ = MakeDisplay();
    preset_amount_ = MakeDisplay();
    selected_nozzle_head_ = MakeLabel(QStringLiteral("Selected nozzle:"));
    selected_nozzle_label_ = MakeLabel(QStringLiteral("None"));
    QFont bold = font();
    bold.setBold(true);
    selected_nozzle_label_->setFont(bold);

    for (int i = 0; i < nozzle_buttons; ++i) {
        auto* button = new QToolButton(this);
        button->setText(QString::number(i + 1));
        button->setFont(page_fonts::Font(kPlainNozzlePixels));
        button->setFocusPolicy(Qt::NoFocus);
        button->resize(25, 25);
        connect(button, &QToolButton::clicked, this, [this, i] { NozzleButtonClicked(i + 1); });
        nozzle_buttons_.push_back(button);
    }

    auto* automation = new QFrame(this);
    automation_box_ = automation;
    automation->setFrameShape(QFrame::StyledPanel);
    auto* automation_title = new QLabel(QStringLiteral("Automation"), automation);
    automation_title->move(6, 3);
    automation_group_ = new QButtonGroup(this);
    for (int level = 0; level < 4; ++level) {
        auto* item = new QRadioButton(QString::fromLatin1(kAutomationItems[level]), automation);
        item->move(8, 20 + 20 * level);
        item->adjustSize();
        automation_group_->addButton(item, level);
    }
    connect(automation_group_, &QButtonGroup::idClicked, this, &TDetail_dialog::AutomationClicked);

    flow_panel_ = new QFrame(this);
    flow_panel_->setFrameShape(QFrame::StyledPanel);
    flow_label_ = new QLabel(QStringLiteral("Flow: 0"), flow_panel_);
    flow_label_->setAlignment(Qt::AlignCenter);
    // Top is 40 litres per minute, bottom 0: the track bar's value is the flow it stands for.
    flow_trackbar_ = new QSlider(Qt::Vertical, flow_panel_);
    flow_trackbar_->setRange(0, kMaxFlow);
    flow_trackbar_->setSingleStep(1);
    flow_trackbar_->setPageStep(10);
    flow_trackbar_->setTickInterval(1);
    flow_trackbar_->setTickPosition(QSlider::TicksBothSides);
    connect(flow_trackbar_, &QSlider::actionTriggered, this, &TDetail_dialog::FlowTrackbarAction);
    flow_button_ = new QPushButton(QStringLiteral("Flow"), flow_panel_);
    flow_button_->setAutoDefault(false);
    connect(flow_button_, &QPushButton::clicked, this, [this] {
        if (loop_)
            loop_->ToggleFlow(position_);
    });

    choose_error_ = MakeButton(QStringLiteral("Choose error..."));
    connect(choose_error_, &QPushButton::clicked, this, [this] {
        if (loop_)
            dialogs_.ErrorSetup(this, *loop_, position_);
    });
    commit_error_ = MakeButton(QStringLiteral("Commit error"));
    connect(commit_error_, &QPushButton::clicked, this, [this] {
        if (loop_)
            loop_->CommitError(position_);
    });
    visible_nozzles_ = MakeButton(protocol == Protocol::zarn ? QStringLiteral("Visible nozzles...")
                                                             : QStringLiteral("Existing nozzles..."));
    connect(visible_nozzles_, &QPushButton::clicked, this, &TDetail_dialog::ChooseVisibleNozzles);
    logged_status_ = MakeButton(QStringLiteral("Log..."));
    connect(logged_status_, &QPushButton::clicked, this, &TDetail_dialog::LoggingButton);
    show_errors_ = MakeButton(QStringLiteral("Show errors"));
    show_errors_->setEnabled(false);
    connect(show_errors_, &QPushButton::clicked, this, &TDetail_dialog::ShowErrors);
    rx_errors_head_ = MakeLabel(QStringLiteral("Number of RX errors"));
    rx_errors_label_ = MakeLabel(QStringLiteral("0"));
    rx_errors_label_->setFont(bold);

    previous_ = MakeButton(QStringLiteral("<<"));
    connect(previous_, &QPushButton::clicked, this, [this] { Step(-1); });
    next_ = MakeButton(QStringLiteral(">>"));
    connect(next_, &QPushButton::clicked, this, [this] { Step(1); });
    close_ = MakeButton(QStringLiteral("Close"));
    connect(close_, &QPushButton::clicked, this, &QDialog::reject);

    rx_dialog_ = new TfRXErrors(this);
    fast_timer_ = new QTimer(this);
    fast_timer_->setInterval(kFastPeriodMs);
    connect(fast_timer_, &QTimer::timeout, this, &TDetail_dialog::FastRefresh);
    slow_timer_ = new QTimer(this);
    slow_timer_->setInterval(kSlowPeriodMs);
    connect(slow_timer_, &QTimer::timeout, this, &TDetail_dialog::SlowRefresh);
}

TDetail_dialog::~TDetail_dialog() = default;

QPushButton* TDetail_dialog::MakeButton(const QString& caption)
{
    auto* button = new QPushButton(caption, this);
    // Enter is the dialog's own key, never a click on the focused button.
    button->setAutoDefault(false);
    return button;
}

QLabel* TDetail_dialog::MakeLabel(const QString& text)
{
    return new QLabel(text, this);
}

QLineEdit* TDetail_dialog::MakeDisplay()
{
    auto* display = new QLineEdit(this);
    display->setReadOnly(true);
    display->setAlignment(Qt::AlignRight);
    return display;
}

void TDetail_dialog::Place(QWidget* widget, int left, int top)
{
    widget->move(left, top);
    widget->adjustSize();
}

QToolButton* TDetail_dialog::NozzleButton(int nozzle) const
{
    return nozzle >= 1 && nozzle <= NozzleButtons() ? nozzle_buttons_[static_cast<size_t>(nozzle - 1)] : nullptr;
}

void TDetail_dialog::SetPump(Pump_loop& loop, int position)
{
    loop_ = &loop;
    position_ = position;
}

void TDetail_dialog::Open(Pump_loop& loop, int position)
{
    SetPump(loop, position);
    exec();
}

bool TDetail_dialog::ReadPump(Pump_detail& detail) const
{
    return loop_ && loop_->GetPumpDetail(position_, detail);
}

void TDetail_dialog::showEvent(QShowEvent* event)
{
    TCentred_dialog::showEvent(event);
    // Opened on a pump, the dialog shows it at once, not at the first tick.
    FastRefresh();
    SlowRefresh();
    fast_timer_->start();
    slow_timer_->start();
}

void TDetail_dialog::hideEvent(QHideEvent* event)
{
    fast_timer_->stop();
    slow_timer_->stop();
    QDialog::hideEvent(event);
}

void TDetail_dialog::FastRefresh()
{
    Pump_detail detail;
    if (!ReadPump(detail))
        return;
    status_label_->setText(QString::fromStdString(detail.status_text));
    filled_volume_->setText(QString::fromStdString(detail.volume_text));
    filled_amount_->setText(QString::fromStdString(detail.amount_text));
    for (int n = 1; n <= NozzleButtons(); ++n) {
        QToolButton* button = NozzleButton(n);
        const bool selected = detail.selected_nozzle == n;
        if (button->font().bold() != selected)
            button->setFont(page_fonts::Font(selected ? kSelectedNozzlePixels : kPlainNozzlePixels, selected));
    }
    rx_errors_label_->setText(QString::number(detail.rx_error_count));
    FastRefreshMore(detail);
    // The open receive-error window takes the errors that came since, as they come.
    if (rx_dialog_->isVisible())
        rx_dialog_->Load(loop_->TakeRxErrorLines(position_));
}

void TDetail_dialog::SlowRefresh()
{
    Pump_detail detail;
    if (!ReadPump(detail))
        return;
    {
        // The pump's own flow; the track bar stands for it in whole litres per minute.
        const QSignalBlocker block(flow_trackbar_);
        flow_trackbar_->setValue(static_cast<int>(std::min<double>(std::trunc(detail.flow), kMaxFlow)));
    }
    QLocale locale;
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    flow_label_->setText(QStringLiteral("Flow: ") + locale.toString(detail.flow, 'g', 15));
    {
        const QSignalBlocker block(automation_group_);
        if (QAbstractButton* item = automation_group_->button(detail.automation_level))
            item->setChecked(true);
        shown_automation_ = detail.automation_level;
    }
    logged_status_->setText(detail.logging ? QStringLiteral("Abort logging") : QStringLiteral("Log..."));
    logged_status_->setEnabled(detail.logging || dialogs_.Available(Page_dialog::log));
    choose_error_->setEnabled(dialogs_.Available(Page_dialog::error_setup));
    visible_nozzles_->setEnabled(dialogs_.Available(Page_dialog::visible_nozzles));
    selected_nozzle_label_->setText(detail.selected_nozzle ? QString::number(detail.selected_nozzle)
                                                           : QStringLiteral("None"));
    pump_nr_label_->setText(QString::number(detail.pump_number));
    for (int n = 1; n <= NozzleButtons() && n <= static_cast<int>(detail.nozzles.size()); ++n) {
        const Nozzle_detail& nozzle = detail.nozzles[static_cast<size_t>(n - 1)];
        QToolButton* button = NozzleButton(n);
        button->setVisible(nozzle.visible);
        QPalette palette = button->palette();
        palette.setColor(QPalette::ButtonText, nozzle.allowed ? kAllowedCaption : kRefusedCaption);
        button->setPalette(palette);
    }
    SlowRefreshMore(detail);
    UpdateShowErrors(detail);
}

void TDetail_dialog::UpdateShowErrors(const Pump_detail& detail)
{
    // Enabled while there is something to show: lines the dialog took from this pump and keeps,
    // or lines the pump holds.
    bool any = rx_dialog_->HasText(position_);
    if (!any && detail.log_rx_errors && detail.rx_error_count > 0)
        any = !loop_->RxErrorLines(position_).empty();
    show_errors_->setEnabled(any);
}

void TDetail_dialog::Step(int direction)
{
    if (!loop_)
        return;
    const int positions = loop_->Limits().max_pumps;
    int position = position_;
    for (int i = 0; i < positions; ++i) {
        position = (position + (direction > 0 ? 1 : positions - 1)) % positions;
        if (loop_->HasPump(position))
            break;
    }
    position_ = position;
    FastRefresh();
    SlowRefresh();
}

void TDetail_dialog::NozzleButtonClicked(int nozzle)
{
    if (loop_)
        loop_->DetailNozzleButton(position_, nozzle);
}

void TDetail_dialog::FlowTrackbarAction(int)
{
    if (!loop_ || !loop_->HasPump(position_))
        return;
    // The action has moved the slider already; its value follows after this signal.
    const int flow = flow_trackbar_->sliderPosition();
    loop_->SetFlow(position_, flow);
    flow_label_->setText(QStringLiteral("Flow ") + QString::number(flow));
}

void TDetail_dialog::AutomationClicked(int level)
{
    // A click on the item already chosen is no change (as a radio group reports it).
    if (!loop_ || level == shown_automation_)
        return;
    shown_automation_ = level;
    loop_->SetAutomation(position_, level);
}

void TDetail_dialog::LoggingButton()
{
    if (!loop_)
        return;
    if (loop_->IsLogging(position_))
        StopLogging();
    else
        BeginLogging();
    SlowRefresh();
}

void TDetail_dialog::BeginLogging()
{
    if (!loop_ || !loop_->HasPump(position_) || loop_->IsLogging(position_))
        return;
    // No file name is proposed here (the page proposes one).
    std::string file_name;
    bool interpreted = true;
    if (!dialogs_.AskLog(this, file_name, interpreted))
        return;
    try {
        loop_->StartLogging(position_, file_name, interpreted);
    } catch (const Gallion_error& error) {
        QMessageBox::warning(this, QStringLiteral("Gallion"), QString::fromStdString(error.what()));
    }
}

void TDetail_dialog::StopLogging()
{
    if (loop_)
        loop_->StopLogging(position_);
}

void TDetail_dialog::ChooseVisibleNozzles()
{
    if (!loop_ || !loop_->HasPump(position_))
        return;
    // The dialog covers the nozzles with a button; a Zarn pump's nozzles 11-15 keep their flags.
    std::vector<bool> visible = loop_->VisibleNozzles(position_);
    visible.resize(static_cast<size_t>(loop_->Limits().key_nozzles), false);
    if (dialogs_.AskVisibleNozzles(this, protocol_, visible))
        loop_->SetVisibleNozzles(position_, visible);
}

void TDetail_dialog::ShowErrors()
{
    if (!loop_)
        return;
    rx_dialog_->ShowPump(position_);
    rx_dialog_->Load(loop_->TakeRxErrorLines(position_));
    rx_dialog_->exec();
    Pump_detail detail;
    if (ReadPump(detail))
        UpdateShowErrors(detail);
}

void OpenDetail(QWidget* page, Page_dialogs& dialogs, Pump_loop& loop, int position)
{
    if (!loop.HasPump(position))
        return;
    const Protocol protocol = loop.GetProtocol();
    TDetail_dialog* dialog = nullptr;
    if (page) {
        for (TDetail_dialog* kept : page->findChildren<TDetail_dialog*>(QString(), Qt::FindDirectChildrenOnly)) {
            if (kept->GetProtocol() == protocol && &kept->Dialogs() == &dialogs)
                dialog = kept;
        }
    }
    std::unique_ptr<TDetail_dialog> once;
    if (!dialog) {
        if (protocol == Protocol::zarn)
            dialog = new TZarn_Detail(dialogs, page);
        else
            dialog = new TCL_detail(dialogs, page);
        if (!page)
            once.reset(dialog);
    }
    dialog->Open(loop, position);
}

void TDetail_dialog::PlacePumpAndFigures()
{
    pump_nr_label_->setGeometry(8, 2, 100, 38);
    status_label_->setGeometry(8, 42, 193, 22);
    Place(filled_head_, 74, 72);
    Place(preset_head_, 138, 72);
    Place(volume_head_, 8, 93);
    Place(amount_head_, 8, 117);
    filled_volume_->setGeometry(72, 90, 62, 21);
    preset_volume_->setGeometry(136, 90, 62, 21);
    filled_amount_->setGeometry(72, 114, 62, 21);
    preset_amount_->setGeometry(136, 114, 62, 21);
}
