#include "shell/formspyportsettings.h"

#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

#include "platform/settings.h"
#include "loops/spy_ports.h"
#include "shell/shell_messages.h"

namespace {

const char* const kExplanation =
    "SpyPort is enables the Gallion application to log all communication in a loop to a buf-file. This "
    "decreases the performance of the application. The file can be viewed using the Tarnby Interpreter. The "
    "settings will not be used until next loop creation.";

QLineEdit* AddField(QGridLayout* grid, int row, const char* label_name, const char* caption, const char* field_name)
{
    auto* label = new QLabel(QString::fromLatin1(caption));
    label->setObjectName(QString::fromLatin1(label_name));
    auto* field = new QLineEdit;
    field->setObjectName(QString::fromLatin1(field_name));
    grid->addWidget(label, row, 0);
    grid->addWidget(field, row, 1);
    return field;
}

// "(default)" and an empty folder both put the files in the current folder.
bool IsCurrentFolder(const QString& folder)
{
    return folder.isEmpty() || folder == QString::fromLatin1(Spy_settings::kDefaultDirectory);
}

}  // namespace

const char* const TfSpyPortSettings::kNotIntegerText =
    "The entered file size or number of files is \n not a valid integer value";
const char* const TfSpyPortSettings::kOutOfRangeText =
    "The file size must be at least 1024 bytes and the number of files from 1 to 9999";

TfSpyPortSettings::TfSpyPortSettings(QWidget* parent) : TCentred_dialog(parent)
{
    setObjectName(QStringLiteral("fSpyPortSettings"));
    setWindowTitle(QStringLiteral("SpyPort settings"));

    auto* explanation = new QLabel(QString::fromLatin1(kExplanation));
    explanation->setObjectName(QStringLiteral("Label1"));
    explanation->setWordWrap(true);

    auto* grid = new QGridLayout;
    max_file_size_ = AddField(grid, 0, "Label2", "Max file size", "eMaxFileSize");
    number_of_files_ = AddField(grid, 1, "Label3", "Max number of files", "eNumberOfFiles");
    output_directory_ = AddField(grid, 2, "Label4", "Output directory", "eOutputDirectory");

    save_ = new QPushButton(QStringLiteral("Save settings"));
    save_->setObjectName(QStringLiteral("bSave"));
    save_->setDefault(true);
    cancel_ = new QPushButton(QStringLiteral("Cancel"));
    cancel_->setObjectName(QStringLiteral("bCancel"));
    connect(save_, &QPushButton::clicked, this, &TfSpyPortSettings::Save);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(save_);
    buttons->addWidget(cancel_);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(explanation);
    layout->addLayout(grid);
    layout->addLayout(buttons);
    setFixedWidth(360);
}

bool TfSpyPortSettings::Execute()
{
    return exec() == QDialog::Accepted;
}

void TfSpyPortSettings::showEvent(QShowEvent* event)
{
    TCentred_dialog::showEvent(event);
    if (!event->spontaneous())
        Fill();
}

void TfSpyPortSettings::Fill()
{
    const Spy_settings_text settings = ReadSpySettingsText();
    max_file_size_->setText(QString::fromStdString(settings.max_file_size));
    number_of_files_->setText(QString::fromStdString(settings.number_of_files));
    output_directory_->setText(QString::fromStdString(settings.output_directory));
}

QString TfSpyPortSettings::Problem() const
{
    bool size_converts = false;
    bool count_converts = false;
    const qint64 size = max_file_size_->text().trimmed().toLongLong(&size_converts);
    const int count = number_of_files_->text().trimmed().toInt(&count_converts);
    if (!size_converts || !count_converts)
        return QString::fromLatin1(kNotIntegerText);
    // A smaller file would start a new file for almost every chunk; 0 files would never rotate and
    // fill the disk, and the index has four digits.
    if (size < Spy_settings::kMinFileSize || count < Spy_settings::kMinNumberOfFiles ||
        count > Spy_settings::kMaxNumberOfFiles)
        return QString::fromLatin1(kOutOfRangeText);
    const QString folder = output_directory_->text();
    if (!IsCurrentFolder(folder) && !QFileInfo(folder).isDir())
        return QStringLiteral("The output directory \"%1\" does not exist").arg(folder);
    return QString();
}

void TfSpyPortSettings::Save()
{
    const QString problem = Problem();
    if (!problem.isEmpty()) {
        shell_messages::Message(this, problem);
        return;
    }
    // The numbers as the recorder reads them back; the folder as entered.
    Spy_settings_text settings;
    settings.max_file_size = std::to_string(max_file_size_->text().trimmed().toLongLong());
    settings.number_of_files = std::to_string(number_of_files_->text().trimmed().toInt());
    settings.output_directory = output_directory_->text().toStdString();
    if (!WriteSpySettingsText(settings)) {
        shell_messages::Failure(this, QStringLiteral("Cannot write the settings file %1")
                                          .arg(QString::fromStdString(Settings::File())));
        return;
    }
    accept();
}
