#pragma once
#include <QStringList>
#include <QWidget>
#include <array>
#include <functional>
#include <memory>
#include <string>

#include "loops/pump_loop.h"
#include "screens/page_dialogs.h"

class QAction;
class QActionGroup;
class QKeyEvent;
class QMenu;
class TEmptyPosition;
class TPumpPanel;

// The protocol part of a loop page: what a Zarn page and a current-loop page do differently.
struct Page_traits {
    QString visible_nozzles_caption;  // the pump menu's visible-nozzles item
    bool decimals_items;              // "Set decimals in loop..." in both menus
    bool z_lifts;                     // key Z lifts the selected nozzle
    bool refresh_after_key;           // every key ends with a forced refresh
    bool refresh_on_show;             // PageShow refreshes the panels
    bool select_before_nozzle_click;  // a nozzle button selects its pump first, then acts
};

// The key code the page gets for the key left of 1: Qt's section-sign key, or on layouts without
// one the key that types '§' or '`' there.
constexpr int kSectionKey = Qt::Key_section;

// The key code a page acts on for a key event: digits from the key (keypad digits are the same
// codes), letters upper case, and the key left of 1 as kSectionKey.
int PageKeyOf(const QKeyEvent& event);
// Enter, Insert, Delete and the function keys act once per press: their auto-repeats are dropped.
bool IgnoresAutoRepeat(int key);

// A loop page: one loop of pumps on a fixed grid of panels (4 columns, 120 pixels a row), with the
// selection frame, the empty-position panels, the pump and loop menus and the page keys. It owns
// its loop and reaches it only through the protocol-neutral loop layer. TZarnLoop and TCL_Loop
// give it their protocol part.
class TLoop : public QWidget {
    Q_OBJECT
public:
    ~TLoop() override;

    Pump_loop& Loop() { return *loop_; }
    const Pump_loop& Loop() const { return *loop_; }
    Protocol GetProtocol() const { return loop_->GetProtocol(); }
    QString Caption() const;  // the tab caption: port name and protocol

    // The page operations the main window and the page's own menus, clicks and keys call.
    void AddPump(int position);
    void RemovePump(int position);  // asks "Remove pump ? " first
    void DeletePump(int position);  // removes it without asking (the control socket's command)
    void ToggleFlow(int position);
    void BeginLogging(int position);
    void UpdatePumps(bool force);
    void SelectVisibleNozzles(int position);
    void SetCommunicationOn(bool on);
    void SetInterpreted(bool interpreted);
    bool GetInterpreted() const;
    std::string FetchCommunication();
    uint8_t GetFilterAddress() const;
    void PageHide();
    void PageShow();
    // While the communication pane or the main window is hidden the active page's feed is held
    // off; the end of the hold (or the page's next showing, when another page became active
    // meanwhile) gives it back what it was, on or stopped by the user.
    void HoldCommunication(bool hold);
    // True when the key is one of the page's keys (the caller then consumes it).
    bool HandleKey(int key, Qt::KeyboardModifiers modifiers);
    void MoveSelection(int direction);  // 1 up, 2 down, 3 left, 4 right
    void ErrorSetup(int position);
    void Detail(int position);
    void SetDecimalsInLoop();

    int SelectedPosition() const { return selected_; }
    void SelectPosition(int position);
    bool SavedCommunication() const { return saved_communication_; }

    // What the main window keeps per page.
    QStringList CommHistory;
    TLoop* MiniViewNext = nullptr;

    // Controls, for tests and the screenshots.
    TPumpPanel* Panel(int position) const;
    TEmptyPosition* EmptyPanel(int position) const;
    QWidget* SelectionFrame() const { return selection_frame_; }
    QMenu* PumpMenu() const { return pump_menu_; }
    QMenu* LoopMenu() const { return loop_menu_; }
    // Sets the pump menu's captions, check marks and enabled items for the pump at `position`,
    // as on opening the menu there.
    void PreparePumpMenu(int position);
    void PrepareLoopMenu(int position);

protected:
    TLoop(std::unique_ptr<Pump_loop> loop, Page_dialogs& dialogs, const Page_traits& traits, QWidget* parent);
    // Builds the grid, menus and panels of the pumps the loop has; the page's constructor calls it.
    void Build();
    virtual TPumpPanel* MakePanel(int left, int top, int position, int pump_number) = 0;

private:
    int Slots() const;  // positions of a page: Zarn 16, current loop 8
    bool KeyWithCtrl(int key);
    bool KeyOnSelected(int key);
    void NozzleButton(int position, int nozzle);
    void FlowButton(int position);
    void CreatePanel(int position);
    void OpenPumpMenu(int position, const QPoint& where);
    void OpenLoopMenu(int position, const QPoint& where);
    void BuildMenus();
    void ForEachPump(const std::function<void(int)>& action);

    std::unique_ptr<Pump_loop> loop_;
    Page_dialogs& dialogs_;
    Page_traits traits_;
    QWidget* selection_frame_ = nullptr;
    std::array<TPumpPanel*, 16> panels_{};
    std::array<TEmptyPosition*, 16> empty_{};
    int selected_ = 0;
    bool saved_communication_ = true;
    bool held_ = false;                // HoldCommunication holds the feed off
    bool held_communication_ = false;  // what the feed was when the hold began

    QMenu* pump_menu_ = nullptr;
    QMenu* loop_menu_ = nullptr;
    int menu_position_ = 0;
    QAction* detail_item_ = nullptr;
    QAction* commit_item_ = nullptr;
    QAction* visible_item_ = nullptr;
    QAction* logging_item_ = nullptr;
    QMenu* automate_menu_ = nullptr;
    std::array<QAction*, 4> automate_items_{};  // Manual, Light, Normal, Heavy
    QAction* filter_item_ = nullptr;
    QAction* error_setup_item_ = nullptr;
    QAction* decimals_item_ = nullptr;
    QAction* connection_item_ = nullptr;
    QAction* remove_item_ = nullptr;
    QAction* new_pump_item_ = nullptr;
    QAction* loop_decimals_item_ = nullptr;
};

// Grid places: left and top of position p in its page.
int GridLeft(int position);
int GridTop(int position);
