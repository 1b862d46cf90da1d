#pragma once
#include "screens/centred_dialog.h"

class QListWidget;
class QPushButton;
class QTimer;
class TLoop;

// The mini view that stands in for the main window after "Tiny" (F8): a small window on top of
// the others listing every loop (its title) and each of its pumps as "number state", refreshed
// every 3 s while it is open. "Large mode" closes it; the main window then shows itself again.
class TMiniView : public TCentred_dialog {
    Q_OBJECT
public:
    static constexpr int kRefreshMs = 3000;
    static constexpr int kWidth = 153;
    static constexpr int kHeight = 268;

    explicit TMiniView(QWidget* parent = nullptr);

    // Lists the chain of pages that starts at `first` (linked through MiniViewNext; null: no loop)
    // and runs the window modally until it is closed.
    void ShowMiniView(TLoop* first);
    void RefreshMiniView();

    QListWidget* Listbox() const { return listbox_; }
    QPushButton* LargeModeButton() const { return large_mode_; }
    QTimer* Timer() const { return timer_; }

private:
    QListWidget* listbox_ = nullptr;
    QPushButton* large_mode_ = nullptr;
    QTimer* timer_ = nullptr;
    TLoop* chain_head_ = nullptr;
};
