#include "shell/control_link.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <chrono>

#include "control/control_server.h"
#include "screens/tcl_loop.h"
#include "screens/tloop.h"
#include "shell/comm_view.h"
#include "shell/formmain.h"
#include "shell/loop_holder.h"

namespace {

const int kTrafficPeriodMs = 200;
const int kModalPollMs = 50;

}  // namespace

Page_loop_set::Page_loop_set(TfMain& window) : window_(window) {}

size_t Page_loop_set::size() const
{
    return static_cast<size_t>(window_.LoopHolder()->count());
}

Pump_loop* Page_loop_set::operator[](size_t index) const
{
    TLoop* page = window_.LoopHolder()->Page(static_cast<int>(index));
    return page ? &page->Loop() : nullptr;
}

void Page_loop_set::Append(std::unique_ptr<Pump_loop> loop)
{
    window_.AddPage(MakeLoopPage(std::move(loop), window_.Dialogs()));
}

void Page_loop_set::Erase(size_t index)
{
    window_.LoopHolder()->RemovePage(window_.LoopHolder()->Page(static_cast<int>(index)));
}

void Page_loop_set::Clear()
{
    window_.LoopHolder()->RemoveAllPages();
}

static TLoop* PageOf(TfMain& window, const Pump_loop& loop)
{
    for (int i = 0; i < window.LoopHolder()->count(); ++i) {
        TLoop* page = window.LoopHolder()->Page(i);
        if (page && &page->Loop() == &loop)
            return page;
    }
    return nullptr;
}

bool Page_loop_set::AddPump(Pump_loop& loop, int position)
{
    TLoop* page = PageOf(window_, loop);
    if (!page || loop.HasPump(position))
        return false;
    page->AddPump(position);
    return loop.HasPump(position);
}

bool Page_loop_set::RemovePump(Pump_loop& loop, int position)
{
    TLoop* page = PageOf(window_, loop);
    if (!page || !loop.HasPump(position))
        return false;
    page->DeletePump(position);
    return !loop.HasPump(position);
}

void Page_loop_set::SetFeedsOn(bool on)
{
    // The feeds stay as the pane and the pages have them; only the pane's texts are copied.
    tapping_ = on;
    texts_.clear();
    if (!on) {
        window_.CommPane()->SetTextTap({});
        return;
    }
    window_.CommPane()->SetTextTap([this](const Pump_loop& loop, const std::string& text) {
        if (texts_.size() >= kMaxKeptTexts)
            texts_.pop_front();
        texts_.emplace_back(&loop, text);
    });
}

std::string Page_loop_set::FetchTrafficText(size_t index)
{
    // Texts of loops that have gone meanwhile are dropped; the rest come in the order shown.
    const Pump_loop* wanted = (*this)[index];
    while (!texts_.empty()) {
        auto [loop, text] = texts_.front();
        if (loop != wanted) {
            bool loop_exists = false;
            for (size_t i = 0; i < size(); ++i)
                loop_exists = loop_exists || (*this)[i] == loop;
            if (loop_exists)
                return "";  // another loop's text comes first: its own turn takes it
            texts_.pop_front();
            continue;
        }
        texts_.pop_front();
        return text;
    }
    return "";
}

Control_link::Control_link(const std::string& path, TfMain& window)
    : window_(window),
      server_(std::make_unique<Control_server>(path)),
      loops_(window),
      runner_(loops_),
      sessions_(runner_)
{
    notifier_ = new QSocketNotifier(server_->ReadyFd(), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &Control_link::TakeEvents);
    timer_ = new QTimer(this);
    timer_->setSingleShot(true);
    connect(timer_, &QTimer::timeout, this, &Control_link::Tick);
    timer_->start(kTrafficPeriodMs);
}

Control_link::~Control_link()
{
    loops_.SetFeedsOn(false);  // the pane keeps no tap into this object
    // Replies already given (the "ok" of "quit") are written, briefly, before the socket goes.
    server_->FinishOutput(200);
}

void Control_link::TakeEvents()
{
    sessions_.TakeControlEvents(*server_);
    RunAndPlanNextTick();
}

void Control_link::Tick()
{
    sessions_.DrainTraffic();
    RunAndPlanNextTick();
}

void Control_link::RunAndPlanNextTick()
{
    if (window_.IsShutDown())
        return;
    if (QApplication::activeModalWidget()) {
        // An open dialog may show a loop or pump a command would remove: the commands wait
        // until the operator has closed it.
        timer_->start(kModalPollMs);
        return;
    }
    sessions_.Run();
    if (sessions_.QuitRequested()) {
        window_.close();
        return;
    }
    int next_ms = kTrafficPeriodMs;
    if (const auto at = sessions_.NextCheck()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(*at - Command_sessions::Clock::now()).count();
        next_ms = static_cast<int>(std::clamp<long long>(left + 1, 0, kTrafficPeriodMs));
    }
    if (!timer_->isActive() || timer_->remainingTime() > next_ms)
        timer_->start(next_ms);
}
