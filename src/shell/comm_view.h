#pragma once
#include <functional>
#include <string>
#include <QPointer>
#include <QStringList>
#include <QWidget>

class Pump_loop;
class QTabWidget;
class TLoop;
class QAction;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;

// The communication pane: the line traffic of the active loop as text in the view `CommView`
// (read-only, fixed pitch, takes neither focus nor selection, at most 55 lines), the toolbar
// (`StopStartComm`, `ClearComm`, `CopyComm`, "Filter pump : " and `filter_pump_label`) and the
// popup menu `CommPopup`.
//
// The main window owns the 200 ms timer and calls Drain on every tick, and tells the pane about
// every change of the active page through ChangePage; the pane never keeps a page, only the
// active loop, which it reaches through the loop layer.
class TCommPane : public QWidget {
    Q_OBJECT
public:
    static constexpr int kMaxLines = 55;
    static constexpr int kDrainMs = 200;  // the period of the main window's drain timer

    explicit TCommPane(QWidget* parent = nullptr);
    ~TCommPane() override;

    // The active loop changes (a tab click, F5, a loop removed or added): the view's lines go into
    // the leaving page's history (null when that page is gone), the view shows the arriving page's
    // history, and the Stop/Start captions show whether the arriving loop's feed is on. loop is
    // null when no page is left. So one loop's lines are never shown, kept or copied under another.
    void ChangePage(QStringList* leaving_history, Pump_loop* loop, const QStringList& arriving_history);
    Pump_loop* Loop() const { return loop_; }

    // Follows the active page of a tab control of loop pages (the main window's LoopHolder): every
    // change of its current page (a click, F5, a page added or removed) runs ChangePage with the
    // pages' CommHistory lists. Call it once, after the tab control's own page handling is
    // connected (so an arriving page has its feed state back before the captions read it).
    void FollowPages(QTabWidget* pages);

    // One tick of the drain: every text the active loop's feed has waiting becomes a line followed
    // by an empty line; the filter label shows the feed's pump; then the oldest lines are dropped
    // until at most kMaxLines remain.
    void Drain();
    // "Stop" switches the active loop's feed off, shows what was still waiting and notes it;
    // "Start" switches it on again. Nothing without an active loop.
    void StopStart();
    void Clear();
    void Copy();  // the whole text to the clipboard (an empty view gives an empty text)
    // Sets the popup's "Interpreted" mark from the active loop, as when the menu opens, and the
    // trace item's caption: "Stop trace" while the active loop traces, else "Trace to file...".
    void PreparePopup();
    // The trace item: while the active loop traces, stops its trace; otherwise asks for a file
    // and starts the loop's wire trace into it.
    void TraceOrStopTrace();
    // Starts the active loop's wire trace into the file (raises Gallion_error with the reason
    // when the file cannot be used). False without an active loop or when it traces already.
    bool StartTrace(const QString& file_name);

    const QStringList& Lines() const { return lines_; }
    // The view shows these lines (the newest kMaxLines of them) in place of its own.
    void ShowLines(const QStringList& lines);

    // Every text the pane takes from a loop's feed is also handed to the tap (the control
    // socket's traffic lines); an empty tap: nobody.
    using Text_tap = std::function<void(const Pump_loop& loop, const std::string& text)>;
    void SetTextTap(Text_tap tap) { tap_ = std::move(tap); }

    // Controls, for tests and the screenshots.
    QPlainTextEdit* View() const { return view_; }
    QPushButton* StopStartButton() const { return stop_start_; }
    QPushButton* ClearButton() const { return clear_; }
    QPushButton* CopyButton() const { return copy_; }
    QLabel* FilterLabel() const { return filter_label_; }
    QMenu* Popup() const { return popup_; }
    QAction* InterpretedItem() const { return interpreted_item_; }
    QAction* StopItem() const { return stop_item_; }
    QAction* ClearItem() const { return clear_item_; }
    QAction* CopyItem() const { return copy_item_; }
    QAction* TraceItem() const { return trace_item_; }

private:
    void AddLine(const QString& line);
    void Trim();
    void Show();  // puts the lines into the view when they changed
    void SetCaptions(bool feed_on);
    void ToggleInterpreted();

    Text_tap tap_;
    Pump_loop* loop_ = nullptr;
    QPointer<TLoop> followed_page_;  // the page FollowPages last saw as active
    QStringList lines_;
    bool shown_ = true;  // the view shows lines_
    bool interpreted_mark_ = false;  // the mark the popup showed when it opened

    QPlainTextEdit* view_ = nullptr;
    QPushButton* stop_start_ = nullptr;
    QPushButton* clear_ = nullptr;
    QPushButton* copy_ = nullptr;
    QLabel* filter_label_ = nullptr;
    QMenu* popup_ = nullptr;
    QAction* interpreted_item_ = nullptr;
    QAction* stop_item_ = nullptr;
    QAction* clear_item_ = nullptr;
    QAction* copy_item_ = nullptr;
    QAction* trace_item_ = nullptr;
};
