#pragma once
#include "screens/centred_dialog.h"

class QLabel;
class QLineEdit;
class QPushButton;

// "SpyPort settings": edits section SpyPort of the settings file (the recorder's file size, number
// of files and output folder). Every showing fills the fields from the file. "Save settings"
// writes them and closes only when the size is a whole number of at least 1 KiB, the number of
// files a whole number from 1 to 9999 and the output folder exists ("(default)" and an empty
// field are the current folder); otherwise a message says what is wrong, nothing is written and
// the dialog stays open. The values reach each spy port at its next recording run.
class TfSpyPortSettings : public TCentred_dialog {
    Q_OBJECT
public:
    static const char* const kNotIntegerText;
    static const char* const kOutOfRangeText;

    explicit TfSpyPortSettings(QWidget* parent = nullptr);

    // Shows the dialog modally; true when the settings were saved.
    bool Execute();

    QLineEdit* MaxFileSizeField() const { return max_file_size_; }
    QLineEdit* NumberOfFilesField() const { return number_of_files_; }
    QLineEdit* OutputDirectoryField() const { return output_directory_; }
    QPushButton* SaveButton() const { return save_; }
    QPushButton* CancelButton() const { return cancel_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void Fill();
    void Save();
    // The message for what is wrong with the fields, or an empty text when they can be saved.
    QString Problem() const;

    QLineEdit* max_file_size_ = nullptr;
    QLineEdit* number_of_files_ = nullptr;
    QLineEdit* output_directory_ = nullptr;
    QPushButton* save_ = nullptr;
    QPushButton* cancel_ = nullptr;
};
