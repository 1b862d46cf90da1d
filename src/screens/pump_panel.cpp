#include "screens/pump_panel.h"

#include <QContextMenuEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QSignalBlocker>
#include <QToolButton>

#include "screens/page_fonts.h"

namespace {

const QColor kLampOnline(0, 255, 0);
const QColor kLampOffline(255, 0, 0);
const QColor kAllowedCaption(0, 128, 0);
const QColor kRefusedCaption(255, 0, 0);
const QColor kDisplayBackground(255, 255, 255);
const QColor kEmptyCaption(224, 224, 224);

// Pixel sizes of the panel's point sizes.
const int kCaptionPixels = page_fonts::PointsToPixels(8);
const int kDisplayPixels = page_fonts::PointsToPixels(7);
const int kNumberPixels = page_fonts::PointsToPixels(14);
const int kPlainNozzlePixels = page_fonts::PointsToPixels(10);
const int kSelectedNozzlePixels = page_fonts::PointsToPixels(14);
const int kIndicatorPixels = page_fonts::PointsToPixels(8);
const int kStatusPixels = 11;
const int kEmptyCaptionPixels = 32;

QLabel* MakeLabel(QWidget* parent, const QString& text, const QFont& font, int left, int top)
{
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    label->move(left, top);
    label->adjustSize();
    return label;
}

void SetTextColour(QWidget* widget, QPalette::ColorRole role, const QColor& colour)
{
    QPalette palette = widget->palette();
    palette.setColor(role, colour);
    widget->setPalette(palette);
}

}  // namespace

TLamp::TLamp(QWidget* parent) : QWidget(parent), colour_(kLampOffline) {}

void TLamp::SetColour(const QColor& colour)
{
    if (colour == colour_)
        return;
    colour_ = colour;
    update();
}

void TLamp::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(colour_);
    painter.drawEllipse(QRectF(0.5, 0.5, width() - 1.0, height() - 1.0));
}

TPumpPanel::TPumpPanel(QWidget* page, int left, int top, int position, int pump_number)
    : QFrame(page), position_(position)
{
    hide();
    setGeometry(left, top, kWidth, kHeight);
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(1);
    setAutoFillBackground(true);

    // The status texts run up to the lamp ("Filling compl." is the longest).
    status_ = new QLabel(this);
    status_->setFont(page_fonts::Font(kStatusPixels, true));
    status_->setGeometry(4, 3, 80, 13);

    lamp_ = new TLamp(this);
    lamp_->setGeometry(85, 5, 10, 10);

    number_ = MakeLabel(this, QString::number(pump_number), page_fonts::Font(kNumberPixels), 75, 20);

    MakeLabel(this, QStringLiteral("V"), page_fonts::Font(kCaptionPixels), 2, 20);
    volume_ = MakeDisplay(20, QStringLiteral("Filled volume"));
    MakeLabel(this, QStringLiteral("A"), page_fonts::Font(kCaptionPixels), 2, 39);
    amount_ = MakeDisplay(39, QStringLiteral("Filled amount"));
    MakeLabel(this, QStringLiteral("P"), page_fonts::Font(kCaptionPixels), 2, 58);
    price_ = MakeDisplay(58, QStringLiteral("Filling price"));

    flow_ = new QToolButton(this);
    flow_->setText(QStringLiteral("Flow"));
    flow_->setToolTip(QStringLiteral("Toggle flow 0/40 l/min"));
    flow_->setGeometry(0, 76, 70, 17);
    flow_->setFocusPolicy(Qt::NoFocus);
    connect(flow_, &QToolButton::clicked, this, [this] { emit FlowClicked(position_); });

    logging_ = new QLabel(this);
    logging_->setFont(page_fonts::Font(kIndicatorPixels));
    logging_->setGeometry(72, 74, 8, 13);
    automation_ = new QLabel(this);
    automation_->setFont(page_fonts::Font(kIndicatorPixels));
    automation_->setGeometry(80, 74, 8, 13);

    // Nozzle buttons never toggle themselves: they are plain buttons whose down state only the
    // page's refresh sets from the pump, and a click is reported through `clicked` alone.
    for (int i = 0; i < kNozzleButtons; ++i) {
        auto* button = new QToolButton(this);
        button->setText(QString::number(i + 1));
        button->setGeometry(20 * i, 93, 20, 22);
        button->setFont(page_fonts::Font(kPlainNozzlePixels));
        button->setToolTip(QStringLiteral("Lift and select nozzle ") + QString::number(i + 1));
        button->setFocusPolicy(Qt::NoFocus);
        connect(button, &QToolButton::clicked, this, [this, i] { emit NozzleClicked(position_, i + 1); });
        nozzles_[i] = button;
    }
    show();
}

QLabel* TPumpPanel::MakeDisplay(int top, const QString& hint)
{
    auto* box = new QFrame(this);
    box->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    box->setLineWidth(1);
    box->setGeometry(12, top, 58, 14);
    auto* display = new QLabel(box);
    display->setGeometry(1, 1, 56, 12);
    display->setFont(page_fonts::Font(kDisplayPixels));
    display->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    display->setAutoFillBackground(true);
    SetTextColour(display, QPalette::Window, kDisplayBackground);
    display->setToolTip(hint);
    return display;
}

QToolButton* TPumpPanel::NozzleButton(int nozzle) const
{
    if (nozzle < 1 || nozzle > kNozzleButtons)
        return nullptr;
    return nozzles_[nozzle - 1];
}

void TPumpPanel::Show(const Panel_view& view, bool force)
{
    const bool all = force || !shown_;
    const Panel_view none;
    const Panel_view& shown = shown_ ? *shown_ : none;
    const QSignalBlocker block(this);

    auto write = [this, all](QLabel* label, const std::string& text, const std::string& old) {
        if (all || text != old) {
            label->setText(QString::fromStdString(text));
            ++rewrites_;
        }
    };
    write(status_, view.status_text, shown.status_text);
    write(volume_, view.volume_text, shown.volume_text);
    write(amount_, view.amount_text, shown.amount_text);
    write(price_, view.price_text, shown.price_text);
    if (all || view.online != shown.online) {
        lamp_->SetColour(view.online ? kLampOnline : kLampOffline);
        ++rewrites_;
    }
    for (int i = 0; i < kNozzleButtons; ++i)
        SetNozzle(i, view.nozzles[i], all);

    // The indicators are written on every refresh.
    logging_->setText(view.logging ? QStringLiteral("L") : QString());
    automation_->setText(view.automation_level != 0 ? QStringLiteral("A") : QString());

    if (all || view.connected != shown.connected)
        SetConnected(view.connected);
    shown_ = view;
}

// Writes button `index` only where what it shows differs from what the pump reports, judged from
// the button itself: a colour or style that changed while the button was hidden is caught up
// when it reappears, and a down state lost to a mouse click is set again.
void TPumpPanel::SetNozzle(int index, const Nozzle_view& nozzle, bool force)
{
    QToolButton* button = nozzles_[index];
    const QSignalBlocker block(button);
    const bool was_visible = !button->isHidden();
    if (force || nozzle.visible != was_visible) {
        button->setVisible(nozzle.visible);
        ++rewrites_;
    }
    const bool appeared = nozzle.visible && !was_visible;
    const QColor caption = nozzle.allowed ? kAllowedCaption : kRefusedCaption;
    if (force || appeared || button->palette().color(QPalette::ButtonText) != caption) {
        SetTextColour(button, QPalette::ButtonText, caption);
        ++rewrites_;
    }
    if (force || appeared || button->isDown() != nozzle.selected || button->font().bold() != nozzle.selected) {
        const QString number = QString::number(index + 1);
        button->setFont(nozzle.selected ? page_fonts::Font(kSelectedNozzlePixels, true)
                                        : page_fonts::Font(kPlainNozzlePixels));
        button->setDown(nozzle.selected);
        button->setToolTip(nozzle.selected ? QStringLiteral("Replace nozzle ") + number
                                           : QStringLiteral("Lift and select nozzle ") + number);
        ++rewrites_;
    }
}

void TPumpPanel::SetConnected(bool connected)
{
    setFrameShadow(connected ? QFrame::Raised : QFrame::Sunken);
    const QColor background = connected ? kDisplayBackground : palette().color(QPalette::Window);
    for (QLabel* display : {volume_, amount_, price_})
        SetTextColour(display, QPalette::Window, background);
    ++rewrites_;
}

void TPumpPanel::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        emit PanelClicked(position_);
    QFrame::mousePressEvent(event);
}

void TPumpPanel::contextMenuEvent(QContextMenuEvent* event)
{
    emit MenuRequested(position_, event->globalPos());
    event->accept();
}

TEmptyPosition::TEmptyPosition(QWidget* page, int left, int top, int position, int pump_number)
    : QFrame(page), position_(position)
{
    setGeometry(left, top, TPumpPanel::kWidth, TPumpPanel::kHeight);
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(1);
    // Opaque, as a pump panel is: of the selection frame beneath only its border shows.
    setAutoFillBackground(true);
    caption_ = new QLabel(QString::number(pump_number), this);
    caption_->setGeometry(rect());
    caption_->setAlignment(Qt::AlignCenter);
    caption_->setFont(page_fonts::Font(kEmptyCaptionPixels, true));
    SetTextColour(caption_, QPalette::WindowText, kEmptyCaption);
}

void TEmptyPosition::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        emit PanelClicked(position_);
    QFrame::mousePressEvent(event);
}

void TEmptyPosition::contextMenuEvent(QContextMenuEvent* event)
{
    emit MenuRequested(position_, event->globalPos());
    event->accept();
}
