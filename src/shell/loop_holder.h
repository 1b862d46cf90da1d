#pragma once
#include <QPointer>
#include <QTabWidget>
#include <memory>

class TLoop;

// The tab control `LoopHolder`: one tab per loop page, tabs at the bottom, 111 pixels each (a
// longer caption elided in the middle, whole in the tab's tool tip). It owns its pages. A page is told it is hidden (PageHide) and shown (PageShow) when the current
// tab changes, and only then: a window minimised or covered does not touch the pages.
class TLoopHolder : public QTabWidget {
    Q_OBJECT
public:
    static constexpr int kTabWidth = 111;

    explicit TLoopHolder(QWidget* parent);
    ~TLoopHolder() override;

    // Adds the page as the last tab and makes it the current one.
    void AddPage(std::unique_ptr<TLoop> page);
    // Destroys the page (its loop stops, its port closes) without running its PageHide.
    void RemovePage(TLoop* page);
    void RemoveAllPages();
    TLoop* ActivePage() const;
    TLoop* Page(int index) const;

private:
    void CurrentChanged(int index);

    QPointer<TLoop> current_;
};
