#include "shell/tabout.h"

#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

// One release of the change log: its version, its date (empty for the first release) and its
// changes, each change possibly of several lines.
struct Release {
    const char* version;
    const char* date;
    std::vector<std::vector<const char*>> changes;
};

const std::vector<Release>& Releases()
{
    static const std::vector<Release> releases = {
        {"V1.2.8", "2026-12-08",
         {{"Zarn loops of up to 16 pumps and Current Loop loops", "of up to 8 pumps, each on its own serial line"},
          {"Communication view, pump logs and automatic fillings"},
          {"Error simulation and pump detail dialogs"},
          {"Configuration files: loading checks the whole file", "first and keeps the running loops when it is damaged"},
          {"The auto-save keeps the previous file as", "autosave.gcf.bak"},
          {"Spy port: records a loop's traffic into a ring of", "files; the control dialog lists the spy ports of", "every port name"},
          {"Mini view (Tiny, F8), About box and key-command help"}}},
    };
    return releases;
}

// A small emblem: a pump in the program's green.
QPixmap Logo()
{
    QPixmap logo(48, 48);
    logo.fill(Qt::transparent);
    QPainter painter(&logo);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x20, 0x80, 0x40));
    painter.drawRoundedRect(8, 6, 22, 38, 3, 3);
    painter.setBrush(Qt::white);
    painter.drawRect(12, 11, 14, 9);
    painter.setPen(QPen(QColor(0x20, 0x80, 0x40), 3));
    painter.setBrush(Qt::NoBrush);
    painter.drawLine(30, 18, 38, 18);
    painter.drawLine(38, 18, 38, 34);
    return logo;
}

}  // namespace

const char* const TAbout::kVersionText = "V1.2.8";

QString TAbout::ChangeLog()
{
    QStringList lines;
    lines << QStringLiteral("ChangeLog Gallion") << QString(21, QLatin1Char('-'));
    for (const Release& release : Releases()) {
        QString heading = QString::fromLatin1(release.version);
        if (*release.date)
            heading += QStringLiteral("     ") + QString::fromLatin1(release.date);
        lines << heading;
        for (const std::vector<const char*>& change : release.changes) {
            for (size_t i = 0; i < change.size(); ++i)
                lines << (i == 0 ? QStringLiteral(" * ") : QStringLiteral("     ")) + QString::fromLatin1(change[i]);
        }
    }
    return lines.join(QLatin1Char('\n'));
}

TAbout::TAbout(QWidget* parent) : TCentred_dialog(parent)
{
    setObjectName(QStringLiteral("About"));
    setWindowTitle(QStringLiteral("About"));
    setFixedSize(kWidth, kHeight);

    auto* title = new QLabel(QStringLiteral("Gallion"));
    title->setObjectName(QStringLiteral("ProductName"));
    QFont title_font = title->font();
    title_font.setStyleHint(QFont::SansSerif);
    title_font.setPixelSize(24);
    title_font.setBold(true);
    title->setFont(title_font);
    version_ = new QLabel(QString::fromLatin1(kVersionText));
    version_->setObjectName(QStringLiteral("Version"));
    auto* maker = new QLabel(QStringLiteral("Made by the Gallion developers, 2026"));
    maker->setObjectName(QStringLiteral("Copyright"));
    auto* logo = new QLabel;
    logo->setObjectName(QStringLiteral("ProgramIcon"));
    logo->setPixmap(Logo());

    auto* names = new QVBoxLayout;
    names->addWidget(title);
    names->addWidget(version_);
    names->addWidget(maker);
    auto* top = new QHBoxLayout;
    top->addWidget(logo, 0, Qt::AlignTop);
    top->addLayout(names, 1);

    change_log_ = new QPlainTextEdit;
    change_log_->setObjectName(QStringLiteral("ChangeLog"));
    change_log_->setReadOnly(true);
    change_log_->setLineWrapMode(QPlainTextEdit::NoWrap);
    change_log_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    change_log_->setPlainText(ChangeLog());

    ok_ = new QPushButton(QStringLiteral("OK"));
    ok_->setObjectName(QStringLiteral("OKButton"));
    ok_->setDefault(true);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ok_);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(change_log_, 1);
    layout->addLayout(buttons);
}
