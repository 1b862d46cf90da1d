#include "screens/screens_kit.h"

#include <QAbstractButton>
#include <QApplication>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QMenu>
#include <QTabBar>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <map>

#include "screens/tcl_loop.h"
#include "screens/tzarnloop.h"
#include "shell/formmain.h"
#include "shell/gallion_application.h"
#include "shell/loop_holder.h"

namespace screens_kit {

Test_place::Test_place()
{
    char buffer[PATH_MAX] = {};
    if (getcwd(buffer, sizeof buffer))
        previous_dir_ = buffer;
    if (chdir(dir_.Path().c_str()) != 0)
        qFatal("cannot enter the test folder");
}

Test_place::~Test_place()
{
    if (!previous_dir_.empty() && chdir(previous_dir_.c_str()) != 0)
        qWarning("cannot return to the previous folder");
}

Modal_answerer::Modal_answerer(std::vector<QMessageBox::StandardButton> answers,
                               std::vector<Dialog_action> dialog_actions)
    : answers_(std::move(answers)), actions_(std::move(dialog_actions))
{
    connect(&timer_, &QTimer::timeout, this, &Modal_answerer::Look);
    timer_.start(10);
}

Modal_answerer::~Modal_answerer() = default;

void Modal_answerer::Look()
{
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal)
        return;
    auto* box = qobject_cast<QMessageBox*>(modal);
    if (!box) {
        auto* dialog = qobject_cast<QDialog*>(modal);
        if (!dialog || dialog == acting_on_ || !dialog->isVisible())
            return;
        if (actions_.empty()) {
            dialog->reject();
            return;
        }
        // Run outside this timer's handler: a box the action opens needs this timer to answer it.
        Dialog_action action = actions_.front();
        actions_.erase(actions_.begin());
        QDialog* outer = acting_on_;
        acting_on_ = dialog;
        QTimer::singleShot(0, this, [this, action, dialog, outer] {
            action(dialog);
            acting_on_ = outer;
        });
        return;
    }
    if (!box->isVisible())
        return;
    texts_.push_back(box->text());
    QMessageBox::StandardButton answer = QMessageBox::NoButton;
    if (!answers_.empty()) {
        answer = answers_.front();
        answers_.erase(answers_.begin());
    } else {
        for (QMessageBox::StandardButton candidate : {QMessageBox::No, QMessageBox::Cancel, QMessageBox::Ok}) {
            if (box->button(candidate)) {
                answer = candidate;
                break;
            }
        }
    }
    QAbstractButton* button = box->button(answer);
    if (!button) {
        qWarning("modal box without the expected button: %s", qPrintable(box->text()));
        box->reject();
        return;
    }
    button->click();
}

QStringList OverlappingControls(QWidget* widget)
{
    QList<QWidget*> shown;
    for (QWidget* child : widget->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (child->isVisibleTo(widget) && !child->isWindow())
            shown << child;
    }
    const auto name = [](QWidget* control) {
        QString text = control->property("text").toString();
        if (text.isEmpty())
            text = control->property("title").toString();
        return QString::fromLatin1(control->metaObject()->className()) + QLatin1Char('/') + text;
    };
    QStringList overlaps;
    for (int i = 0; i < shown.size(); ++i) {
        for (int j = i + 1; j < shown.size(); ++j) {
            if (shown[i]->geometry().intersects(shown[j]->geometry()))
                overlaps << name(shown[i]) + QStringLiteral(" over ") + name(shown[j]);
        }
    }
    return overlaps;
}

bool WaitUntil(const std::function<bool()>& condition, int timeout_ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeout_ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QTest::qSleep(2);
    }
    return true;
}

// Right of the value displays and below the pump number: no child control there.
static const QPoint kFreeSpot(88, 60);

void ClickPanel(QWidget* panel)
{
    QTest::mouseClick(panel, Qt::LeftButton, Qt::NoModifier, kFreeSpot);
}

void RightClick(QWidget* panel)
{
    QContextMenuEvent event(QContextMenuEvent::Mouse, kFreeSpot, panel->mapToGlobal(kFreeSpot));
    QApplication::sendEvent(panel, &event);
}

void ClickButton(QWidget* button)
{
    QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, button->rect().center());
}

QAction* MenuItem(QMenu* menu, const QString& caption)
{
    for (QAction* action : menu->actions()) {
        if (action->text() == caption)
            return action;
        if (action->menu()) {
            if (QAction* inner = MenuItem(action->menu(), caption))
                return inner;
        }
    }
    return nullptr;
}

QStringList Captions(QMenu* menu)
{
    QStringList captions;
    for (QAction* action : menu->actions()) {
        if (!action->isSeparator())
            captions << action->text();
    }
    return captions;
}

void PressKey(QWidget* widget, Qt::Key key, Qt::KeyboardModifiers modifiers)
{
    QTest::keyClick(widget, key, modifiers);
}

void HoldKey(QWidget* widget, Qt::Key key, int repeats)
{
    QKeyEvent first(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(widget, &first);
    for (int i = 0; i < repeats; ++i) {
        QKeyEvent repeat(QEvent::KeyPress, key, Qt::NoModifier, QString(), true);
        QApplication::sendEvent(widget, &repeat);
    }
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
    QApplication::sendEvent(widget, &release);
}

QColor Background(QWidget* widget)
{
    return widget->palette().color(QPalette::Window);
}

Window_rig::Window_rig(std::unique_ptr<Page_dialogs> dialogs) : window_(std::make_unique<TfMain>(std::move(dialogs)))
{
    auto* app = qobject_cast<Gallion_application*>(qApp);
    if (!app)
        qFatal("the windows tests need the program's application object");
    TfMain* window = window_.get();
    app->SetKeyPreview([window](QWidget* receiver, QKeyEvent* event) { return window->PreviewKey(receiver, event); });
    window_->show();
}

Window_rig::~Window_rig()
{
    qobject_cast<Gallion_application*>(qApp)->SetKeyPreview({});
}

TLoop* Window_rig::AddPage(Protocol protocol, const std::string& port, int first, int last)
{
    std::unique_ptr<TLoop> page;
    if (protocol == Protocol::zarn)
        page = std::make_unique<TZarnLoop>(port, false, first, last, window_->Dialogs());
    else
        page = std::make_unique<TCL_Loop>(port, false, first, last, window_->Dialogs());
    TLoop* raw = page.get();
    window_->AddPage(std::move(page));
    return raw;
}

QWidget* Window_rig::KeyTarget()
{
    return window_->LoopHolder()->tabBar();
}

bool Recording_dialogs::AskLog(QWidget*, std::string& file_name, bool& interpreted)
{
    proposed_log_names.push_back(file_name);
    interpreted = true;
    return confirm;
}

bool Recording_dialogs::AskVisibleNozzles(QWidget*, Protocol, std::vector<bool>& visible)
{
    visible_sizes.push_back(visible.size());
    if (confirm)
        visible = visible_answer;
    return confirm;
}

bool Recording_dialogs::AskDecimals(QWidget*, Loop_decimals& decimals)
{
    if (confirm)
        decimals.volume = volume_decimals_answer;
    return confirm;
}

namespace {

// The registered classes by file name; filled by the files' static registrations before main.
std::map<std::string, Test_factory>& Registered_tests()
{
    static std::map<std::string, Test_factory> tests;
    return tests;
}

}  // namespace

Test_registration::Test_registration(const char* file, Test_factory make)
{
    std::string name = std::filesystem::path(file).stem().string();
    if (!Registered_tests().emplace(name, make).second)
        qFatal("two windows test classes registered for %s", name.c_str());
}

int RunRegisteredTests(int argc, char** argv)
{
    const auto& tests = Registered_tests();
    if (argc > 1 && argv[1][0] != '-') {
        auto test = tests.find(argv[1]);
        if (test == tests.end()) {
            std::fprintf(stderr, "no windows test named %s; the tests are:", argv[1]);
            for (const auto& entry : tests)
                std::fprintf(stderr, " %s", entry.first.c_str());
            std::fprintf(stderr, "\n");
            return 1;
        } else {
            // argv[0] stays the program; the file's name is taken out for Qt Test.
            std::vector<char*> arguments(argv, argv + argc);
            arguments.erase(arguments.begin() + 1);
            std::unique_ptr<QObject> object = test->second();
            return QTest::qExec(object.get(), int(arguments.size()), arguments.data());
        }
    }
    int failed_classes = 0;
    for (const auto& entry : tests) {
        std::unique_ptr<QObject> object = entry.second();
        if (QTest::qExec(object.get(), argc, argv) != 0)
            ++failed_classes;
    }
    return failed_classes;
}

}  // namespace screens_kit
