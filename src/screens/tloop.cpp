#include "screens/tloop.h"

#include <QActionGroup>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QSignalBlocker>

#include "platform/error.h"
#include "screens/pump_panel.h"

namespace {

const QColor kSelectionColour(0, 255, 0);
constexpr int kFlowStep = 10;       // litres per minute, keys A and Q
constexpr int kNormalAutomation = 2;
constexpr int kMaxSelectionSteps = 16;

// Nozzle of a digit key: 1-9, and 0 for nozzle 10; 0 when the key is no digit.
int DigitNozzle(int key)
{
    if (key >= Qt::Key_1 && key <= Qt::Key_9)
        return key - Qt::Key_0;
    if (key == Qt::Key_0)
        return 10;
    return 0;
}

}  // namespace

int GridLeft(int position)
{
    return 5 + 112 * (position % 4);
}

int GridTop(int position)
{
    return 5 + 120 * (position / 4);
}

int PageKeyOf(const QKeyEvent& event)
{
    const int key = event.key();
    if (key == Qt::Key_section || key == Qt::Key_QuoteLeft)
        return kSectionKey;
    const QString text = event.text();
    if (text == QStringLiteral("\u00a7") || text == QStringLiteral("`"))
        return kSectionKey;
    if (key == Qt::Key_Enter)
        return Qt::Key_Return;
    return key;
}

bool IgnoresAutoRepeat(int key)
{
    return key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Insert || key == Qt::Key_Delete ||
           (key >= Qt::Key_F1 && key <= Qt::Key_F35);
}

TLoop::TLoop(std::unique_ptr<Pump_loop> loop, Page_dialogs& dialogs, const Page_traits& traits, QWidget* parent)
    : QWidget(parent), loop_(std::move(loop)), dialogs_(dialogs), traits_(traits)
{
    if (!loop_)
        throw Gallion_error("A loop page needs a loop");
}

TLoop::~TLoop()
{
    // Panels go before the loop they show; the loop (its threads and port) last.
    for (TPumpPanel*& panel : panels_) {
        delete panel;
        panel = nullptr;
    }
}

int TLoop::Slots() const
{
    return loop_->Limits().max_pumps;
}

QString TLoop::Caption() const
{
    return QString::fromStdString(loop_->TabCaption());
}

void TLoop::Build()
{
    // The selection frame lies beneath the panels: a green border 5 pixels wide around the
    // selected position.
    selection_frame_ = new QWidget(this);
    selection_frame_->setAutoFillBackground(true);
    QPalette palette = selection_frame_->palette();
    palette.setColor(QPalette::Window, kSelectionColour);
    selection_frame_->setPalette(palette);
    selection_frame_->setGeometry(GridLeft(0) - 5, GridTop(0) - 5, 110, 125);

    BuildMenus();

    for (int p = 0; p < loop_->Positions() && p < Slots(); ++p) {
        auto* empty = new TEmptyPosition(this, GridLeft(p), GridTop(p), p, loop_->PumpNumberOf(p));
        connect(empty, &TEmptyPosition::PanelClicked, this, &TLoop::SelectPosition);
        connect(empty, &TEmptyPosition::MenuRequested, this, &TLoop::OpenLoopMenu);
        empty_[p] = empty;
    }
    for (int p = 0; p < loop_->Positions() && p < Slots(); ++p) {
        if (loop_->HasPump(p))
            CreatePanel(p);
    }
    setMinimumSize(GridLeft(3) + TPumpPanel::kWidth + 5, GridTop(Slots() - 1) + TPumpPanel::kHeight + 5);
    setFocusPolicy(Qt::NoFocus);
    UpdatePumps(true);
    saved_communication_ = true;
}

void TLoop::BuildMenus()
{
    pump_menu_ = new QMenu(this);
    detail_item_ = pump_menu_->addAction(QStringLiteral("Detail..."), this, [this] { Detail(menu_position_); });
    commit_item_ = pump_menu_->addAction(QStringLiteral("Commit error"), this,
                                         [this] { loop_->CommitError(menu_position_); });
    visible_item_ = pump_menu_->addAction(traits_.visible_nozzles_caption, this,
                                          [this] { SelectVisibleNozzles(menu_position_); });
    logging_item_ = pump_menu_->addAction(QStringLiteral("Log..."), this, [this] {
        if (loop_->IsLogging(menu_position_))
            loop_->StopLogging(menu_position_);
        else
            BeginLogging(menu_position_);
    });
    automate_menu_ = pump_menu_->addMenu(QStringLiteral("Automate"));
    auto* automate_group = new QActionGroup(automate_menu_);
    automate_group->setExclusive(true);
    const char* const levels[] = {"Manual", "Light", "Normal", "Heavy"};
    for (int level = 0; level < 4; ++level) {
        QAction* item = automate_menu_->addAction(QString::fromLatin1(levels[level]));
        item->setCheckable(true);
        automate_group->addAction(item);
        connect(item, &QAction::triggered, this, [this, level] { loop_->SetAutomation(menu_position_, level); });
        automate_items_[level] = item;
    }
    filter_item_ = pump_menu_->addAction(QStringLiteral("Filter message display"), this,
                                         [this] { loop_->SetFilterPosition(menu_position_); });
    error_setup_item_ = pump_menu_->addAction(QStringLiteral("Error setup..."), this,
                                              [this] { ErrorSetup(menu_position_); });
    if (traits_.decimals_items) {
        decimals_item_ = pump_menu_->addAction(QStringLiteral("Set decimals in loop..."), this, [this] {
            if (loop_->HasPump(menu_position_))
                SetDecimalsInLoop();
        });
    }
    connection_item_ = pump_menu_->addAction(QStringLiteral("Disconnect pump"), this, [this] {
        if (loop_->HasPump(menu_position_))
            loop_->SetConnected(menu_position_, !loop_->IsConnected(menu_position_));
    });
    remove_item_ = pump_menu_->addAction(QStringLiteral("Remove pump"), this, [this] { RemovePump(menu_position_); });

    loop_menu_ = new QMenu(this);
    new_pump_item_ = loop_menu_->addAction(QStringLiteral("New pump"), this, [this] { AddPump(menu_position_); });
    if (traits_.decimals_items)
        loop_decimals_item_ = loop_menu_->addAction(QStringLiteral("Set decimals in loop..."), this,
                                                    [this] { SetDecimalsInLoop(); });
}

void TLoop::PreparePumpMenu(int position)
{
    menu_position_ = position;
    SelectPosition(position);
    const bool pump = loop_->HasPump(position);
    const bool logging = pump && loop_->IsLogging(position);
    logging_item_->setText(logging ? QStringLiteral("Abort logging") : QStringLiteral("Begin logging"));
    connection_item_->setText(!pump || loop_->IsConnected(position) ? QStringLiteral("Disconnect")
                                                                    : QStringLiteral("Connect"));
    const int level = pump ? loop_->AutomationLevel(position) : 0;
    for (int i = 0; i < 4; ++i) {
        const QSignalBlocker block(automate_items_[i]);
        automate_items_[i]->setChecked(i == level);
    }
    // Items whose dialog is not built yet stay disabled rather than do nothing.
    detail_item_->setEnabled(dialogs_.Available(Page_dialog::detail));
    visible_item_->setEnabled(dialogs_.Available(Page_dialog::visible_nozzles));
    logging_item_->setEnabled(logging || dialogs_.Available(Page_dialog::log));
    error_setup_item_->setEnabled(dialogs_.Available(Page_dialog::error_setup));
    if (decimals_item_)
        decimals_item_->setEnabled(dialogs_.Available(Page_dialog::decimals));
}

void TLoop::PrepareLoopMenu(int position)
{
    menu_position_ = position;
    SelectPosition(position);
    if (loop_decimals_item_)
        loop_decimals_item_->setEnabled(dialogs_.Available(Page_dialog::decimals));
}

void TLoop::OpenPumpMenu(int position, const QPoint& where)
{
    PreparePumpMenu(position);
    pump_menu_->popup(where);
}

void TLoop::OpenLoopMenu(int position, const QPoint& where)
{
    PrepareLoopMenu(position);
    loop_menu_->popup(where);
}

TPumpPanel* TLoop::Panel(int position) const
{
    return position >= 0 && position < Slots() ? panels_[position] : nullptr;
}

TEmptyPosition* TLoop::EmptyPanel(int position) const
{
    return position >= 0 && position < Slots() ? empty_[position] : nullptr;
}

void TLoop::SelectPosition(int position)
{
    if (position < 0 || position >= Slots())
        return;
    selected_ = position;
    selection_frame_->move(GridLeft(position) - 5, GridTop(position) - 5);
}

void TLoop::CreatePanel(int position)
{
    TPumpPanel* panel = MakePanel(GridLeft(position), GridTop(position), position, loop_->PumpNumberOf(position));
    connect(panel, &TPumpPanel::NozzleClicked, this, &TLoop::NozzleButton);
    connect(panel, &TPumpPanel::FlowClicked, this, &TLoop::FlowButton);
    connect(panel, &TPumpPanel::PanelClicked, this, &TLoop::SelectPosition);
    connect(panel, &TPumpPanel::MenuRequested, this, &TLoop::OpenPumpMenu);
    panels_[position] = panel;
}

void TLoop::AddPump(int position)
{
    if (position >= 0 && position < Slots() && !panels_[position] && loop_->AddPump(position))
        CreatePanel(position);
    UpdatePumps(true);
}

void TLoop::RemovePump(int position)
{
    if (position < 0 || position >= Slots() || !panels_[position])
        return;
    const auto answer = QMessageBox::question(this, QStringLiteral("Confirm"), QStringLiteral("Remove pump ? "),
                                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    DeletePump(position);
}

void TLoop::DeletePump(int position)
{
    if (position < 0 || position >= Slots() || !panels_[position])
        return;
    delete panels_[position];
    panels_[position] = nullptr;
    loop_->RemovePump(position);
}

void TLoop::ToggleFlow(int position)
{
    loop_->ToggleFlow(position);
}

void TLoop::BeginLogging(int position)
{
    if (!loop_->HasPump(position))
        return;
    std::string file_name = loop_->ProposedLogName(position);
    bool interpreted = true;
    if (!dialogs_.AskLog(this, file_name, interpreted))
        return;
    try {
        loop_->StartLogging(position, file_name, interpreted);
    } catch (const Gallion_error& error) {
        QMessageBox::warning(this, QStringLiteral("Gallion"), QString::fromStdString(error.what()));
    }
}

void TLoop::UpdatePumps(bool force)
{
    Panel_view view;
    for (int p = 0; p < Slots(); ++p) {
        if (panels_[p] && loop_->GetPanelView(p, view))
            panels_[p]->Show(view, force);
    }
}

void TLoop::SelectVisibleNozzles(int position)
{
    if (!loop_->HasPump(position))
        return;
    // The dialog covers the nozzles the keys reach (Zarn 1-10, current loop 1-5); a Zarn pump's
    // nozzles 11-15 keep their flags.
    std::vector<bool> visible = loop_->VisibleNozzles(position);
    visible.resize(static_cast<size_t>(loop_->Limits().key_nozzles), false);
    if (dialogs_.AskVisibleNozzles(this, GetProtocol(), visible))
        loop_->SetVisibleNozzles(position, visible);
}

void TLoop::ErrorSetup(int position)
{
    if (loop_->HasPump(position))
        dialogs_.ErrorSetup(this, *loop_, position);
}

void TLoop::Detail(int position)
{
    if (loop_->HasPump(position))
        dialogs_.Detail(this, *loop_, position);
}

void TLoop::SetDecimalsInLoop()
{
    std::optional<Loop_decimals> decimals = loop_->Decimals();
    if (!decimals)
        return;
    if (dialogs_.AskDecimals(this, *decimals))
        loop_->SetDecimals(*decimals);
}

void TLoop::SetCommunicationOn(bool on)
{
    loop_->SetCommunicationOn(on);
}

void TLoop::SetInterpreted(bool interpreted)
{
    loop_->SetInterpreted(interpreted);
}

bool TLoop::GetInterpreted() const
{
    return loop_->GetInterpreted();
}

std::string TLoop::FetchCommunication()
{
    return loop_->FetchCommunicationText();
}

uint8_t TLoop::GetFilterAddress() const
{
    return loop_->GetFilterAddress();
}

void TLoop::PageHide()
{
    // A held feed is off only for the hold: the page keeps what it was before.
    saved_communication_ = held_ ? held_communication_ : loop_->IsCommunicationOn();
    held_ = false;
    loop_->SetCommunicationOn(false);
}

void TLoop::HoldCommunication(bool hold)
{
    if (hold == held_)
        return;
    held_ = hold;
    if (hold) {
        held_communication_ = loop_->IsCommunicationOn();
        loop_->SetCommunicationOn(false);
    } else {
        loop_->SetCommunicationOn(held_communication_);
    }
}

void TLoop::PageShow()
{
    loop_->SetCommunicationOn(saved_communication_);
    if (traits_.refresh_on_show)
        UpdatePumps(false);
}

void TLoop::NozzleButton(int position, int nozzle)
{
    if (traits_.select_before_nozzle_click) {
        SelectPosition(position);
        loop_->NozzleClick(position, nozzle);
        UpdatePumps(true);
        return;
    }
    if (!loop_->HasPump(position))
        return;
    loop_->NozzleClick(position, nozzle);
    SelectPosition(position);
    // The click has raised the button; show the pump's nozzles again at once rather than on the
    // next timer tick.
    UpdatePumps(false);
}

void TLoop::FlowButton(int position)
{
    if (!loop_->HasPump(position))
        return;
    ToggleFlow(position);
    SelectPosition(position);
}

void TLoop::MoveSelection(int direction)
{
    int step = 0;
    switch (direction) {
    case 1: step = Slots() - 4; break;
    case 2: step = 4; break;
    case 3: step = Slots() - 1; break;
    case 4: step = 1; break;
    default: return;
    }
    // From a position inside the loop every direction comes back within 16 steps; from one
    // outside it may never land inside, and then the selection stays.
    int position = selected_;
    for (int i = 0; i < kMaxSelectionSteps; ++i) {
        position = (position + step) % Slots();
        if (position < loop_->Positions()) {
            SelectPosition(position);
            return;
        }
    }
}

void TLoop::ForEachPump(const std::function<void(int)>& action)
{
    for (int p = 0; p < Slots(); ++p) {
        if (loop_->HasPump(p))
            action(p);
    }
}

bool TLoop::HandleKey(int key, Qt::KeyboardModifiers modifiers)
{
    const bool handled = (modifiers & Qt::ControlModifier) ? KeyWithCtrl(key) : KeyOnSelected(key);
    if (traits_.refresh_after_key)
        UpdatePumps(true);
    return handled;
}

bool TLoop::KeyWithCtrl(int key)
{
    Pump_loop& loop = *loop_;
    if (const int nozzle = DigitNozzle(key)) {
        if (nozzle <= loop.Limits().key_nozzles)
            ForEachPump([&](int p) { loop.NozzleKeyOnAll(p, nozzle); });
        return true;
    }
    switch (key) {
    case Qt::Key_Space: ForEachPump([&](int p) { ToggleFlow(p); }); return true;
    case Qt::Key_Insert:
        for (int p = 0; p < Slots(); ++p)
            AddPump(p);
        return true;
    case Qt::Key_Delete:
        for (int p = 0; p < Slots(); ++p)
            RemovePump(p);
        return true;
    case Qt::Key_A: ForEachPump([&](int p) { loop.AdjustFlow(p, -kFlowStep); }); return true;
    case Qt::Key_Q: ForEachPump([&](int p) { loop.AdjustFlow(p, kFlowStep); }); return true;
    case Qt::Key_D: loop.SetFilterPosition(std::nullopt); return true;
    case Qt::Key_O: ForEachPump([&](int p) { loop.SetAutomation(p, kNormalAutomation); }); return true;
    case Qt::Key_P: ForEachPump([&](int p) { loop.SetAutomation(p, 0); }); return true;
    case kSectionKey: ForEachPump([&](int p) { loop.HangUpNozzle(p); }); return true;
    default: return false;
    }
}

bool TLoop::KeyOnSelected(int key)
{
    switch (key) {
    case Qt::Key_Up: MoveSelection(1); return true;
    case Qt::Key_Down: MoveSelection(2); return true;
    case Qt::Key_Left: MoveSelection(3); return true;
    case Qt::Key_Right: MoveSelection(4); return true;
    case Qt::Key_Insert: AddPump(selected_); return true;
    default: break;
    }
    const int s = selected_;
    Pump_loop& loop = *loop_;
    const bool pump = loop.HasPump(s);
    if (const int nozzle = DigitNozzle(key)) {
        if (pump && nozzle <= loop.Limits().key_nozzles)
            loop.NozzleClick(s, nozzle);
        return true;
    }
    switch (key) {
    case Qt::Key_Return:
        if (pump)
            Detail(s);
        return true;
    case Qt::Key_Space:
        if (pump) {
            ToggleFlow(s);
            SelectPosition(s);
        }
        return true;
    case Qt::Key_Delete: RemovePump(s); return true;
    case Qt::Key_A: loop.AdjustFlow(s, -kFlowStep); return true;
    case Qt::Key_Q: loop.AdjustFlow(s, kFlowStep); return true;
    case Qt::Key_D:
        if (pump)
            loop.SetFilterPosition(s);
        return true;
    case Qt::Key_E: loop.CommitError(s); return true;
    case Qt::Key_K: loop.StopLogging(s); return true;
    case Qt::Key_L: BeginLogging(s); return true;
    case Qt::Key_N: SelectVisibleNozzles(s); return true;
    case Qt::Key_O: loop.SetAutomation(s, kNormalAutomation); return true;
    case Qt::Key_P: loop.SetAutomation(s, 0); return true;
    case Qt::Key_R: ErrorSetup(s); return true;
    case Qt::Key_Z:
        if (traits_.z_lifts)
            loop.LiftNozzle(s);
        return true;
    case kSectionKey: loop.HangUpNozzle(s); return true;
    default: return false;
    }
}
