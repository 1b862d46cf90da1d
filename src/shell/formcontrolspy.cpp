#include "shell/formcontrolspy.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

#include "platform/error.h"
#include "loops/spy_ports.h"
#include "shell/shell_messages.h"

TfControlSpy::TfControlSpy(QWidget* parent) : TCentred_dialog(parent)
{
    setObjectName(QStringLiteral("fControlSpy"));
    setWindowTitle(QStringLiteral("Control Spy ports"));

    existing_ = new QListWidget;
    existing_->setObjectName(QStringLiteral("lbExisting"));
    connect(existing_, &QListWidget::itemClicked, this, &TfControlSpy::ShowState);

    status_caption_ = new QLabel(QStringLiteral("The SpyPort is "));
    status_caption_->setObjectName(QStringLiteral("Label1"));
    status_ = new QLabel(QStringLiteral(" "));
    status_->setObjectName(QStringLiteral("lspyStatus"));
    auto* status = new QHBoxLayout;
    status->addWidget(status_caption_);
    status->addWidget(status_, 1);

    start_ = new QPushButton(QStringLiteral("Start"));
    start_->setObjectName(QStringLiteral("bStart"));
    stop_ = new QPushButton(QStringLiteral("Stop"));
    stop_->setObjectName(QStringLiteral("bStop"));
    close_ = new QPushButton(QStringLiteral("Close"));
    close_->setObjectName(QStringLiteral("Button1"));
    connect(start_, &QPushButton::clicked, this, [this] { Switch(true); });
    connect(stop_, &QPushButton::clicked, this, [this] { Switch(false); });
    connect(close_, &QPushButton::clicked, this, &QDialog::accept);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(start_);
    buttons->addWidget(stop_);
    buttons->addStretch(1);
    buttons->addWidget(close_);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(existing_, 1);
    layout->addLayout(status);
    layout->addLayout(buttons);
    resize(300, 260);
}

void TfControlSpy::Execute()
{
    exec();
}

void TfControlSpy::showEvent(QShowEvent* event)
{
    TCentred_dialog::showEvent(event);
    if (!event->spontaneous())
        Fill();
}

void TfControlSpy::Fill()
{
    existing_->clear();
    start_->setEnabled(false);
    stop_->setEnabled(false);
    status_caption_->hide();
    status_->setText(QStringLiteral(" "));
    // Every spy port of this user, whatever its port is named and whichever program runs it.
    for (const std::string& name : Spy_ports::ControlEventNames())
        existing_->addItem(QString::fromStdString(name));
}

QString TfControlSpy::SelectedEvent() const
{
    const QListWidgetItem* item = existing_->currentItem();
    return item ? item->text() : QString();
}

void TfControlSpy::ShowState()
{
    const QString name = SelectedEvent();
    if (name.isEmpty())
        return;
    bool exists = false;
    const bool running = Spy_ports::IsRecording(name.toStdString(), exists);
    if (!exists) {
        status_->setText(QStringLiteral(" "));
        start_->setEnabled(false);
        stop_->setEnabled(false);
        shell_messages::Failure(this, QStringLiteral("Not a valid spyobject"));
        return;
    }
    status_->setText(running ? QStringLiteral("running") : QStringLiteral("stopped"));
    stop_->setEnabled(running);
    start_->setEnabled(!running);
}

void TfControlSpy::Switch(bool on)
{
    const QString name = SelectedEvent();
    if (name.isEmpty())
        return;
    try {
        Spy_ports::SetRecording(name.toStdString(), on);
    } catch (const Gallion_error& error) {
        shell_messages::Failure(this, QString::fromStdString(error.what()));
        return;
    }
    ShowState();
}
