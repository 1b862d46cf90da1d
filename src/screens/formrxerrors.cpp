#include "screens/formrxerrors.h"

#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QVBoxLayout>

#include "screens/page_fonts.h"

TfRXErrors::TfRXErrors(QWidget* parent) : TCentred_dialog(parent)
{
    setWindowTitle(QStringLiteral("View pump RX errors"));
    setFont(page_fonts::Font(page_fonts::PointsToPixels(8)));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    resize(520, 360);

    text_ = new QPlainTextEdit(this);
    text_->setLineWrapMode(QPlainTextEdit::NoWrap);
    text_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    text_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QFont fixed(QStringLiteral("Courier New"));
    fixed.setStyleHint(QFont::TypeWriter);
    fixed.setPixelSize(page_fonts::PointsToPixels(9));
    text_->setFont(fixed);

    close_ = new QPushButton(QStringLiteral("Close"), this);
    save_ = new QPushButton(QStringLiteral("Save..."), this);
    clear_ = new QPushButton(QStringLiteral("Clear"), this);
    for (QPushButton* button : {close_, save_, clear_})
        button->setAutoDefault(false);
    connect(close_, &QPushButton::clicked, this, &QDialog::accept);
    connect(save_, &QPushButton::clicked, this, &TfRXErrors::Save);
    connect(clear_, &QPushButton::clicked, text_, &QPlainTextEdit::clear);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(close_);
    buttons->addWidget(save_);
    buttons->addWidget(clear_);
    buttons->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text_);
    layout->addLayout(buttons);
}

void TfRXErrors::ShowPump(int key)
{
    if (key == key_)
        return;
    if (key_ >= 0)
        kept_[key_] = text_->toPlainText();
    key_ = key;
    const auto kept = kept_.find(key);
    text_->setPlainText(kept == kept_.end() ? QString() : kept->second);
    if (kept != kept_.end())
        kept_.erase(kept);
}

void TfRXErrors::Load(const std::vector<std::string>& lines)
{
    for (const std::string& line : lines)
        text_->appendPlainText(QString::fromStdString(line));
}

bool TfRXErrors::HasText(int key) const
{
    if (key == key_)
        return !text_->document()->isEmpty();
    const auto kept = kept_.find(key);
    return kept != kept_.end() && !kept->second.isEmpty();
}

QString TfRXErrors::SaveTo(const QString& file_name) const
{
    QSaveFile file(file_name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return file.errorString();
    QString text = text_->toPlainText();
    if (!text.isEmpty())
        text += QLatin1Char('\n');
    file.write(text.toLocal8Bit());
    if (!file.commit())
        return file.errorString();
    return QString();
}

void TfRXErrors::Save()
{
    QFileDialog dialog(this, QStringLiteral("Save"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilter(QStringLiteral("Textfile (*.txt)"));
    dialog.setDefaultSuffix(QStringLiteral("txt"));
    dialog.selectFile(QStringLiteral("Zarnpumperrors"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    const QString file_name = dialog.selectedFiles().first();
    const QString reason = SaveTo(file_name);
    if (!reason.isEmpty())
        QMessageBox::critical(this, QStringLiteral("Gallion"),
                              QStringLiteral("Cannot write \"") + file_name + QStringLiteral("\": ") + reason);
}
