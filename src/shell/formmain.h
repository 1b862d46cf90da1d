#pragma once
#include <QMainWindow>
#include <QPointer>
#include <memory>
#include <string>
#include <vector>

#include "screens/page_dialogs.h"

class QAction;
class QKeyEvent;
class QLabel;
class QMenu;
class QTimer;
class TAddLoop;
class TCommPane;
class TLoop;
class TLoopHolder;
class TfConfig;
class TAbout;
class THelp;
class TMiniView;
class TfControlSpy;
class TfSpyPortSettings;

// The main window: the tab control `LoopHolder` with one page per loop, the communication pane to
// its right, the menus, the status bar with the version panel, the pump refresh timer (1000 ms,
// the active page only) and the communication timer (200 ms). Every key pressed anywhere in the
// window goes first to the active page's HandleKey, then to the window's own keys (F1, F2, F3,
// F5, F7, F8), each press acting once.
class TfMain : public QMainWindow {
    Q_OBJECT
public:
    static constexpr int kRefreshMs = 1000;
    static constexpr int kWidth = 753;        // with the communication pane
    static constexpr int kNarrowWidth = 475;  // without it
    static constexpr int kHeight = 580;
    static constexpr const char* kAutoSaveFileName = "autosave.gcf";

    explicit TfMain(std::unique_ptr<Page_dialogs> dialogs = std::make_unique<Page_dialogs>());
    ~TfMain() override;

    TLoopHolder* LoopHolder() const { return loop_holder_; }
    TLoop* ActivePage() const;
    Page_dialogs& Dialogs() { return *dialogs_; }
    QTimer* Timer() const { return timer_; }
    QTimer* CommTimer() const { return comm_timer_; }
    TCommPane* CommPane() const { return comm_; }
    TAddLoop* AddLoopDialog() const { return add_loop_; }
    TfConfig* ConfigDialog() const { return config_; }
    TMiniView* MiniView() const { return mini_view_; }
    TAbout* AboutBox() const { return about_; }
    THelp* HelpDialog() const { return help_; }
    TfSpyPortSettings* SpyPortSettingsDialog() const { return spy_settings_; }
    TfControlSpy* ControlSpyDialog() const { return control_spy_; }
    QLabel* VersionPanel() const { return version_; }
    QLabel* PortPanel() const { return port_panel_; }

    // Adds a page as the last tab and makes it active.
    void AddPage(std::unique_ptr<TLoop> page);
    // Every loop of a configuration file becomes a loaded-loop page; returns the errors. The whole
    // file is read and checked first: a missing or damaged file leaves the pages as they are (its
    // one error is returned). A loop whose port cannot be opened is left out with its error.
    std::vector<std::string> LoadConfiguration(const std::string& file_name);
    // The same, each error shown in a message box (an empty name does nothing).
    void LoadConfigurationFile(const std::string& file_name);
    // Writes every page's loop, in tab order; a failure is shown in a message box.
    void SaveConfigurationFile(const std::string& file_name);

    // The commands of the menus and keys.
    void NewLoop();              // F2: the New loop dialog; a loop results as the last, active tab
    void RemoveLoop();           // F3: asks, then destroys the active page
    void NextPage();             // F5: the next tab, after the last the first
    void ToggleCommunication();  // F7: "Hide communication"
    void Preferences();
    void LoadFromMenu();   // "Load configuration": the open-file dialog, then the file's loops
    void SaveFromMenu();   // "Save configuration": with a page only; the save-file dialog
    void Tiny();           // F8: the mini view instead of this window until "Large mode"
    void KeyCommands();    // F1
    void About();
    void SpyPortSettings();
    void ControlSpyPort();
    // The shut-down sequence of "Exit", the window's close button and SIGINT/SIGTERM: settings
    // saved, the configuration auto-saved when that is on, every page destroyed (its loop stops,
    // its port closes). Runs once; later calls do nothing. A close request while a dialog is open
    // closes the dialogs first and runs this once they have returned.
    void ShutDown();
    bool IsShutDown() const { return shut_down_; }
    // The close of SIGINT and SIGTERM: the same shut-down, with its messages on standard error
    // only (nobody may be at the screen to answer a box).
    void CloseOnSignal();
    // Errors of the start-up (the auto-load, --config): in message boxes (one for all, or one
    // each), or, once set, on standard error only.
    void SetStartUpErrorsToStandardError(bool on) { start_up_errors_to_stderr_ = on; }
    void ReportStartUpErrors(const std::vector<std::string>& errors, bool one_box);
    // What the last shut-down had to say (a failed auto-save, a kept auto-save file); each was
    // also written to standard error.
    const std::vector<std::string>& ExitMessages() const { return exit_messages_; }

    // The window's key preview, for every key event the application delivers (KeyPress and
    // ShortcutOverride): true when the event was used (it is then consumed).
    bool PreviewKey(QWidget* receiver, QKeyEvent* event);

    // Menu items, for tests and the screenshots.
    QMenu* FileMenu() const { return file_menu_; }
    QMenu* ConfigureMenu() const { return configure_menu_; }
    QMenu* ViewMenu() const { return view_menu_; }
    QMenu* SpyPortMenu() const { return spy_menu_; }
    QMenu* HelpMenu() const { return help_menu_; }
    QAction* HideCommunicationItem() const { return hide_comm_item_; }
    QAction* TinyItem() const { return tiny_item_; }
    QAction* NewLoopItem() const { return new_loop_item_; }
    QAction* RemoveLoopItem() const { return remove_loop_item_; }
    QAction* KeyCommandsItem() const { return key_commands_item_; }
    QAction* LoadItem() const { return load_item_; }
    QAction* SaveItem() const { return save_item_; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildMenus();
    void LoadSettings();
    void SaveSettings();
    // The one place of the configuration auto-save at exit; what went wrong goes to
    // exit_messages_.
    void AutoSaveConfiguration();
    void AutoLoadConfiguration();
    void NoteExitMessage(const std::string& text);
    bool FunctionKey(int key);
    void Tick();
    void ShowPortOfActivePage();
    // Holds the active page's feed off while the pane or the window is hidden, gives it back when
    // neither is.
    void HoldFeed();
    // Closes the open dialogs one by one, then the window once the event loop is back below
    // loop_level (no caller of a dialog is left waiting on the stack).
    void EndModalsThenClose(int loop_level);

    std::unique_ptr<Page_dialogs> dialogs_;
    TLoopHolder* loop_holder_ = nullptr;
    TCommPane* comm_ = nullptr;
    QLabel* version_ = nullptr;
    QLabel* port_panel_ = nullptr;
    QTimer* timer_ = nullptr;
    QTimer* comm_timer_ = nullptr;
    TAddLoop* add_loop_ = nullptr;
    TfConfig* config_ = nullptr;
    TMiniView* mini_view_ = nullptr;
    TAbout* about_ = nullptr;
    THelp* help_ = nullptr;
    TfSpyPortSettings* spy_settings_ = nullptr;
    TfControlSpy* control_spy_ = nullptr;
    // The auto-load found an "autosave.gcf" it could not use whole (damaged, or a loop left out):
    // the exit keeps that file instead of replacing it, unless loops were created or loaded since.
    bool keep_autosave_file_ = false;
    bool closing_on_signal_ = false;
    bool start_up_errors_to_stderr_ = false;
    std::vector<std::string> exit_messages_;
    bool first_show_ = true;
    // Hidden (for the mini view): the active page's feed is held off.
    bool window_hidden_ = false;
    bool shut_down_ = false;

    QMenu* file_menu_ = nullptr;
    QMenu* configure_menu_ = nullptr;
    QMenu* view_menu_ = nullptr;
    QMenu* spy_menu_ = nullptr;
    QMenu* help_menu_ = nullptr;
    QAction* new_loop_item_ = nullptr;
    QAction* remove_loop_item_ = nullptr;
    QAction* tiny_item_ = nullptr;
    QAction* hide_comm_item_ = nullptr;
    QAction* key_commands_item_ = nullptr;
    QAction* load_item_ = nullptr;
    QAction* save_item_ = nullptr;
};
