#include "screens/formoutputregister.h"

#include <QHBoxLayout>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "screens/page_fonts.h"

namespace {

const char* const kFormats[TfZarnOutputRegister::kRegisters] = {
    "0x00=0x%s", "0x01=0x%s", "0x02=0x%s", "0x03=0x%s", "0x04=0x%s", "0x05=0x%s", "0x06=0x%s", "0x07=0x%s",
    "0x08=0x%s", "0x09=0x%s",
    "0x0A=0x%s: Master Red/Green functionality",
    "0x0B=0x%s: Master SB/BT functionality",
    "0x0C=0x%s: Back Light Control functionality",
    "0x0D=0x%s: Speak to Pump functionality",
    "0x0E=0x%s: Hose Leak Test functionality"};

}  // namespace

TfZarnOutputRegister::TfZarnOutputRegister(Pump_loop& loop, int position, QWidget* parent)
    : TCentred_dialog(parent), loop_(loop), position_(position)
{
    setWindowTitle(QStringLiteral("Output Registers"));
    setFont(page_fonts::Font(page_fonts::PointsToPixels(8)));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    resize(330, 330);

    list_ = new QListWidget(this);
    list_->setSelectionMode(QAbstractItemView::NoSelection);
    for (int i = 0; i < kRegisters; ++i) {
        auto* line = new QListWidgetItem(list_);
        // Shown, not edited: no user-checkable flag.
        line->setFlags(Qt::ItemIsEnabled);
        line->setCheckState(Qt::Unchecked);
    }
    close_ = new QPushButton(QStringLiteral("Close"), this);
    close_->setAutoDefault(false);
    connect(close_, &QPushButton::clicked, this, &QDialog::accept);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(close_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(list_);
    layout->addLayout(buttons);

    timer_ = new QTimer(this);
    timer_->setInterval(kPeriodMs);
    connect(timer_, &QTimer::timeout, this, &TfZarnOutputRegister::Refresh);
    timer_->start();
    Refresh();
}

QString TfZarnOutputRegister::LineText(int index, uint8_t value)
{
    if (index < 0 || index >= kRegisters)
        return QString();
    const QString digits = QStringLiteral("%1").arg(value, 2, 16, QLatin1Char('0')).toUpper();
    return QString::fromLatin1(kFormats[index]).replace(QStringLiteral("%s"), digits);
}

void TfZarnOutputRegister::Refresh()
{
    const std::vector<uint8_t> registers = loop_.OutputRegisters(position_);
    if (registers.size() < static_cast<size_t>(kRegisters))
        return;
    for (int i = 0; i < kRegisters; ++i) {
        const uint8_t value = registers[static_cast<size_t>(i)];
        QListWidgetItem* line = list_->item(i);
        const QString text = LineText(i, value);
        if (line->text() != text)
            line->setText(text);
        const Qt::CheckState mark = value == 0 ? Qt::Unchecked : value == 1 ? Qt::Checked : Qt::PartiallyChecked;
        if (line->checkState() != mark)
            line->setCheckState(mark);
    }
}
