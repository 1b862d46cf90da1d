#pragma once
#include <QString>
#include <string>

#include "screens/small_dialog.h"

class QCheckBox;
class QFileDialog;
class QLineEdit;
class QPushButton;

// The pump-log dialog: the file name of a new pump log and whether it is interpreted text. It
// keeps the edit's text and the check mark from one use to the next.
class TLog_dialog : public TSmall_dialog {
    Q_OBJECT
public:
    TLog_dialog();
    // Runs the dialog; a non-empty `file_name` replaces the edit's text first (the pages propose
    // "Pump N.log"), an empty one leaves the text as it was. True after "OK" with a file name:
    // `file_name` and `interpreted` are then the chosen ones; otherwise both are left alone.
    bool Edit(std::string& file_name, bool& interpreted);

    QLineEdit* FileEdit() const { return edit_; }
    QCheckBox* InterpretedBox() const { return interpreted_; }
    QPushButton* BrowseButton() const { return browse_; }
    QPushButton* OkButton() const { return ok_; }
    QPushButton* CancelButton() const { return cancel_; }
    const QString& ChosenFileName() const { return chosen_; }

private:
    void Browse();
    void OkClicked();

    QLineEdit* edit_ = nullptr;
    QCheckBox* interpreted_ = nullptr;
    QPushButton* browse_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QString chosen_;
};
