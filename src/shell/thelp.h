#pragma once
#include "screens/centred_dialog.h"

class QListWidget;
class QPushButton;

// The key-command help: a table of the keyboard commands, the function in the left list and its
// key in the right. Pressing a key of the table selects its row in both lists; every other key is
// swallowed, except Escape, which closes the window like "Close". Clicking a row in one list
// selects the same row in the other.
class THelp : public TCentred_dialog {
    Q_OBJECT
public:
    static constexpr int kWidth = 431;
    static constexpr int kHeight = 388;

    explicit THelp(QWidget* parent = nullptr);

    // The row of the table that a key selects; -1 for a key that is not in it.
    static int RowOfKey(int key);

    QListWidget* FunctionList() const { return functions_; }
    QListWidget* KeyList() const { return keys_; }
    QPushButton* CloseButton() const { return close_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void SelectRow(int row);

    QListWidget* functions_ = nullptr;
    QListWidget* keys_ = nullptr;
    QPushButton* close_ = nullptr;
};
