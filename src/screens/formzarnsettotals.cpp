#include "screens/formzarnsettotals.h"

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include "screens/page_fonts.h"

TfZarnSetTotals::TfZarnSetTotals(Pump_loop& loop, int position, int nozzle, QWidget* parent)
    : TCentred_dialog(parent), loop_(loop), position_(position), nozzle_(nozzle)
{
    setWindowTitle(QStringLiteral("Set totals for pump"));
    setFont(page_fonts::Font(page_fonts::PointsToPixels(8)));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setFixedSize(290, 184);

    QFont bold = font();
    bold.setBold(true);
    pump_label_ = new QLabel(QStringLiteral("Totals for pump ") + QString::number(loop.PumpNumberOf(position)), this);
    pump_label_->setFont(bold);
    pump_label_->setGeometry(10, 10, 270, 16);
    auto* nozzle_head = new QLabel(QStringLiteral("Nozzle"), this);
    nozzle_head->setGeometry(10, 34, 60, 16);
    nozzle_label_ = new QLabel(QString::number(nozzle), this);
    nozzle_label_->setFont(bold);
    nozzle_label_->setGeometry(60, 34, 60, 16);

    const char* const heads[] = {"New Total volume", "New Total Amount", "New Number of Fillings"};
    QLineEdit** edits[] = {&volume_, &amount_, &fillings_};
    for (int i = 0; i < 3; ++i) {
        auto* head = new QLabel(QString::fromLatin1(heads[i]), this);
        head->setGeometry(10, 63 + 26 * i, 140, 16);
        *edits[i] = new QLineEdit(this);
        (*edits[i])->setGeometry(150, 60 + 26 * i, 130, 21);
    }

    // The nozzle's present totals, as the pump shows them.
    Pump_detail detail;
    if (loop.GetPumpDetail(position, detail) && nozzle >= 1 && nozzle <= static_cast<int>(detail.nozzles.size())) {
        const Nozzle_detail& shown = detail.nozzles[static_cast<size_t>(nozzle - 1)];
        volume_->setText(QString::fromStdString(shown.volume_total_text));
        amount_->setText(QString::fromStdString(shown.amount_total_text));
        fillings_->setText(QString::fromStdString(shown.fillings_text));
    }

    ok_ = new QPushButton(QStringLiteral("Ok"), this);
    ok_->setGeometry(110, 146, 80, 26);
    ok_->setDefault(true);
    cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
    cancel_->setGeometry(200, 146, 80, 26);
    cancel_->setAutoDefault(false);
    connect(ok_, &QPushButton::clicked, this, &TfZarnSetTotals::Ok);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
}

void TfZarnSetTotals::Ok()
{
    const std::string refused = loop_.SetTotalsFromText(position_, nozzle_, volume_->text().toStdString(),
                                                        amount_->text().toStdString(),
                                                        fillings_->text().toStdString());
    if (refused.empty()) {
        accept();
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Gallion"), QString::fromStdString(refused), QMessageBox::Ok,
                    this);
    box.exec();
}
