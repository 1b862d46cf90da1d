#pragma once
#include <QObject>
#include <deque>
#include <memory>
#include <string>
#include <utility>

#include "headless/command_sessions.h"
#include "headless/runner.h"

class Control_server;
class QSocketNotifier;
class QTimer;
class TfMain;

// The runner's commands as they reach the windows program: the loops are the main window's
// pages, so "loop add" makes a tab and "pump add" a panel, as the operator's actions do. The
// traffic is what the communication pane shows (the active loop's feed, with the pane's
// Stop/Start, filter and text form).
class Page_loop_set : public Loop_set {
public:
    // Texts the pane has shown and no client has taken yet, at most this many.
    static constexpr size_t kMaxKeptTexts = 10000;

    explicit Page_loop_set(TfMain& window);
    size_t size() const override;
    Pump_loop* operator[](size_t index) const override;
    void Append(std::unique_ptr<Pump_loop> loop) override;
    void Erase(size_t index) override;
    void Clear() override;
    bool AddPump(Pump_loop& loop, int position) override;
    bool RemovePump(Pump_loop& loop, int position) override;
    void SetFeedsOn(bool on) override;
    std::string FetchTrafficText(size_t index) override;

private:
    TfMain& window_;
    bool tapping_ = false;
    std::deque<std::pair<const Pump_loop*, std::string>> texts_;
};

// The control socket of the windows program: its clients' command lines are carried out on the
// window thread (a socket notifier tells it when lines wait), one at a time in arrival order, with
// the same sessions and texts as the runner; a timer answers waits and sends traffic. "quit"
// closes the window, which ends the program as "Exit" does.
class Control_link : public QObject {
    Q_OBJECT
public:
    // Raises Gallion_error when the socket cannot be made (see Control_server).
    Control_link(const std::string& path, TfMain& window);
    ~Control_link() override;

private:
    void TakeEvents();
    void Tick();
    void RunAndPlanNextTick();

    TfMain& window_;
    std::unique_ptr<Control_server> server_;
    Page_loop_set loops_;
    Headless_runner runner_;
    Command_sessions sessions_;
    QSocketNotifier* notifier_ = nullptr;
    QTimer* timer_ = nullptr;
};
