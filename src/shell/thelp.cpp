#include "shell/thelp.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "screens/tloop.h"

namespace {

const QColor kPaleYellow(0xFF, 0xFF, 0xC0);
constexpr int kKeyListWidth = 112;

struct Command {
    const char* function;
    const char* key;
};

// The rows of the table, texts as shown (trailing blanks included). The flow key toggles between
// 0 and 40 l/min, which is what the pages do.
const Command kCommands[] = {
    {"New pump", "Insert"},
    {"Remove pump ", "Delete"},
    {"Add new loop ", "F2"},
    {"Remove loop", "F3"},
    {"Select and lift nozzle / Return nozzle", "1...0 (nozzle 1-10)"},
    {"Return nozzle", "\u00a7"},
    {"Increase flow (+10 l/min)", "Q"},
    {"Decrease flow (-10 l/min)", "A"},
    {"Toggle flow 0/ 40 l/min", "SPACE"},
    {"Detail view for the selected pump", "ENTER"},
    {"Start to log a pump's communication ", "L"},
    {"Abort a logging ", "K"},
    {"Start automatic activity (Normal)", "O"},
    {"Abort automatic activity", "P"},
    {"Filter communication display with selected pump", "D"},
    {"Help (this table) ", "F1"},
    {"Tiny view ", "F8"},
    {"Hide communication", "F7"},
    {"Change visible loop", "F5"},
};

QListWidget* NewList(const char* name)
{
    auto* list = new QListWidget;
    list->setObjectName(QString::fromLatin1(name));
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    QFont font = list->font();
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
    list->setFont(font);
    return list;
}

}  // namespace

int THelp::RowOfKey(int key)
{
    if (key >= Qt::Key_0 && key <= Qt::Key_9)
        return 4;
    switch (key) {
    case Qt::Key_Insert: return 0;
    case Qt::Key_Delete: return 1;
    case Qt::Key_F2: return 2;
    case Qt::Key_F3: return 3;
    case kSectionKey: return 5;
    case Qt::Key_Q: return 6;
    case Qt::Key_A: return 7;
    case Qt::Key_Space: return 8;
    case Qt::Key_Return: return 9;
    case Qt::Key_L: return 10;
    case Qt::Key_K: return 11;
    case Qt::Key_O: return 12;
    case Qt::Key_P: return 13;
    case Qt::Key_D: return 14;
    case Qt::Key_F1: return 15;
    case Qt::Key_F8: return 16;
    case Qt::Key_F7: return 17;
    case Qt::Key_F5: return 18;
    default: return -1;
    }
}

THelp::THelp(QWidget* parent) : TCentred_dialog(parent)
{
    setObjectName(QStringLiteral("Help"));
    // The caption is blank: a desktop shows the program's name for an empty one.
    setWindowTitle(QStringLiteral(" "));
    setFixedSize(kWidth, kHeight);
    QPalette yellow = palette();
    yellow.setColor(QPalette::Window, kPaleYellow);
    setPalette(yellow);
    setAutoFillBackground(true);

    auto* heading = new QLabel(QStringLiteral("Command help"));
    heading->setObjectName(QStringLiteral("Heading"));
    QFont heading_font = heading->font();
    heading_font.setStyleHint(QFont::SansSerif);
    heading_font.setPixelSize(24);
    heading_font.setBold(true);
    heading->setFont(heading_font);

    functions_ = NewList("FunctionList");
    keys_ = NewList("KeyList");
    for (const Command& command : kCommands) {
        functions_->addItem(QString::fromUtf8(command.function));
        keys_->addItem(QString::fromUtf8(command.key));
    }
    connect(functions_, &QListWidget::currentRowChanged, this, &THelp::SelectRow);
    connect(keys_, &QListWidget::currentRowChanged, this, &THelp::SelectRow);
    auto* lists = new QHBoxLayout;
    keys_->setFixedWidth(kKeyListWidth);
    lists->addWidget(functions_, 1);
    lists->addWidget(keys_);

    auto* hint = new QLabel(QStringLiteral("Press a key to highlight it's function"));
    hint->setObjectName(QStringLiteral("Hint"));
    close_ = new QPushButton(QStringLiteral("Close"));
    close_->setObjectName(QStringLiteral("bClose"));
    connect(close_, &QPushButton::clicked, this, &QDialog::reject);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(hint, 1);
    bottom->addWidget(close_);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(heading);
    layout->addLayout(lists, 1);
    layout->addLayout(bottom);

    // The dialog sees every key before its controls.
    for (QWidget* control : {static_cast<QWidget*>(functions_), static_cast<QWidget*>(keys_),
                             static_cast<QWidget*>(close_), static_cast<QWidget*>(this)})
        control->installEventFilter(this);
}

void THelp::SelectRow(int row)
{
    if (row < 0)
        return;
    for (QListWidget* list : {functions_, keys_}) {
        if (list->currentRow() != row)
            list->setCurrentRow(row);
    }
}

bool THelp::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::ShortcutOverride) {
        // No shortcut acts while the help has the keys: they come here as key presses.
        event->accept();
        return true;
    }
    if (event->type() != QEvent::KeyPress)
        return QDialog::eventFilter(watched, event);
    auto* key_event = static_cast<QKeyEvent*>(event);
    if (key_event->key() == Qt::Key_Escape) {
        close_->click();
        return true;
    }
    const int row = RowOfKey(PageKeyOf(*key_event));
    if (row >= 0)
        SelectRow(row);
    return true;  // every other key is swallowed
}
