#include "shell/formmain.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QStatusBar>
#include <QTimer>

#include "loops/loop_files.h"
#include "screens/tcl_loop.h"
#include "screens/tloop.h"
#include "shell/loop_holder.h"

namespace {

const char* const kVersionText = "V1.2.8";
// Without the communication pane the window is as wide as the tab control and its margin.
constexpr int kWidth = 475;
constexpr int kHeight = 580;
constexpr int kLoopHolderWidth = 465;
constexpr int kStatusBarHeight = 25;

}  // namespace

TfMain::TfMain(std::unique_ptr<Page_dialogs> dialogs) : dialogs_(std::move(dialogs))
{
    setWindowTitle(QStringLiteral("Gallion"));
    resize(kWidth, kHeight);

    auto* central = new QWidget(this);
    auto* layout = new QHBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    loop_holder_ = new TLoopHolder(central);
    loop_holder_->setFixedWidth(kLoopHolderWidth);
    layout->addWidget(loop_holder_);
    layout->addStretch(1);
    setCentralWidget(central);

    version_ = new QLabel(QStringLiteral("  ") + QString::fromLatin1(kVersionText), this);
    version_->setObjectName(QStringLiteral("pVersion"));
    version_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    statusBar()->addWidget(version_, 1);
    statusBar()->setFixedHeight(kStatusBarHeight);
    statusBar()->setSizeGripEnabled(false);

    timer_ = new QTimer(this);
    timer_->setInterval(kRefreshMs);
    connect(timer_, &QTimer::timeout, this, &TfMain::Tick);
}

TfMain::~TfMain()
{
    // Pages (and with them their loops) go before the dialogs they refer to.
    loop_holder_->RemoveAllPages();
}

TLoop* TfMain::ActivePage() const
{
    return loop_holder_->ActivePage();
}

void TfMain::AddPage(std::unique_ptr<TLoop> page)
{
    loop_holder_->AddPage(std::move(page));
}

std::vector<std::string> TfMain::LoadConfiguration(const std::string& file_name)
{
    // The whole file is read and checked before any page is touched; a damaged file leaves the
    // pages as they are.
    const Loop_file file(file_name);
    if (!file.Error().empty())
        return {file.Error()};
    // The file's loops may use the ports of the running ones: those go first.
    loop_holder_->RemoveAllPages();
    std::vector<std::string> errors;
    for (std::unique_ptr<Pump_loop>& loop : file.Build(errors))
        AddPage(MakeLoopPage(std::move(loop), *dialogs_));
    return errors;
}

void TfMain::Tick()
{
    if (TLoop* page = ActivePage())
        page->UpdatePumps(false);
}

bool TfMain::PreviewKey(QWidget* receiver, QKeyEvent* event)
{
    if (!receiver || receiver->window() != this)
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
    if (key == Qt::Key_F5) {
        // The next tab, after the last the first.
        const int count = loop_holder_->count();
        if (count > 0)
            loop_holder_->setCurrentIndex((loop_holder_->currentIndex() + 1) % count);
        return true;
    }
    return false;
}

void TfMain::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (event->spontaneous())
        return;
    if (TLoop* page = ActivePage())
        page->SetCommunicationOn(page->SavedCommunication());
    timer_->start();
}

void TfMain::hideEvent(QHideEvent* event)
{
    QMainWindow::hideEvent(event);
    // A minimised or covered window keeps its loops' feeds running; only hiding it does not.
    if (event->spontaneous())
        return;
    if (TLoop* page = ActivePage())
        page->SetCommunicationOn(false);
    timer_->stop();
}

void TfMain::closeEvent(QCloseEvent* event)
{
    timer_->stop();
    // Each page's destruction stops its loop's threads and closes its port.
    loop_holder_->RemoveAllPages();
    event->accept();
}
