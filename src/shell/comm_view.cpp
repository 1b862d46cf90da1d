#include "shell/comm_view.h"

#include <QAction>
#include <QClipboard>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QVBoxLayout>

#include "loops/pump_loop.h"
#include "screens/page_fonts.h"
#include "screens/tloop.h"

namespace {

const char* const kStop = "Stop";
const char* const kStart = "Start";
const char* const kStoppedLine = " *** Communication view stopped *** ";
const char* const kStartedLine = " *** Communication view started *** ";
const char* const kTraceToFile = "Trace to file...";
const char* const kStopTrace = "Stop trace";

constexpr int kButtonWidth = 48;
constexpr int kFilterFontPixels = 19;
constexpr int kViewFontPixels = 8;

// Whether every glyph of the face is as wide as any other: the hexadecimal columns line up. The
// face's fixed-pitch flag is not asked; some monospaced faces do not carry it.
bool Monospaced(const QFont& font)
{
    const QFontMetrics glyphs(font);
    const int width = glyphs.horizontalAdvance(QLatin1Char('M'));
    for (QChar glyph : QStringLiteral("il.:|W0<>* "))
        if (glyphs.horizontalAdvance(glyph) != width)
            return false;
    return width > 0;
}

// The view's face at the view's pixel size: the desktop's fixed font, else the first of the
// common monospaced faces that is monospaced here.
QFont ViewFont()
{
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setPixelSize(kViewFontPixels);
    if (Monospaced(fixed))
        return fixed;
    for (const char* family : {"DejaVu Sans Mono", "Liberation Mono", "Noto Sans Mono", "Noto Mono", "Courier New"}) {
        QFont font(QString::fromLatin1(family));
        font.setStyleHint(QFont::TypeWriter);
        font.setPixelSize(kViewFontPixels);
        if (Monospaced(font))
            return font;
    }
    return fixed;
}

}  // namespace

TCommPane::TCommPane(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("CommPane"));

    stop_start_ = new QPushButton(QString::fromLatin1(kStop));
    stop_start_->setObjectName(QStringLiteral("StopStartComm"));
    clear_ = new QPushButton(QStringLiteral("Clear"));
    clear_->setObjectName(QStringLiteral("ClearComm"));
    copy_ = new QPushButton(QStringLiteral("Copy"));
    copy_->setObjectName(QStringLiteral("CopyComm"));
    for (QPushButton* button : {stop_start_, clear_, copy_}) {
        button->setFixedWidth(kButtonWidth);
        // The keys belong to the main window and its pages, never to the pane's buttons.
        button->setFocusPolicy(Qt::NoFocus);
        button->setAutoDefault(false);
    }
    connect(stop_start_, &QPushButton::clicked, this, &TCommPane::StopStart);
    connect(clear_, &QPushButton::clicked, this, &TCommPane::Clear);
    connect(copy_, &QPushButton::clicked, this, &TCommPane::Copy);

    auto* filter_caption = new QLabel(QStringLiteral("Filter pump : "));
    filter_caption->setObjectName(QStringLiteral("FilterCaption"));
    filter_label_ = new QLabel(QStringLiteral("All"));
    filter_label_->setObjectName(QStringLiteral("filter_pump_label"));
    filter_label_->setFont(page_fonts::Font(kFilterFontPixels));

    auto* toolbar = new QHBoxLayout;
    toolbar->setContentsMargins(0, 0, 0, 0);
    toolbar->setSpacing(2);
    toolbar->addWidget(stop_start_);
    toolbar->addWidget(clear_);
    toolbar->addWidget(copy_);
    toolbar->addSpacing(6);
    toolbar->addWidget(filter_caption);
    toolbar->addWidget(filter_label_);
    toolbar->addStretch(1);

    view_ = new QPlainTextEdit;
    view_->setObjectName(QStringLiteral("CommView"));
    view_->setReadOnly(true);
    view_->setTextInteractionFlags(Qt::NoTextInteraction);
    view_->setFocusPolicy(Qt::NoFocus);
    view_->setUndoRedoEnabled(false);
    view_->setFont(ViewFont());
    view_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    view_->setContextMenuPolicy(Qt::CustomContextMenu);

    popup_ = new QMenu(this);
    popup_->setObjectName(QStringLiteral("CommPopup"));
    interpreted_item_ = popup_->addAction(QStringLiteral("Interpreted"));
    interpreted_item_->setCheckable(true);
    stop_item_ = popup_->addAction(QString::fromLatin1(kStop));
    clear_item_ = popup_->addAction(QStringLiteral("Clear"));
    copy_item_ = popup_->addAction(QStringLiteral("Copy"));
    popup_->addSeparator();
    trace_item_ = popup_->addAction(QString::fromLatin1(kTraceToFile));
    trace_item_->setObjectName(QStringLiteral("TraceItem"));
    connect(trace_item_, &QAction::triggered, this, &TCommPane::TraceOrStopTrace);
    connect(interpreted_item_, &QAction::triggered, this, &TCommPane::ToggleInterpreted);
    connect(stop_item_, &QAction::triggered, this, &TCommPane::StopStart);
    // The popup's "Clear" does what the button does.
    connect(clear_item_, &QAction::triggered, this, &TCommPane::Clear);
    connect(copy_item_, &QAction::triggered, this, &TCommPane::Copy);
    connect(popup_, &QMenu::aboutToShow, this, &TCommPane::PreparePopup);
    connect(view_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& where) { popup_->popup(view_->viewport()->mapToGlobal(where)); });

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->setSpacing(2);
    layout->addLayout(toolbar);
    layout->addWidget(view_, 1);
}

TCommPane::~TCommPane() = default;

void TCommPane::ChangePage(QStringList* leaving_history, Pump_loop* loop, const QStringList& arriving_history)
{
    if (leaving_history)
        *leaving_history = lines_;
    loop_ = loop;
    lines_ = arriving_history;
    Trim();
    shown_ = false;
    Show();
    if (loop_)
        SetCaptions(loop_->IsCommunicationOn());
}

void TCommPane::FollowPages(QTabWidget* pages)
{
    followed_page_ = qobject_cast<TLoop*>(pages->currentWidget());
    ChangePage(nullptr, followed_page_ ? &followed_page_->Loop() : nullptr,
               followed_page_ ? followed_page_->CommHistory : QStringList());
    connect(pages, &QTabWidget::currentChanged, this, [this, pages](int index) {
        TLoop* next = qobject_cast<TLoop*>(pages->widget(index));
        if (next == followed_page_)
            return;  // a tab before it went: still the same page
        // A page that is being removed is still alive here (its tab goes first); one that has gone
        // already has left a null pointer behind.
        TLoop* leaving = followed_page_;
        followed_page_ = next;
        ChangePage(leaving ? &leaving->CommHistory : nullptr, next ? &next->Loop() : nullptr,
                   next ? next->CommHistory : QStringList());
    });
}

void TCommPane::Drain()
{
    if (loop_) {
        for (;;) {
            const std::string text = loop_->FetchCommunicationText();
            if (text.empty())
                break;
            if (tap_)
                tap_(*loop_, text);
            // A text with line breaks takes as many lines of the view as it has.
            const QString lines = QString::fromLatin1(text.c_str()).remove(QLatin1Char('\r'));
            for (const QString& line : lines.split(QLatin1Char('\n')))
                AddLine(line);
            AddLine(QString());
        }
        const int address = loop_->GetFilterAddress();
        // Line addresses are pump number + 79 on both protocols.
        filter_label_->setText(address == 0 ? QStringLiteral("All") : QString::number(address - 79));
    }
    Trim();
    Show();
}

void TCommPane::StopStart()
{
    if (!loop_)
        return;
    if (stop_start_->text() == QLatin1String(kStop)) {
        // What was waiting is shown first: a feed switched off passes its waiting texts on to
        // the pump logs only.
        Drain();
        loop_->SetCommunicationOn(false);
        AddLine(QString::fromLatin1(kStoppedLine));
        SetCaptions(false);
    } else {
        loop_->SetCommunicationOn(true);
        Drain();
        AddLine(QString::fromLatin1(kStartedLine));
        SetCaptions(true);
    }
    Trim();
    Show();
}

void TCommPane::Clear()
{
    lines_.clear();
    shown_ = false;
    Show();
}

void TCommPane::ShowLines(const QStringList& lines)
{
    lines_ = lines;
    Trim();
    shown_ = false;
    Show();
}

void TCommPane::Copy()
{
    Show();
    QGuiApplication::clipboard()->setText(view_->toPlainText());
}

void TCommPane::PreparePopup()
{
    if (loop_)
        interpreted_item_->setChecked(loop_->GetInterpreted());
    interpreted_mark_ = interpreted_item_->isChecked();
    trace_item_->setText(QString::fromLatin1(loop_ && loop_->IsTracing() ? kStopTrace : kTraceToFile));
    trace_item_->setEnabled(loop_ != nullptr);
}

void TCommPane::TraceOrStopTrace()
{
    if (!loop_)
        return;
    if (loop_->IsTracing()) {
        loop_->StopTrace();
        return;
    }
    const QString file_name =
        QFileDialog::getSaveFileName(this, QString::fromLatin1(kTraceToFile), QString(),
                                     QStringLiteral("Trace files (*.jsonl);;All files (*)"));
    // The dialog is modal, but the active loop may have gone meanwhile (a signal ends the program).
    if (!file_name.isEmpty())
        StartTrace(file_name);
}

bool TCommPane::StartTrace(const QString& file_name)
{
    if (!loop_)
        return false;
    return loop_->StartTrace(file_name.toLocal8Bit().toStdString());
}

void TCommPane::ToggleInterpreted()
{
    // The item's own toggle is undone: the mark always tells the loop's state, set on opening.
    interpreted_item_->setChecked(interpreted_mark_);
    if (!loop_)
        return;
    loop_->SetInterpreted(!interpreted_mark_);
}

void TCommPane::AddLine(const QString& line)
{
    lines_.push_back(line);
    shown_ = false;
}

void TCommPane::Trim()
{
    if (lines_.size() > kMaxLines) {
        lines_.erase(lines_.begin(), lines_.begin() + (lines_.size() - kMaxLines));
        shown_ = false;
    }
}

void TCommPane::Show()
{
    if (shown_)
        return;
    view_->setPlainText(lines_.join(QLatin1Char('\n')));
    // The newest lines are the ones to see.
    view_->verticalScrollBar()->setValue(view_->verticalScrollBar()->maximum());
    shown_ = true;
}

void TCommPane::SetCaptions(bool feed_on)
{
    const QString caption = QString::fromLatin1(feed_on ? kStop : kStart);
    stop_start_->setText(caption);
    stop_item_->setText(caption);
}
