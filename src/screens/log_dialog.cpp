#include "screens/log_dialog.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

TLog_dialog::TLog_dialog()
{
    setWindowTitle(QStringLiteral("New logging"));
    auto* frame = new QGroupBox(this);
    edit_ = new QLineEdit(frame);
    edit_->setObjectName(QStringLiteral("Edit1"));
    edit_->setMinimumWidth(260);
    browse_ = new QPushButton(QStringLiteral("Bläddra..."), frame);
    browse_->setAutoDefault(false);
    interpreted_ = new QCheckBox(QStringLiteral("Interpreted"), frame);
    interpreted_->setChecked(true);
    ok_ = new QPushButton(QStringLiteral("OK"), this);
    ok_->setDefault(true);
    cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
    cancel_->setAutoDefault(false);

    auto* name_row = new QHBoxLayout;
    name_row->addWidget(edit_);
    name_row->addWidget(browse_);
    auto* inside = new QVBoxLayout(frame);
    inside->addWidget(new QLabel(QStringLiteral("Select file for logging"), frame));
    inside->addLayout(name_row);
    inside->addWidget(interpreted_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok_);
    buttons->addWidget(cancel_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(frame);
    layout->addLayout(buttons);

    connect(browse_, &QPushButton::clicked, this, &TLog_dialog::Browse);
    connect(ok_, &QPushButton::clicked, this, &TLog_dialog::OkClicked);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
}

bool TLog_dialog::Edit(std::string& file_name, bool& interpreted)
{
    if (!file_name.empty())
        edit_->setText(QString::fromStdString(file_name));
    if (!Run() || chosen_.isEmpty())
        return false;
    file_name = chosen_.toStdString();
    interpreted = interpreted_->isChecked();
    return true;
}

void TLog_dialog::Browse()
{
    // A save dialog: its purpose is naming the file the log is written to, usually a new one.
    // The log replaces an existing file, so picking one asks first.
    QFileDialog files(this, QStringLiteral("Select file for logging"), edit_->text());
    files.setAcceptMode(QFileDialog::AcceptSave);
    files.setFileMode(QFileDialog::AnyFile);
    files.setNameFilters({QStringLiteral("Log files (*.log)"), QStringLiteral("All files (*)")});
    files.setOption(QFileDialog::DontUseNativeDialog, true);
    if (files.exec() != QDialog::Accepted || files.selectedFiles().isEmpty())
        return;
    edit_->setText(files.selectedFiles().front());
}

void TLog_dialog::OkClicked()
{
    chosen_ = edit_->text();
    accept();
}
