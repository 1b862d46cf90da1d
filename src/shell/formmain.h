#pragma once
#include <QMainWindow>
#include <memory>
#include <string>
#include <vector>

#include "screens/page_dialogs.h"

class QKeyEvent;
class QLabel;
class QTimer;
class TLoop;
class TLoopHolder;

// The main window: the tab control `LoopHolder` with one page per loop, the version panel, the
// pump refresh timer (1000 ms, the active page only) and the keys: every key pressed anywhere in
// the window goes first to the active page's HandleKey, then to the window's own keys.
class TfMain : public QMainWindow {
    Q_OBJECT
public:
    static constexpr int kRefreshMs = 1000;

    explicit TfMain(std::unique_ptr<Page_dialogs> dialogs = std::make_unique<Page_dialogs>());
    ~TfMain() override;

    TLoopHolder* LoopHolder() const { return loop_holder_; }
    TLoop* ActivePage() const;
    Page_dialogs& Dialogs() { return *dialogs_; }
    QTimer* Timer() const { return timer_; }

    // Adds a page as the last tab and makes it active.
    void AddPage(std::unique_ptr<TLoop> page);
    // Every loop of a configuration file becomes a loaded-loop page; returns the errors.
    std::vector<std::string> LoadConfiguration(const std::string& file_name);

    // The window's key preview: true when the key was used (it is then consumed).
    bool PreviewKey(QWidget* receiver, QKeyEvent* event);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    bool FunctionKey(int key);
    void Tick();

    std::unique_ptr<Page_dialogs> dialogs_;
    TLoopHolder* loop_holder_;
    QLabel* version_;
    QTimer* timer_;
};
