#include "shell/formmain.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <cstdio>

#include "loops/loop_files.h"
#include "screens/tcl_loop.h"
#include "screens/tloop.h"
#include "shell/app_settings.h"
#include "shell/comm_view.h"
#include "shell/formconfig.h"
#include "shell/formcontrolspy.h"
#include "shell/formspyportsettings.h"
#include "shell/tabout.h"
#include "shell/thelp.h"
#include "shell/tminiview.h"
#include "shell/loop_holder.h"
#include "shell/shell_messages.h"
#include "shell/taddloop.h"

namespace {

const char* const kRemoveLoopQuestion = "Do you really want to remove the loop? ";
constexpr int kLoopHolderWidth = 465;
constexpr int kStatusBarHeight = 25;
constexpr int kModalPollMs = 10;

QAction* AddItem(QMenu* menu, const char* caption, Qt::Key key = Qt::Key_unknown)
{
    QAction* item = menu->addAction(QString::fromLatin1(caption));
    if (key != Qt::Key_unknown)
        item->setShortcut(QKeySequence(key));
    return item;
}

// A file dialog for configuration files, drawn by Qt itself (the same on every desktop).
std::string AskFileName(QWidget* parent, QFileDialog::AcceptMode mode, const char* title, const char* filter)
{
    // It opens in the current folder, where the auto-save file lies too.
    QFileDialog dialog(parent, QString::fromLatin1(title), QDir::currentPath(), QString::fromLatin1(filter));
    dialog.setObjectName(mode == QFileDialog::AcceptOpen ? QStringLiteral("OpenDialog") : QStringLiteral("SaveDialog"));
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setAcceptMode(mode);
    dialog.setFileMode(mode == QFileDialog::AcceptOpen ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog.setDefaultSuffix(QStringLiteral("gcf"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return "";
    return QFile::encodeName(dialog.selectedFiles().first()).toStdString();
}

}  // namespace

TfMain::TfMain(std::unique_ptr<Page_dialogs> dialogs) : dialogs_(std::move(dialogs))
{
    setObjectName(QStringLiteral("fMain"));
    setWindowTitle(QStringLiteral("Gallion"));
    resize(kWidth, kHeight);

    auto* central = new QWidget(this);
    auto* layout = new QHBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    loop_holder_ = new TLoopHolder(central);
    loop_holder_->setFixedWidth(kLoopHolderWidth);
    layout->addWidget(loop_holder_);
    // What the pane leaves: the margin right of the tab control when the pane is hidden.
    layout->addSpacing(kNarrowWidth - kLoopHolderWidth);
    comm_ = new TCommPane(central);
    layout->addWidget(comm_, 1);
    setCentralWidget(central);
    // The pane follows the tab control's page changes after the pages' own handling (connected in
    // the tab control's constructor), so an arriving page has its feed state back first.
    comm_->FollowPages(loop_holder_);
    connect(loop_holder_, &QTabWidget::currentChanged, this, &TfMain::ShowPortOfActivePage);
    // A page that becomes active while the pane or the window is hidden has its feed held too.
    connect(loop_holder_, &QTabWidget::currentChanged, this, &TfMain::HoldFeed);

    version_ = new QLabel(QStringLiteral("  ") + QString::fromLatin1(TAbout::kVersionText), this);
    version_->setObjectName(QStringLiteral("pVersion"));
    version_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    version_->setFixedWidth(80);
    statusBar()->addWidget(version_);
    // Where a controller on this machine opens the active loop's virtual port.
    port_panel_ = new QLabel(this);
    port_panel_->setObjectName(QStringLiteral("pPort"));
    port_panel_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    port_panel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    port_panel_->setFocusPolicy(Qt::NoFocus);
    statusBar()->addWidget(port_panel_, 1);
    statusBar()->setFixedHeight(kStatusBarHeight);
    statusBar()->setSizeGripEnabled(false);

    timer_ = new QTimer(this);
    timer_->setInterval(kRefreshMs);
    connect(timer_, &QTimer::timeout, this, &TfMain::Tick);
    comm_timer_ = new QTimer(this);
    comm_timer_->setInterval(TCommPane::kDrainMs);
    connect(comm_timer_, &QTimer::timeout, comm_, &TCommPane::Drain);

    BuildMenus();

    // The windows the main window opens, each created once and kept for the whole run.
    about_ = new TAbout(this);
    help_ = new THelp(this);
    add_loop_ = new TAddLoop(this);
    mini_view_ = new TMiniView(this);
    spy_settings_ = new TfSpyPortSettings(this);
    control_spy_ = new TfControlSpy(this);
    config_ = new TfConfig(this);
}

TfMain::~TfMain()
{
    // Pages (and with them their loops) go before the dialogs they refer to.
    loop_holder_->RemoveAllPages();
}

void TfMain::BuildMenus()
{
    file_menu_ = menuBar()->addMenu(QStringLiteral("File"));
    load_item_ = AddItem(file_menu_, "Load configuration");
    connect(load_item_, &QAction::triggered, this, &TfMain::LoadFromMenu);
    save_item_ = AddItem(file_menu_, "Save configuration");
    connect(save_item_, &QAction::triggered, this, &TfMain::SaveFromMenu);
    QAction* exit = AddItem(file_menu_, "Exit");
    connect(exit, &QAction::triggered, this, &QWidget::close);

    configure_menu_ = menuBar()->addMenu(QStringLiteral("Configure"));
    new_loop_item_ = AddItem(configure_menu_, "New loop", Qt::Key_F2);
    connect(new_loop_item_, &QAction::triggered, this, &TfMain::NewLoop);
    remove_loop_item_ = AddItem(configure_menu_, "Remove loop", Qt::Key_F3);
    connect(remove_loop_item_, &QAction::triggered, this, &TfMain::RemoveLoop);
    QAction* preferences = AddItem(configure_menu_, "Preferences...");
    connect(preferences, &QAction::triggered, this, &TfMain::Preferences);

    view_menu_ = menuBar()->addMenu(QStringLiteral("View"));
    tiny_item_ = AddItem(view_menu_, "Tiny", Qt::Key_F8);
    connect(tiny_item_, &QAction::triggered, this, &TfMain::Tiny);
    hide_comm_item_ = AddItem(view_menu_, "Hide communication", Qt::Key_F7);
    hide_comm_item_->setCheckable(true);
    connect(hide_comm_item_, &QAction::triggered, this, [this](bool hidden) {
        HoldFeed();
        comm_->setVisible(!hidden);
        // The layouts take the pane's change first, so the narrow width is not held back by the
        // pane's minimum.
        centralWidget()->layout()->activate();
        layout()->activate();
        resize(hidden ? kNarrowWidth : kWidth, height());
    });

    spy_menu_ = menuBar()->addMenu(QStringLiteral("SpyPort"));
    QAction* spy_settings = AddItem(spy_menu_, "SpyPort Settings...");
    connect(spy_settings, &QAction::triggered, this, &TfMain::SpyPortSettings);
    QAction* control_spy = AddItem(spy_menu_, "Control SpyPort...");
    connect(control_spy, &QAction::triggered, this, &TfMain::ControlSpyPort);
    spy_menu_->menuAction()->setVisible(false);  // LoadSettings decides

    help_menu_ = menuBar()->addMenu(QStringLiteral("Help"));
    key_commands_item_ = AddItem(help_menu_, "Key commands...", Qt::Key_F1);
    connect(key_commands_item_, &QAction::triggered, this, &TfMain::KeyCommands);
    QAction* about = AddItem(help_menu_, "About...");
    connect(about, &QAction::triggered, this, &TfMain::About);

    // The keys reach the window through its key preview (PreviewKey), which runs these items;
    // the shortcuts are shown in the menus and act when the menu bar itself has the keys.
    for (QAction* item : {new_loop_item_, remove_loop_item_, tiny_item_, hide_comm_item_, key_commands_item_})
        item->setShortcutContext(Qt::WindowShortcut);
}

TLoop* TfMain::ActivePage() const
{
    return loop_holder_->ActivePage();
}

void TfMain::AddPage(std::unique_ptr<TLoop> page)
{
    TLoop* raw = page.get();
    loop_holder_->AddPage(std::move(page));
    const Pump_loop& loop = raw->Loop();
    if (loop.PortIsVirtual()) {
        const int index = loop_holder_->indexOf(raw);
        loop_holder_->setTabToolTip(index, raw->Caption() + QStringLiteral("\nController port: ") +
                                               QString::fromStdString(loop.DevicePath()));
    }
    ShowPortOfActivePage();
}

std::vector<std::string> TfMain::LoadConfiguration(const std::string& file_name)
{
    // The whole file is read and checked before any page is touched; a damaged file leaves the
    // pages as they are.
    const Loop_file file(file_name);
    if (!file.Error().empty())
        return {file.Error()};
    // The communication view keeps its lines across the loading, whose page changes would
    // replace them.
    const QStringList view_lines = comm_->Lines();
    // The file's loops may use the ports of the running ones: those go first.
    loop_holder_->RemoveAllPages();
    // The user has loaded loops: the auto-save at exit writes them.
    keep_autosave_file_ = false;
    std::vector<std::string> errors;
    for (std::unique_ptr<Pump_loop>& loop : file.Build(errors))
        AddPage(MakeLoopPage(std::move(loop), *dialogs_));
    // The first page of the file is the active one, as after a fresh start.
    if (loop_holder_->count() > 0)
        loop_holder_->setCurrentIndex(0);
    comm_->ShowLines(view_lines);
    return errors;
}

void TfMain::LoadConfigurationFile(const std::string& file_name)
{
    if (file_name.empty())
        return;
    for (const std::string& error : LoadConfiguration(file_name))
        shell_messages::Failure(this, QString::fromStdString(error));
}

void TfMain::SaveConfigurationFile(const std::string& file_name)
{
    if (file_name.empty())
        return;
    std::vector<const Pump_loop*> loops;
    for (int i = 0; i < loop_holder_->count(); ++i) {
        if (TLoop* page = loop_holder_->Page(i))
            loops.push_back(&page->Loop());
    }
    const std::string error = SaveLoops(file_name, loops);
    if (!error.empty())
        shell_messages::Failure(this, QString::fromStdString(error));
}

void TfMain::LoadFromMenu()
{
    const std::string name = AskFileName(this, QFileDialog::AcceptOpen, "Open configuration file",
                                         "Gallion Configuration file (*.gcf)");
    if (!shut_down_)
        LoadConfigurationFile(name);
}

void TfMain::SaveFromMenu()
{
    if (!ActivePage())
        return;
    const std::string name =
        AskFileName(this, QFileDialog::AcceptSave, "Save current configuration", "Gallion config file (*.gcf)");
    if (!shut_down_)
        SaveConfigurationFile(name);
}

void TfMain::Tiny()
{
    tiny_item_->setEnabled(false);
    // The pages in tab order, each linked to the next.
    TLoop* first = nullptr;
    TLoop* previous = nullptr;
    for (int i = 0; i < loop_holder_->count(); ++i) {
        TLoop* page = loop_holder_->Page(i);
        if (!page)
            continue;
        page->MiniViewNext = nullptr;
        if (previous)
            previous->MiniViewNext = page;
        else
            first = page;
        previous = page;
    }
    hide();
    mini_view_->ShowMiniView(first);
    tiny_item_->setEnabled(true);
    // A close requested meanwhile (a signal) goes on from here; the window is not shown again.
    if (!shut_down_ && !closing_on_signal_)
        show();
}

void TfMain::KeyCommands()
{
    help_->exec();
}

void TfMain::About()
{
    about_->exec();
}

void TfMain::SpyPortSettings()
{
    spy_settings_->Execute();
}

void TfMain::ControlSpyPort()
{
    control_spy_->Execute();
}

void TfMain::NewLoop()
{
    std::unique_ptr<Pump_loop> loop = RunNewLoop(*add_loop_, this);
    // A signal may have ended the program while the dialog was open.
    if (!loop || shut_down_)
        return;
    keep_autosave_file_ = false;  // the user has created a loop: the auto-save writes it
    AddPage(MakeLoopPage(std::move(loop), *dialogs_));
    comm_->Clear();
}

void TfMain::RemoveLoop()
{
    QPointer<TLoop> page = ActivePage();
    if (!page)
        return;
    QMessageBox box(QMessageBox::Question, QStringLiteral("Gallion"), QString::fromLatin1(kRemoveLoopQuestion),
                    QMessageBox::Yes | QMessageBox::No, this);
    if (box.exec() != QMessageBox::Yes || !page || shut_down_)
        return;
    loop_holder_->RemovePage(page);
    ShowPortOfActivePage();
}

void TfMain::NextPage()
{
    const int count = loop_holder_->count();
    if (count == 0)
        return;
    // After the last the first; pages whose tab is hidden are skipped.
    for (int step = 1; step <= count; ++step) {
        const int index = (loop_holder_->currentIndex() + step) % count;
        if (loop_holder_->isTabVisible(index)) {
            loop_holder_->setCurrentIndex(index);
            return;
        }
    }
}

void TfMain::ToggleCommunication()
{
    hide_comm_item_->trigger();
}

void TfMain::Preferences()
{
    config_->Execute();
}

void TfMain::Tick()
{
    if (TLoop* page = ActivePage())
        page->UpdatePumps(false);
    ShowPortOfActivePage();  // a trace or log write that failed shows up within a tick
}

void TfMain::HoldFeed()
{
    if (TLoop* page = ActivePage())
        page->HoldCommunication(window_hidden_ || hide_comm_item_->isChecked());
}

void TfMain::ShowPortOfActivePage()
{
    TLoop* page = ActivePage();
    QString text;
    if (page && page->Loop().PortIsVirtual())
        text = QStringLiteral(" Controller port: ") + QString::fromStdString(page->Loop().DevicePath());
    const std::string write_failure = page ? page->Loop().WriteFailureText() : std::string();
    if (!write_failure.empty())
        text += QStringLiteral(" ") + QString::fromStdString(write_failure);
    if (port_panel_->text() != text)
        port_panel_->setText(text);
}

bool TfMain::PreviewKey(QWidget* receiver, QKeyEvent* event)
{
    // Only keys of this window: an open dialog's fields keep theirs.
    if (!receiver || receiver->window() != this)
        return false;
    if (event->type() == QEvent::ShortcutOverride) {
        // The page sees every key first, also those the menus have as shortcuts: the shortcut is
        // overridden and the key press comes here as a key press, where it acts once.
        event->accept();
        return true;
    }
    if (event->type() != QEvent::KeyPress)
        return false;
    const int key = PageKeyOf(*event);
    if (event->isAutoRepeat() && IgnoresAutoRepeat(key))
        return true;
    if (TLoop* page = ActivePage()) {
        if (page->HandleKey(key, event->modifiers()))
            return true;
    }
    return FunctionKey(key);
}

bool TfMain::FunctionKey(int key)
{
    QAction* item = nullptr;
    switch (key) {
    case Qt::Key_F1: item = key_commands_item_; break;
    case Qt::Key_F2: item = new_loop_item_; break;
    case Qt::Key_F3: item = remove_loop_item_; break;
    case Qt::Key_F5: NextPage(); return true;
    case Qt::Key_F7: item = hide_comm_item_; break;
    case Qt::Key_F8: item = tiny_item_; break;
    default: return false;
    }
    // A greyed item's key does nothing either.
    if (item->isEnabled())
        item->trigger();
    return true;
}

void TfMain::LoadSettings()
{
    const App_settings::Window_placement placement = App_settings::ReadWindowPlacement();
    if (placement.communication_hidden != hide_comm_item_->isChecked())
        hide_comm_item_->trigger();
    QList<QRect> screens;
    for (QScreen* screen : QGuiApplication::screens())
        screens << screen->geometry();
    const QScreen* primary = QGuiApplication::primaryScreen();
    const QRect place = App_settings::OnScreen(QRect(placement.left, placement.top, placement.width, placement.height),
                                               screens, primary ? primary->geometry() : QRect());
    move(place.topLeft());
    resize(place.size());

    add_loop_->SetMemory(App_settings::ReadAddLoopMemory());
    add_loop_->SetLinePacing(ReadLineSpeedPacing());
    const bool spy = App_settings::ShowSpyPort();
    spy_menu_->menuAction()->setVisible(spy);
    add_loop_->SetSpyPortShown(spy);
    if (App_settings::AutoLoad())
        AutoLoadConfiguration();
}

void TfMain::AutoLoadConfiguration()
{
    const std::vector<std::string> errors = LoadConfiguration(kAutoSaveFileName);
    // A file that is there but could not be used whole is not replaced at exit by what is left of
    // it (nothing, or the loops that could be built), unless the user creates or loads loops.
    keep_autosave_file_ = !errors.empty() && QFileInfo::exists(QString::fromLatin1(kAutoSaveFileName));
    ReportStartUpErrors(errors, false);
}

void TfMain::ReportStartUpErrors(const std::vector<std::string>& errors, bool one_box)
{
    if (start_up_errors_to_stderr_) {
        for (const std::string& error : errors)
            std::fprintf(stderr, "gallion: %s\n", error.c_str());
        return;
    }
    if (one_box && !errors.empty()) {
        QString text;
        for (const std::string& error : errors)
            text += QString::fromStdString(error) + QLatin1Char('\n');
        QMessageBox::warning(this, QStringLiteral("Gallion"), text.trimmed());
        return;
    }
    for (const std::string& error : errors) {
        // A signal during an earlier box ends the start-up: no further box opens.
        if (shut_down_ || closing_on_signal_)
            return;
        shell_messages::Failure(this, QString::fromStdString(error));
    }
}

void TfMain::SaveSettings()
{
    App_settings::Window_placement placement;
    placement.left = x();
    placement.top = y();
    placement.width = width();
    placement.height = height();
    placement.communication_hidden = hide_comm_item_->isChecked();
    App_settings::WriteWindowPlacement(placement);
    App_settings::WriteAddLoopMemory(add_loop_->Memory());
}

void TfMain::AutoSaveConfiguration()
{
    if (!App_settings::AutoSave())
        return;
    const std::string place = QDir::current().absoluteFilePath(QString::fromLatin1(kAutoSaveFileName)).toStdString();
    if (keep_autosave_file_) {
        NoteExitMessage("The configuration was not saved: " + place +
                        " could not be loaded at start-up and is kept as it was.");
        return;
    }
    std::vector<const Pump_loop*> loops;
    for (int i = 0; i < loop_holder_->count(); ++i) {
        if (TLoop* page = loop_holder_->Page(i))
            loops.push_back(&page->Loop());
    }
    // The previous auto-save stays as "autosave.gcf.bak".
    const std::string error = SaveLoops(kAutoSaveFileName, loops, Previous_file::keep_as_backup);
    if (!error.empty())
        NoteExitMessage("The configuration was not saved at exit: " + error);
}

void TfMain::NoteExitMessage(const std::string& text)
{
    exit_messages_.push_back(text);
    std::fprintf(stderr, "gallion: %s\n", text.c_str());
}

void TfMain::CloseOnSignal()
{
    closing_on_signal_ = true;
    close();
}

void TfMain::ShutDown()
{
    if (shut_down_)
        return;
    shut_down_ = true;
    timer_->stop();
    comm_timer_->stop();
    SaveSettings();
    AutoSaveConfiguration();
    // Always the active page, until none is left: each destruction stops that loop's threads and
    // closes its port.
    while (TLoop* page = ActivePage())
        loop_holder_->RemovePage(page);
    ShowPortOfActivePage();
}

void TfMain::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (event->spontaneous() || shut_down_)
        return;
    if (first_show_) {
        first_show_ = false;
        LoadSettings();
    }
    // The page's feed as it was when the window was hidden; a hidden pane keeps it held.
    window_hidden_ = false;
    HoldFeed();
    timer_->start();
    comm_timer_->start();
}

void TfMain::hideEvent(QHideEvent* event)
{
    QMainWindow::hideEvent(event);
    // A minimised or covered window keeps its loops' feeds running; only hiding it does not.
    if (event->spontaneous())
        return;
    window_hidden_ = true;
    HoldFeed();
    timer_->stop();
    comm_timer_->stop();
}

void TfMain::closeEvent(QCloseEvent* event)
{
    if (QApplication::activeModalWidget()) {
        // A dialog or message box is open (a signal came, or the window manager closes the
        // window): its caller waits in it on the stack and goes on with its page once it returns,
        // so the pages must not go now. The dialogs are closed first, the window when their
        // loops have ended.
        event->ignore();
        EndModalsThenClose(QThread::currentThread()->loopLevel());
        return;
    }
    ShutDown();
    event->accept();
    // The user who chose "Exit" or closed the window sees what went wrong; the loops are already
    // stopped and their ports released.
    if (!closing_on_signal_ && !exit_messages_.empty()) {
        QString text;
        for (const std::string& message : exit_messages_)
            text += QString::fromStdString(message) + QLatin1Char('\n');
        shell_messages::Failure(this, text.trimmed());
    }
}

void TfMain::EndModalsThenClose(int loop_level)
{
    if (QWidget* modal = QApplication::activeModalWidget()) {
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else
            modal->close();
        loop_level = QThread::currentThread()->loopLevel();
    } else if (QThread::currentThread()->loopLevel() < loop_level) {
        // The dialog's loop has returned to its caller.
        close();
        return;
    }
    QTimer::singleShot(kModalPollMs, this, [this, loop_level] { EndModalsThenClose(loop_level); });
}
