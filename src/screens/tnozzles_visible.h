#pragma once
#include <QString>
#include <vector>

#include "screens/small_dialog.h"

class QListWidget;
class QPushButton;

// The visible-nozzles dialog: one check box per nozzle it covers ("Nozzle 1", ...). The Zarn and
// current-loop dialogs differ in their captions and the number of nozzles.
class TNozzles_visible : public TSmall_dialog {
    Q_OBJECT
public:
    int Nozzles() const;
    // Check marks from the flags (a flag missing from the list: unchecked).
    void Load(const std::vector<bool>& visible);
    // Runs the dialog on a pump's flags. True after the confirm button: the flags of the nozzles
    // the dialog covers are replaced by the check marks; flags beyond them (a Zarn pump's nozzles
    // 11-15) keep their values, and a shorter list grows to the dialog's nozzles.
    bool Edit(std::vector<bool>& visible);

    QListWidget* Boxes() const { return boxes_; }
    QPushButton* OkButton() const { return ok_; }
    QPushButton* CancelButton() const { return cancel_; }

protected:
    TNozzles_visible(const QString& caption, int nozzles, const QString& ok_caption);

private:
    QListWidget* boxes_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
};

// Zarn: nozzles 1-10 (the nozzles the page's digit keys reach).
class TZarn_nozzles_visible : public TNozzles_visible {
    Q_OBJECT
public:
    TZarn_nozzles_visible();
};

// Current loop: nozzles 1-5.
class TCL_nozzles_visible : public TNozzles_visible {
    Q_OBJECT
public:
    TCL_nozzles_visible();
};
