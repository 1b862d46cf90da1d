#include "shell/loop_holder.h"

#include <QTabBar>

#include "screens/tloop.h"

namespace {

class Fixed_width_tabs : public QTabBar {
public:
    explicit Fixed_width_tabs(QWidget* parent) : QTabBar(parent)
    {
        // Every tab is 111 pixels wide, so four stand side by side; a longer caption keeps its
        // beginning (the port's kind) and its end (the device and the protocol), the middle gives
        // way. The whole caption is the tab's tool tip.
        setElideMode(Qt::ElideMiddle);
        setUsesScrollButtons(true);
        setFocusPolicy(Qt::NoFocus);
    }

protected:
    QSize tabSizeHint(int index) const override
    {
        return {TLoopHolder::kTabWidth, QTabBar::tabSizeHint(index).height()};
    }
};

}  // namespace

TLoopHolder::TLoopHolder(QWidget* parent) : QTabWidget(parent)
{
    setObjectName(QStringLiteral("LoopHolder"));
    setTabBar(new Fixed_width_tabs(this));
    setTabPosition(QTabWidget::South);
    setFocusPolicy(Qt::NoFocus);
    connect(this, &QTabWidget::currentChanged, this, &TLoopHolder::CurrentChanged);
}

TLoopHolder::~TLoopHolder()
{
    RemoveAllPages();
}

void TLoopHolder::AddPage(std::unique_ptr<TLoop> page)
{
    TLoop* raw = page.release();
    const int index = addTab(raw, raw->Caption());
    setTabToolTip(index, raw->Caption());
    setCurrentIndex(index);
}

void TLoopHolder::RemovePage(TLoop* page)
{
    const int index = indexOf(page);
    if (index < 0)
        return;
    if (current_ == page)
        current_ = nullptr;
    removeTab(index);
    delete page;
}

void TLoopHolder::RemoveAllPages()
{
    while (TLoop* page = ActivePage())
        RemovePage(page);
}

TLoop* TLoopHolder::ActivePage() const
{
    return qobject_cast<TLoop*>(currentWidget());
}

TLoop* TLoopHolder::Page(int index) const
{
    return qobject_cast<TLoop*>(widget(index));
}

void TLoopHolder::CurrentChanged(int index)
{
    TLoop* next = Page(index);
    if (next == current_)
        return;
    if (current_)
        current_->PageHide();
    current_ = next;
    if (next)
        next->PageShow();
}
