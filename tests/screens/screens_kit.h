#pragma once
// The windows test kit: Qt Test programs on the offscreen platform, each test with its own
// settings file and working folder, a way to answer modal boxes, and helpers that click and press
// keys on the real widgets (keys go through the application object, so the main window's key
// preview sees them as it sees a user's).
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

#include "support/pty_controller.h"

class QAction;
class QMenu;
class QWidget;
class TLoop;
class TPumpPanel;

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

// Answers the modal boxes that open while it lives: every few milliseconds it looks for the
// active modal widget, notes a message box's text and clicks the next queued button (No when
// the queue is empty, else Cancel or OK). Boxes that are not message boxes are rejected.
class Modal_answerer : public QObject {
    Q_OBJECT
public:
    explicit Modal_answerer(std::vector<QMessageBox::StandardButton> answers = {});
    ~Modal_answerer() override;
    const QStringList& Texts() const { return texts_; }
    int Count() const { return texts_.size(); }

private:
    void Look();

    std::vector<QMessageBox::StandardButton> answers_;
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

// Whether a label's text is drawn in the given colour role's colour.
QColor Background(QWidget* widget);

}  // namespace screens_kit

// The main function of a windows test program: the offscreen platform, the program's own
// application object, then the Qt Test class.
#define GALLION_SCREENS_TEST_MAIN(TestClass)                          \
    int main(int argc, char** argv)                                   \
    {                                                                 \
        qputenv("QT_QPA_PLATFORM", "offscreen");                      \
        Gallion_application app(argc, argv);                          \
        app.setAttribute(Qt::AA_Use96Dpi, true);                      \
        TestClass test;                                               \
        return QTest::qExec(&test, argc, argv);                       \
    }
