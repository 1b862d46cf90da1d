#include "screens/tzarn_detail.h"

#include <QButtonGroup>
#include <QFrame>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QToolButton>
#include <QTreeWidget>

#include "screens/formoutputregister.h"
#include "screens/formzarnsettotals.h"

namespace {

constexpr int kFlowStep = 10;  // litres per minute, "A" and "Q"
constexpr int kNormalAutomation = 2;
constexpr int kStandardIdentity = 0;
constexpr int kFullIdentity = 1;

}  // namespace

TZarn_Detail::TZarn_Detail(Page_dialogs& dialogs, QWidget* parent)
    : TDetail_dialog(dialogs, Protocol::zarn, kNozzleButtons, parent)
{
    setWindowTitle(QStringLiteral("Detail"));
    setFixedSize(482, 428);

    // Left part (201 pixels): the pump, its status, filled and preset values, selected nozzle and
    // identity.
    PlacePumpAndFigures();
    Place(selected_nozzle_head_, 8, 146);
    selected_nozzle_label_->setGeometry(100, 146, 60, 15);

    auto* identity = new QFrame(this);
    identity->setFrameShape(QFrame::StyledPanel);
    identity->setGeometry(8, 172, 193, 66);
    auto* identity_title = new QLabel(QStringLiteral("Pump Identity"), identity);
    identity_title->move(6, 3);
    fullzarn_ = new QButtonGroup(this);
    const char* const kinds[] = {"Standard pump", "Full zarn"};
    for (int id = 0; id < 2; ++id) {
        auto* item = new QRadioButton(QString::fromLatin1(kinds[id]), identity);
        item->move(8, 20 + 20 * id);
        item->adjustSize();
        fullzarn_->addButton(item, id);
    }
    connect(fullzarn_, &QButtonGroup::idClicked, this, &TZarn_Detail::IdentityClicked);

    // Right part: nozzles 1-5 over 6-10, automation, the flow panel and the buttons.
    for (int i = 0; i < kNozzleButtons; ++i)
        nozzle_buttons_[static_cast<size_t>(i)]->move(210 + 28 * (i % 5), 8 + 28 * (i / 5));
    automation_box_->setGeometry(210, 68, 136, 104);
    flow_panel_->setGeometry(354, 8, 120, 164);
    flow_label_->setGeometry(4, 4, 112, 16);
    flow_trackbar_->setGeometry(40, 22, 40, 108);
    flow_button_->setGeometry(22, 134, 76, 24);
    choose_error_->setGeometry(210, 180, 130, 24);
    commit_error_->setGeometry(344, 180, 130, 24);
    visible_nozzles_->setGeometry(210, 207, 130, 24);
    logged_status_->setGeometry(344, 207, 130, 24);
    output_reg_ = MakeButton(QStringLiteral("Output reg..."));
    output_reg_->setGeometry(210, 234, 130, 24);
    connect(output_reg_, &QPushButton::clicked, this, &TZarn_Detail::OutputRegisters);
    show_errors_->setGeometry(344, 234, 130, 24);
    Place(rx_errors_head_, 210, 270);
    rx_errors_label_->setGeometry(330, 270, 80, 15);

    // Bottom part (122 pixels): the totals of the allowed nozzles, "<<", ">>" and "Close".
    totals_ = new QTreeWidget(this);
    totals_->setGeometry(8, 306, 386, 114);
    totals_->setRootIsDecorated(false);
    totals_->setSelectionBehavior(QAbstractItemView::SelectRows);
    totals_->setSelectionMode(QAbstractItemView::SingleSelection);
    totals_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    totals_->setHeaderLabels(
        {QStringLiteral("Nozzle"), QStringLiteral("Price"), QStringLiteral("Total Volume"),
         QStringLiteral("Total Amount"), QStringLiteral("Num of Fillings")});
    totals_->header()->setStretchLastSection(false);
    totals_->setColumnWidth(0, 50);
    for (int column = 1; column <= 4; ++column)
        totals_->setColumnWidth(column, 80);
    previous_->setGeometry(402, 306, 34, 25);
    next_->setGeometry(440, 306, 34, 25);
    close_->setGeometry(402, 395, 72, 25);

    // Key preview: the dialog's typed characters reach it before any of its controls.
    installEventFilter(this);
    for (QWidget* child : findChildren<QWidget*>()) {
        if (child->window() == this)
            child->installEventFilter(this);
    }
}

void TZarn_Detail::FastRefreshMore(const Pump_detail& detail)
{
    preset_volume_->setText(QString::fromStdString(detail.preset_volume_text));
    preset_amount_->setText(QString::fromStdString(detail.preset_amount_text));
}

void TZarn_Detail::SlowRefreshMore(const Pump_detail& detail)
{
    // Rebuilt from the pump; the row chosen stays chosen (by its nozzle).
    int chosen = 0;
    if (QTreeWidgetItem* item = totals_->currentItem(); item && item->isSelected())
        chosen = item->data(0, Qt::UserRole).toInt();
    {
        const QSignalBlocker block(totals_);
        totals_->clear();
        for (const Nozzle_detail& nozzle : detail.nozzles) {
            if (!nozzle.allowed)
                continue;
            auto* row = new QTreeWidgetItem(totals_);
            row->setText(0, QString::number(nozzle.number));
            row->setData(0, Qt::UserRole, nozzle.number);
            row->setText(1, QString::fromStdString(nozzle.price_text));
            row->setText(2, QString::fromStdString(nozzle.volume_total_text));
            row->setText(3, QString::fromStdString(nozzle.amount_total_text));
            row->setText(4, QString::fromStdString(nozzle.fillings_text));
            for (int column = 1; column <= 4; ++column)
                row->setTextAlignment(column, Qt::AlignRight | Qt::AlignVCenter);
            if (nozzle.number == chosen) {
                totals_->setCurrentItem(row);
                row->setSelected(true);
            }
        }
    }
    const QSignalBlocker block(fullzarn_);
    shown_identity_ = detail.full_identity ? kFullIdentity : kStandardIdentity;
    fullzarn_->button(shown_identity_)->setChecked(true);
}

void TZarn_Detail::IdentityClicked(int id)
{
    if (!Loop() || id == shown_identity_)
        return;
    shown_identity_ = id;
    Loop()->SetFullIdentity(Position(), id == kFullIdentity);
}

void TZarn_Detail::OutputRegisters()
{
    if (!Loop() || !Loop()->HasPump(Position()))
        return;
    TfZarnOutputRegister dialog(*Loop(), Position(), this);
    dialog.exec();
}

void TZarn_Detail::SetTotalsOfSelectedRow()
{
    const QList<QTreeWidgetItem*> rows = totals_->selectedItems();
    if (!Loop() || rows.isEmpty() || !Loop()->HasPump(Position()))
        return;
    // Built for this use only: nothing of another pump or nozzle stays in it.
    TfZarnSetTotals dialog(*Loop(), Position(), rows.first()->data(0, Qt::UserRole).toInt(), this);
    dialog.exec();
}

bool TZarn_Detail::eventFilter(QObject* watched, QEvent* event)
{
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!widget || widget->window() != this)
        return false;
    if (event->type() == QEvent::MouseButtonDblClick && watched == totals_->viewport()) {
        // The first click of the double click has chosen the row.
        SetTotalsOfSelectedRow();
        return true;
    }
    if (event->type() != QEvent::KeyPress)
        return false;
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
        // A held Enter that opened the dialog does not close it again at once.
        if (!key->isAutoRepeat())
            reject();
        return true;
    }
    return TypedKey(key->text());
}

bool TZarn_Detail::TypedKey(const QString& text)
{
    if (text.size() != 1 || !Loop())
        return false;
    Pump_loop& loop = *Loop();
    const int position = Position();
    const QChar typed = text.front();
    if (typed >= QLatin1Char('0') && typed <= QLatin1Char('9')) {
        const int nozzle = typed == QLatin1Char('0') ? 10 : typed.digitValue();
        loop.SelectNozzle(position, nozzle);
        loop.LiftNozzle(position);
        return true;
    }
    switch (typed.unicode()) {
    case 'A': loop.AdjustFlow(position, -kFlowStep); return true;
    case 'Q': loop.AdjustFlow(position, kFlowStep); return true;
    case 'K': StopLogging(); return true;
    case 'L': BeginLogging(); return true;
    case 'O': loop.SetAutomation(position, kNormalAutomation); return true;
    case 'P': loop.SetAutomation(position, 0); return true;
    case 'Z': loop.LiftNozzle(position); return true;
    default: return false;
    }
}
