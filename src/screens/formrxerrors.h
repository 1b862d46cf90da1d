#pragma once
#include "screens/centred_dialog.h"
#include <QString>
#include <map>
#include <string>
#include <vector>

class QPlainTextEdit;
class QPushButton;

// "View pump RX errors": the receive-error lines taken out of a pump, kept here once taken (the
// pump no longer holds them). The text is kept per pump: the dialog shows one pump's text at a
// time, so the errors of one pump never appear under another. "Save..." writes the shown text to
// a text file, "Clear" empties it.
class TfRXErrors : public TCentred_dialog {
    Q_OBJECT
public:
    explicit TfRXErrors(QWidget* parent);

    // Shows the text kept for the pump `key` (its position in the loop).
    void ShowPump(int key);
    int ShownPump() const { return key_; }
    // Appends the lines to the shown pump's text.
    void Load(const std::vector<std::string>& lines);
    // Whether text is kept for the pump.
    bool HasText(int key) const;
    // Writes the shown text, one line each; the reason when it cannot ("" when written).
    QString SaveTo(const QString& file_name) const;

    QPlainTextEdit* Text() const { return text_; }
    QPushButton* SaveButton() const { return save_; }
    QPushButton* ClearButton() const { return clear_; }
    QPushButton* CloseButton() const { return close_; }

private:
    void Save();

    QPlainTextEdit* text_;
    QPushButton* close_;
    QPushButton* save_;
    QPushButton* clear_;
    int key_ = -1;
    std::map<int, QString> kept_;  // of the pumps not shown
};
