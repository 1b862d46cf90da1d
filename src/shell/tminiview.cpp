#include "shell/tminiview.h"

#include <QListWidget>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "screens/tloop.h"

namespace {

constexpr int kButtonPanelHeight = 39;
const QColor kTooltipYellow(0xFF, 0xFF, 0xE1);

// Lines no wider than the list: the list's own eliding then cuts a long title in its middle
// instead of leaving its end behind a scroll bar.
class Fit_width_delegate : public QStyledItemDelegate {
public:
    explicit Fit_width_delegate(QListWidget* list) : QStyledItemDelegate(list), list_(list) {}

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        size.setWidth(std::min(size.width(), list_->viewport()->width()));
        return size;
    }

private:
    QListWidget* list_;
};

// The loop's title line (whole in its tool tip), then one line per pump: its number, a blank and
// its state.
void AddLoopLines(QListWidget* list, const Pump_loop& loop)
{
    const QString title = QString::fromStdString(loop.Title());
    list->addItem(title);
    list->item(list->count() - 1)->setToolTip(title);
    for (int position = 0; position < loop.Positions(); ++position) {
        if (!loop.HasPump(position))
            continue;
        list->addItem(QString::number(loop.PumpNumberOf(position)) + QLatin1Char(' ') +
                      QString::fromStdString(loop.MiniViewStatusText(position)));
    }
}

}  // namespace

TMiniView::TMiniView(QWidget* parent) : TCentred_dialog(parent)
{
    setObjectName(QStringLiteral("MiniView"));
    setWindowTitle(QStringLiteral("Gallion"));
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    setFixedSize(kWidth, kHeight);
    QPalette yellow = palette();
    yellow.setColor(QPalette::Window, kTooltipYellow);
    yellow.setColor(QPalette::Base, kTooltipYellow);
    setPalette(yellow);
    setAutoFillBackground(true);

    listbox_ = new QListWidget;
    listbox_->setObjectName(QStringLiteral("Listbox"));
    listbox_->setFocusPolicy(Qt::NoFocus);
    listbox_->setTextElideMode(Qt::ElideMiddle);
    listbox_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    listbox_->setItemDelegate(new Fit_width_delegate(listbox_));
    large_mode_ = new QPushButton(QStringLiteral("Large mode"));
    large_mode_->setObjectName(QStringLiteral("LargeMode"));
    connect(large_mode_, &QPushButton::clicked, this, &QDialog::accept);
    auto* panel = new QWidget;
    panel->setFixedHeight(kButtonPanelHeight);
    auto* panel_layout = new QHBoxLayout(panel);
    panel_layout->setContentsMargins(4, 4, 4, 4);
    panel_layout->addWidget(large_mode_);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(listbox_, 1);
    layout->addWidget(panel);

    timer_ = new QTimer(this);
    timer_->setInterval(kRefreshMs);
    connect(timer_, &QTimer::timeout, this, &TMiniView::RefreshMiniView);
}

void TMiniView::ShowMiniView(TLoop* first)
{
    chain_head_ = first;
    RefreshMiniView();
    timer_->start();
    exec();
    timer_->stop();
    chain_head_ = nullptr;
}

void TMiniView::RefreshMiniView()
{
    listbox_->clear();
    for (TLoop* page = chain_head_; page; page = page->MiniViewNext)
        AddLoopLines(listbox_, page->Loop());
}
