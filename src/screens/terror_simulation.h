#pragma once
#include <QString>
#include <vector>

#include "loops/pump_loop.h"
#include "screens/small_dialog.h"

class QLineEdit;
class QListWidget;
class QPushButton;

// The error-simulation dialog of one protocol: chooses the error code and the count that the
// forecourt keeps for a pump ("Commit error" then applies them). TZarn_Errors and TCL_Errors give
// it their rows.
class TError_simulation : public TSmall_dialog {
    Q_OBJECT
public:
    // Shows the first row that stands for `code` (no row selected when none does: a choice left
    // from another pump is never offered as this pump's), and the count when above 0, else 1.
    void Load(int code, int count);
    // Runs the dialog on a pump's stored code and count. True after "Ok" with a row chosen and a
    // whole number as count: code and count are then updated (a heading row keeps the code).
    // Otherwise false and both are left as they were.
    bool Edit(int& code, int& count);

    QListWidget* List() const { return list_; }
    QLineEdit* CountEdit() const { return count_edit_; }
    QPushButton* OkButton() const { return ok_; }
    QPushButton* CancelButton() const { return cancel_; }
    // The message shown when the count is not a whole number.
    static QString CountNotValidText(const QString& text);

protected:
    // `count_prefix`: the caption before the count edit ("" for none).
    TError_simulation(const std::vector<Error_choice>& choices, const QString& count_prefix);

private:
    void OkClicked();

    std::vector<Error_choice> choices_;
    QListWidget* list_ = nullptr;
    QLineEdit* count_edit_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
    int code_in_ = 0;
    int code_out_ = 0;
    int count_out_ = 0;
};
