#include "screens/tcl_number_of_decimals_setup.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>

namespace {

// The loop takes 0-8 decimals; the spin box holds its value within them.
QSpinBox* DecimalsBox(const QString& name, QWidget* parent)
{
    auto* box = new QSpinBox(parent);
    box->setObjectName(name);
    box->setRange(0, 8);
    box->setWrapping(false);
    box->setValue(0);
    box->setFixedWidth(60);
    return box;
}

}  // namespace

TCL_Number_of_decimals_setup::TCL_Number_of_decimals_setup()
{
    setWindowTitle(QStringLiteral("Number of decimals in the loop"));
    amount_ = DecimalsBox(QStringLiteral("Amount"), this);
    volume_ = DecimalsBox(QStringLiteral("Volume"), this);
    price_ = DecimalsBox(QStringLiteral("Price"), this);
    ok_ = new QPushButton(QStringLiteral("bOK"), this);
    ok_->setDefault(true);
    cancel_ = new QPushButton(QStringLiteral("Cancel"), this);

    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel(QStringLiteral("Amount"), this), 0, 0);
    grid->addWidget(amount_, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("Volume"), this), 1, 0);
    grid->addWidget(volume_, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("Price"), this), 2, 0);
    grid->addWidget(price_, 2, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(ok_);
    buttons->addWidget(cancel_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addLayout(buttons);

    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
}

void TCL_Number_of_decimals_setup::Load(const Loop_decimals& decimals)
{
    volume_->setValue(decimals.volume);
    amount_->setValue(decimals.amount);
    price_->setValue(decimals.price);
}

bool TCL_Number_of_decimals_setup::Edit(Loop_decimals& decimals)
{
    Load(decimals);
    if (!Run())
        return false;
    // A text typed and not yet taken by the spin boxes counts as their value.
    for (QSpinBox* box : {volume_, amount_, price_})
        box->interpretText();
    decimals.volume = volume_->value();
    decimals.amount = amount_->value();
    decimals.price = price_->value();
    return true;
}
