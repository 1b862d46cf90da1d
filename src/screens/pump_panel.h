#pragma once
#include <QColor>
#include <QFrame>
#include <QWidget>
#include <array>
#include <optional>

#include "loops/pump_loop.h"

class QLabel;
class QToolButton;

// The online lamp of a pump panel: a small filled circle.
class TLamp : public QWidget {
    Q_OBJECT
public:
    explicit TLamp(QWidget* parent);
    QColor Colour() const { return colour_; }
    void SetColour(const QColor& colour);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor colour_;
};

// The tile that stands for one pump on a loop page: status text, online lamp, pump number, the
// volume, amount and price displays, the flow button, the logging and automation indicators and
// one button per nozzle (1-5). The panel holds no pump logic: the page wires its signals and
// writes it through Show() on every refresh. Show() remembers what is on screen and touches a
// control only when its content changes (or when forced), so a refresh with nothing new does not
// repaint anything but the two indicators.
class TPumpPanel : public QFrame {
    Q_OBJECT
public:
    static constexpr int kWidth = 100;
    static constexpr int kHeight = 115;
    static constexpr int kNozzleButtons = 5;

    // Hidden while built, shown at the end; a lowered bevel until the first refresh.
    TPumpPanel(QWidget* page, int left, int top, int position, int pump_number);

    int Position() const { return position_; }

    // Writes what the pump reports; force redraws every control.
    void Show(const Panel_view& view, bool force);

    // Controls, for the page's wiring and for tests.
    QLabel* StatusLabel() const { return status_; }
    TLamp* Lamp() const { return lamp_; }
    QLabel* NumberLabel() const { return number_; }
    QLabel* VolumeDisplay() const { return volume_; }
    QLabel* AmountDisplay() const { return amount_; }
    QLabel* PriceDisplay() const { return price_; }
    QToolButton* FlowButton() const { return flow_; }
    QLabel* LoggingIndicator() const { return logging_; }
    QLabel* AutomationIndicator() const { return automation_; }
    QToolButton* NozzleButton(int nozzle) const;  // 1-5
    // Controls rewritten so far (the indicators excluded): a refresh that finds nothing new adds 0.
    int Rewrites() const { return rewrites_; }

signals:
    void NozzleClicked(int position, int nozzle);
    void FlowClicked(int position);
    void PanelClicked(int position);
    void MenuRequested(int position, const QPoint& global_position);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    QLabel* MakeDisplay(int top, const QString& hint);
    void SetConnected(bool connected);
    void SetNozzle(int index, const Nozzle_view& nozzle, bool force);

    int position_;
    QLabel* status_;
    TLamp* lamp_;
    QLabel* number_;
    QLabel* volume_;
    QLabel* amount_;
    QLabel* price_;
    QToolButton* flow_;
    QLabel* logging_;
    QLabel* automation_;
    std::array<QToolButton*, kNozzleButtons> nozzles_{};
    std::optional<Panel_view> shown_;  // none before the first refresh
    int rewrites_ = 0;
};

// The panel of a Zarn pump and of a current-loop pump: the same tile; the pump's protocol lies in
// what the page writes into it.
class TZarnPump : public TPumpPanel {
    Q_OBJECT
public:
    using TPumpPanel::TPumpPanel;
};

class TCL_pump : public TPumpPanel {
    Q_OBJECT
public:
    using TPumpPanel::TPumpPanel;
};

// The plain tile of a position without a pump: its pump number in large light-grey digits.
class TEmptyPosition : public QFrame {
    Q_OBJECT
public:
    TEmptyPosition(QWidget* page, int left, int top, int position, int pump_number);
    int Position() const { return position_; }
    QLabel* Caption() const { return caption_; }

signals:
    void PanelClicked(int position);
    void MenuRequested(int position, const QPoint& global_position);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    int position_;
    QLabel* caption_;
};
