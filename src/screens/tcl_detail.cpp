#include "screens/tcl_detail.h"

#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QToolButton>

namespace {

const QString kNoPreset = QStringLiteral(" - - - ");

}  // namespace

TCL_detail::TCL_detail(Page_dialogs& dialogs, QWidget* parent)
    : TDetail_dialog(dialogs, Protocol::current_loop, kNozzles, parent)
{
    setWindowTitle(QStringLiteral("Detail - Current Loop pump"));
    setFixedSize(427, 423);

    PlacePumpAndFigures();
    Place(MakeLabel(QStringLiteral("Filling price")), 8, 141);
    filling_price_ = MakeDisplay();
    filling_price_->setGeometry(72, 138, 62, 21);
    Place(selected_nozzle_head_, 8, 168);
    selected_nozzle_label_->setGeometry(100, 168, 60, 15);

    // The nozzle table: number, enabled by the controller, unit price.
    Place(MakeLabel(QStringLiteral("Nozzle")), 8, 196);
    Place(MakeLabel(QStringLiteral("Allowed")), 60, 196);
    Place(MakeLabel(QStringLiteral("Unit price")), 120, 196);
    for (int i = 0; i < kNozzles; ++i) {
        const int top = 214 + 24 * i;
        Place(MakeLabel(QString::number(i + 1)), 24, top + 3);
        auto* allowed = new QCheckBox(this);
        allowed->setEnabled(false);
        allowed->move(72, top + 2);
        allowed->adjustSize();
        allowed_[static_cast<size_t>(i)] = allowed;
        QLineEdit* unit = MakeDisplay();
        unit->setGeometry(120, top, 78, 21);
        unit_[static_cast<size_t>(i)] = unit;
    }

    for (int i = 0; i < kNozzles; ++i)
        nozzle_buttons_[static_cast<size_t>(i)]->move(210 + 28 * i, 8);
    automation_box_->setGeometry(210, 40, 110, 104);
    // The flow panel right of the nozzle row (the fifth button ends at 347).
    flow_panel_->setGeometry(352, 8, 67, 164);
    flow_label_->setGeometry(4, 4, 59, 16);
    flow_trackbar_->setGeometry(13, 22, 40, 108);
    flow_button_->setGeometry(4, 134, 59, 24);
    choose_error_->setGeometry(210, 180, 102, 24);
    commit_error_->setGeometry(317, 180, 102, 24);
    visible_nozzles_->setGeometry(210, 207, 102, 24);
    logged_status_->setGeometry(317, 207, 102, 24);
    show_errors_->setGeometry(210, 234, 102, 24);
    Place(rx_errors_head_, 210, 270);
    rx_errors_label_->setGeometry(330, 270, 80, 15);

    previous_->setGeometry(210, 390, 34, 25);
    next_->setGeometry(248, 390, 34, 25);
    close_->setGeometry(345, 390, 74, 25);
}

void TCL_detail::FastRefreshMore(const Pump_detail& detail)
{
    filling_price_->setText(QString::fromStdString(detail.price_text));
    const QString preset = QString::fromStdString(detail.preset_text);
    preset_volume_->setText(detail.preset_is_volume ? preset : kNoPreset);
    preset_amount_->setText(detail.preset_is_volume ? kNoPreset : preset);
}

void TCL_detail::SlowRefreshMore(const Pump_detail& detail)
{
    for (size_t i = 0; i < allowed_.size() && i < detail.nozzles.size(); ++i) {
        allowed_[i]->setChecked(detail.nozzles[i].allowed);
        unit_[i]->setText(QString::fromStdString(detail.nozzles[i].price_text));
    }
}
