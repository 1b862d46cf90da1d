#include "screens/tnozzles_visible.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

TNozzles_visible::TNozzles_visible(const QString& caption, int nozzles, const QString& ok_caption)
{
    setWindowTitle(caption);
    auto* heading = new QLabel(QStringLiteral("Select visible nozzles"), this);
    boxes_ = new QListWidget(this);
    boxes_->setObjectName(QStringLiteral("nozzle_boxes"));
    boxes_->setSelectionMode(QAbstractItemView::NoSelection);
    for (int n = 1; n <= nozzles; ++n) {
        auto* item = new QListWidgetItem(QStringLiteral("Nozzle %1").arg(n), boxes_);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Unchecked);
    }
    boxes_->setFixedSize(150, boxes_->sizeHintForRow(0) * nozzles + 2 * boxes_->frameWidth() + 4);
    ok_ = new QPushButton(ok_caption, this);
    ok_->setDefault(true);
    cancel_ = new QPushButton(QStringLiteral("Cancel"), this);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(ok_);
    buttons->addWidget(cancel_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(heading);
    layout->addWidget(boxes_);
    layout->addLayout(buttons);

    // Esc rejects as Cancel does (QDialog's own key).
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
}

int TNozzles_visible::Nozzles() const
{
    return boxes_->count();
}

void TNozzles_visible::Load(const std::vector<bool>& visible)
{
    for (int n = 0; n < Nozzles(); ++n) {
        const bool on = static_cast<size_t>(n) < visible.size() && visible[static_cast<size_t>(n)];
        boxes_->item(n)->setCheckState(on ? Qt::Checked : Qt::Unchecked);
    }
}

bool TNozzles_visible::Edit(std::vector<bool>& visible)
{
    Load(visible);
    if (!Run())
        return false;
    if (visible.size() < static_cast<size_t>(Nozzles()))
        visible.resize(static_cast<size_t>(Nozzles()), false);
    for (int n = 0; n < Nozzles(); ++n)
        visible[static_cast<size_t>(n)] = boxes_->item(n)->checkState() == Qt::Checked;
    return true;
}

TZarn_nozzles_visible::TZarn_nozzles_visible()
    : TNozzles_visible(QStringLiteral("Select visible nozzles"), 10, QStringLiteral("Ok"))
{
}

TCL_nozzles_visible::TCL_nozzles_visible()
    : TNozzles_visible(QStringLiteral("CL_nozzles_visible"), 5, QStringLiteral("OK"))
{
}
