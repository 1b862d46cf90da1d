#pragma once
// The windows test kit: Qt Test programs on the offscreen platform, each test with its own
// settings file and working folder, a way to answer modal boxes, and helpers that click and press
// keys on the real widgets (keys go through the application object, so the main window's key
// preview sees them as it sees a user's).
#include <QDialog>
#include <QMessageBox>
#include <QObject>
#include <QPoint>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QtTest/QtTest>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "loops/pump_loop.h"
#include "screens/page_dialogs.h"
#include "support/pty_controller.h"

class QAction;
class QMenu;
class QWidget;
class TLoop;
class TPumpPanel;
class TfMain;

namespace screens_kit {

// A test's own settings file (GALLION_INI) and working folder (the current folder while it
// lives; the previous one is restored).
class Test_place {
public:
    Test_place();
    ~Test_place();
    TempSettings& Settings() { return settings_; }
    const TempDir& Dir() const { return dir_; }

private:
    TempSettings settings_;
    TempDir dir_;
    std::string previous_dir_;
};

// What a test does in a modal dialog: sets its controls and closes it (or leaves it open, for
// the next action).
using Dialog_action = std::function<void(QDialog*)>;

// Answers the modal boxes that open while it lives: every few milliseconds it looks for the
// active modal widget, notes a message box's text and clicks the next queued button (No when
// the queue is empty, else Cancel or OK). A modal dialog that is not a message box gets the next
// queued dialog action (run from the event loop, so the boxes the action opens are answered
// too), and is rejected when none is left.
class Modal_answerer : public QObject {
    Q_OBJECT
public:
    explicit Modal_answerer(std::vector<QMessageBox::StandardButton> answers = {},
                            std::vector<Dialog_action> dialog_actions = {});
    // Dialog actions not run yet.
    size_t ActionsLeft() const { return actions_.size(); }
    ~Modal_answerer() override;
    const QStringList& Texts() const { return texts_; }
    int Count() const { return texts_.size(); }

private:
    void Look();

    std::vector<QMessageBox::StandardButton> answers_;
    std::vector<Dialog_action> actions_;
    QDialog* acting_on_ = nullptr;  // the dialog whose action runs (a box or dialog it opens is served)
    QStringList texts_;
    QTimer timer_;
};

// Runs the event loop until condition holds or timeout_ms passes; false on time-out.
bool WaitUntil(const std::function<bool()>& condition, int timeout_ms = 5000);

// Mouse on the real widgets.
void ClickPanel(QWidget* panel);          // a free spot of a pump panel or empty-position panel
void RightClick(QWidget* panel);          // its context menu (the menu pops up, not modal)
void ClickButton(QWidget* button);
// The item with this caption in a menu or its submenus; fails the test when missing.
QAction* MenuItem(QMenu* menu, const QString& caption);
QStringList Captions(QMenu* menu);

// A key press and release on a widget, through the application object.
void PressKey(QWidget* widget, Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier);
// A held key: a press, `repeats` auto-repeated presses, a release.
void HoldKey(QWidget* widget, Qt::Key key, int repeats);

// A widget's background colour.
QColor Background(QWidget* widget);

// The pairs of shown controls directly inside the widget whose rectangles overlap, each as
// "name/caption over name/caption"; empty when every control has a place of its own.
QStringList OverlappingControls(QWidget* widget);

// The main window on screen with the key preview of the program, and the pages a test adds.
class Window_rig {
public:
    explicit Window_rig(std::unique_ptr<Page_dialogs> dialogs = std::make_unique<Page_dialogs>());
    ~Window_rig();
    TfMain& Window() { return *window_; }
    // A new page on the port, added as the last tab and made active.
    TLoop* AddPage(Protocol protocol, const std::string& port, int first, int last);
    // Some control of the main window that is not the page (keys are sent there).
    QWidget* KeyTarget();
    void Press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) { PressKey(KeyTarget(), key, modifiers); }

private:
    std::unique_ptr<TfMain> window_;
};

// Dialogs that record what the page asked and answer as told (for the pages' own logic; the real
// dialogs come with their own tests).
class Recording_dialogs : public Page_dialogs {
public:
    bool Available(Page_dialog) const override { return true; }
    void Detail(QWidget*, Pump_loop&, int position) override { detail_positions.push_back(position); }
    void ErrorSetup(QWidget*, Pump_loop&, int position) override { error_positions.push_back(position); }
    bool AskLog(QWidget*, std::string& file_name, bool& interpreted) override;
    bool AskVisibleNozzles(QWidget*, Protocol, std::vector<bool>& visible) override;
    bool AskDecimals(QWidget*, Loop_decimals& decimals) override;

    std::vector<int> detail_positions, error_positions;
    std::vector<std::string> proposed_log_names;
    std::vector<size_t> visible_sizes;
    bool confirm = true;
    std::vector<bool> visible_answer;  // replaces the flags when confirmed
    int volume_decimals_answer = 3;
};

// The windows tests are one program (screens_main.cpp): each test file registers its Qt Test class
// under the file's name ("panel_test" for panel_test.cpp), and the program runs one class, named
// by its first argument, or all of them in turn.
using Test_factory = std::unique_ptr<QObject> (*)();
struct Test_registration {
    Test_registration(const char* file, Test_factory make);
};
// Runs the registered class named by argv[1] with the remaining arguments (Qt Test's options:
// functions, -o, ...), or every class in turn with all the arguments when argv[1] is an option or
// absent. Returns Qt Test's result for one class, the number of failed classes for all, and 1 for
// a name that no file registered.
int RunRegisteredTests(int argc, char** argv);

}  // namespace screens_kit

// Registers a windows test file's Qt Test class with the windows test program (one per file).
#define GALLION_SCREENS_TEST_MAIN(TestClass)                                                   \
    static const screens_kit::Test_registration gallion_screens_test_registration{             \
        __FILE__, []() -> std::unique_ptr<QObject> { return std::make_unique<TestClass>(); }};
