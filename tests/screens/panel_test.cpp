// The pump panel on its own: layout, the state before the first refresh, and what a refresh
// writes (and does not rewrite).
#include <QLabel>
#include <QSignalSpy>
#include <QToolButton>

#include "screens/pump_panel.h"
#include "screens/screens_kit.h"
#include "shell/gallion_application.h"

using namespace screens_kit;

namespace {

Panel_view Filling()
{
    Panel_view view;
    view.status_text = "Filling";
    view.volume_text = "12.34";
    view.amount_text = "24.68";
    view.price_text = "2.000";
    view.online = true;
    for (auto& nozzle : view.nozzles)
        nozzle.visible = true;
    view.nozzles[0].allowed = true;
    view.nozzles[1].allowed = true;
    view.nozzles[1].selected = true;
    view.selected_nozzle = 2;
    view.connected = true;
    return view;
}

}  // namespace

class Panel_test : public QObject {
    Q_OBJECT
private slots:
    void LayoutAtItsPlaces()
    {
        QWidget page;
        TZarnPump panel(&page, 117, 125, 5, 23);
        QCOMPARE(panel.geometry(), QRect(117, 125, 100, 115));
        QCOMPARE(panel.Position(), 5);
        QCOMPARE(panel.NumberLabel()->text(), QStringLiteral("23"));
        QCOMPARE(panel.NumberLabel()->pos(), QPoint(75, 20));
        QCOMPARE(panel.Lamp()->geometry(), QRect(85, 5, 10, 10));
        QCOMPARE(panel.VolumeDisplay()->parentWidget()->geometry(), QRect(12, 20, 58, 14));
        QCOMPARE(panel.AmountDisplay()->parentWidget()->geometry(), QRect(12, 39, 58, 14));
        QCOMPARE(panel.PriceDisplay()->parentWidget()->geometry(), QRect(12, 58, 58, 14));
        QCOMPARE(panel.FlowButton()->geometry(), QRect(0, 76, 70, 17));
        QCOMPARE(panel.FlowButton()->text(), QStringLiteral("Flow"));
        QCOMPARE(panel.FlowButton()->toolTip(), QStringLiteral("Toggle flow 0/40 l/min"));
        QCOMPARE(panel.VolumeDisplay()->toolTip(), QStringLiteral("Filled volume"));
        QCOMPARE(panel.AmountDisplay()->toolTip(), QStringLiteral("Filled amount"));
        QCOMPARE(panel.PriceDisplay()->toolTip(), QStringLiteral("Filling price"));
        for (int i = 1; i <= 5; ++i) {
            QCOMPARE(panel.NozzleButton(i)->geometry(), QRect(20 * (i - 1), 93, 20, 22));
            QCOMPARE(panel.NozzleButton(i)->text(), QString::number(i));
        }
        // The number and the status text are not cut: they fit the space before the panel's edge
        // and the lamp.
        QVERIFY(panel.NumberLabel()->geometry().right() < 100);
        panel.StatusLabel()->setText(QStringLiteral("Filling compl."));
        QVERIFY(panel.StatusLabel()->fontMetrics().horizontalAdvance(panel.StatusLabel()->text()) <=
                panel.StatusLabel()->width());
        QVERIFY(panel.StatusLabel()->geometry().right() < panel.Lamp()->x());
    }

    void BeforeTheFirstRefresh()
    {
        QWidget page;
        TCL_pump panel(&page, 5, 5, 0, 1);
        QVERIFY(!panel.isHidden());
        QCOMPARE(panel.frameShadow(), QFrame::Sunken);
        QCOMPARE(panel.Lamp()->Colour(), QColor(255, 0, 0));
        QVERIFY(panel.StatusLabel()->text().isEmpty());
        QVERIFY(panel.VolumeDisplay()->text().isEmpty());
        for (int i = 1; i <= 5; ++i) {
            QVERIFY(!panel.NozzleButton(i)->isHidden());
            QVERIFY(!panel.NozzleButton(i)->isDown());
        }
    }

    void RefreshWritesWhatThePumpReports()
    {
        QWidget page;
        TZarnPump panel(&page, 5, 5, 0, 1);
        panel.Show(Filling(), false);
        QCOMPARE(panel.StatusLabel()->text(), QStringLiteral("Filling"));
        QCOMPARE(panel.VolumeDisplay()->text(), QStringLiteral("12.34"));
        QCOMPARE(panel.AmountDisplay()->text(), QStringLiteral("24.68"));
        QCOMPARE(panel.PriceDisplay()->text(), QStringLiteral("2.000"));
        QCOMPARE(panel.Lamp()->Colour(), QColor(0, 255, 0));
        QCOMPARE(panel.frameShadow(), QFrame::Raised);
        QCOMPARE(Background(panel.VolumeDisplay()), QColor(Qt::white));

        QToolButton* selected = panel.NozzleButton(2);
        QVERIFY(selected->isDown());
        QVERIFY(selected->font().bold());
        QCOMPARE(selected->font().pixelSize(), 19);
        QCOMPARE(selected->toolTip(), QStringLiteral("Replace nozzle 2"));
        QToolButton* other = panel.NozzleButton(1);
        QVERIFY(!other->isDown());
        QVERIFY(!other->font().bold());
        QCOMPARE(other->font().pixelSize(), 13);
        QCOMPARE(other->toolTip(), QStringLiteral("Lift and select nozzle 1"));
        QCOMPARE(other->palette().color(QPalette::ButtonText), QColor(0, 128, 0));
        QCOMPARE(panel.NozzleButton(3)->palette().color(QPalette::ButtonText), QColor(255, 0, 0));
        QVERIFY(panel.LoggingIndicator()->text().isEmpty());

        Panel_view next = Filling();
        next.logging = true;
        next.automation_level = 3;
        next.connected = false;
        next.online = false;
        next.nozzles[1].selected = false;
        next.selected_nozzle = 7;  // beyond the buttons: none of them is down
        panel.Show(next, false);
        QCOMPARE(panel.LoggingIndicator()->text(), QStringLiteral("L"));
        QCOMPARE(panel.AutomationIndicator()->text(), QStringLiteral("A"));
        QCOMPARE(panel.Lamp()->Colour(), QColor(255, 0, 0));
        QCOMPARE(panel.frameShadow(), QFrame::Sunken);
        QCOMPARE(Background(panel.AmountDisplay()), Background(&panel));
        for (int i = 1; i <= 5; ++i)
            QVERIFY(!panel.NozzleButton(i)->isDown());
    }

    void OnlyWhatChangedIsRewritten()
    {
        QWidget page;
        TZarnPump panel(&page, 5, 5, 0, 1);
        panel.Show(Filling(), false);
        const int after_first = panel.Rewrites();
        panel.Show(Filling(), false);
        QCOMPARE(panel.Rewrites(), after_first);

        // The amount alone changes (a price change during a filling): it is redrawn although the
        // volume stayed.
        Panel_view next = Filling();
        next.amount_text = "30.00";
        panel.Show(next, false);
        QCOMPARE(panel.AmountDisplay()->text(), QStringLiteral("30.00"));
        QCOMPARE(panel.Rewrites(), after_first + 1);

        panel.Show(next, true);
        QVERIFY(panel.Rewrites() > after_first + 1);
    }

    void HiddenNozzleLeavesTheOthersInPlace()
    {
        QWidget page;
        TZarnPump panel(&page, 5, 5, 0, 1);
        Panel_view view = Filling();
        view.nozzles[2].visible = false;
        view.nozzles[2].allowed = true;  // allowed while hidden
        panel.Show(view, false);
        QVERIFY(panel.NozzleButton(3)->isHidden());
        QCOMPARE(panel.NozzleButton(4)->geometry(), QRect(60, 93, 20, 22));

        // Shown again: its caption colour is the one it got while hidden.
        view.nozzles[2].visible = true;
        panel.Show(view, false);
        QVERIFY(!panel.NozzleButton(3)->isHidden());
        QCOMPARE(panel.NozzleButton(3)->palette().color(QPalette::ButtonText), QColor(0, 128, 0));
    }

    void NozzleButtonNeverTogglesItself()
    {
        QWidget page;
        page.resize(200, 200);
        TZarnPump panel(&page, 5, 5, 3, 4);
        page.show();
        QSignalSpy clicks(&panel, &TPumpPanel::NozzleClicked);
        QSignalSpy flows(&panel, &TPumpPanel::FlowClicked);
        // Refreshes that put buttons down and up, hide and show them, act on nothing.
        Panel_view other = Filling();
        other.nozzles[1].selected = false;
        other.nozzles[3].selected = true;
        other.nozzles[0].visible = false;
        panel.Show(other, false);
        panel.Show(Filling(), true);
        QCOMPARE(clicks.size(), 0);
        QCOMPARE(flows.size(), 0);

        // A click on an up button reports the click and leaves it up: only a refresh puts it down.
        ClickButton(panel.NozzleButton(1));
        QCOMPARE(clicks.size(), 1);
        QCOMPARE(clicks[0][0].toInt(), 3);
        QCOMPARE(clicks[0][1].toInt(), 1);
        QVERIFY(!panel.NozzleButton(1)->isDown());
        QVERIFY(!panel.NozzleButton(1)->isCheckable());

        // A refresh that finds the pump unchanged puts the clicked-up selected button down again.
        ClickButton(panel.NozzleButton(2));
        QVERIFY(!panel.NozzleButton(2)->isDown());
        panel.Show(Filling(), false);
        QVERIFY(panel.NozzleButton(2)->isDown());
    }

    void TwoPanelsEachHaveAButtonDown()
    {
        QWidget page;
        TZarnPump first(&page, 5, 5, 0, 1);
        TZarnPump second(&page, 117, 5, 1, 2);
        first.Show(Filling(), false);
        second.Show(Filling(), false);
        QVERIFY(first.NozzleButton(2)->isDown());
        QVERIFY(second.NozzleButton(2)->isDown());
    }

    void EmptyPosition()
    {
        QWidget page;
        TEmptyPosition empty(&page, 229, 125, 6, 7);
        QCOMPARE(empty.geometry(), QRect(229, 125, 100, 115));
        QCOMPARE(empty.frameShadow(), QFrame::Sunken);
        QCOMPARE(empty.Caption()->text(), QStringLiteral("7"));
        QCOMPARE(empty.Caption()->font().pixelSize(), 32);
        QVERIFY(empty.Caption()->font().bold());
        QCOMPARE(empty.Caption()->palette().color(QPalette::WindowText), QColor(224, 224, 224));
        QSignalSpy clicks(&empty, &TEmptyPosition::PanelClicked);
        QSignalSpy menus(&empty, &TEmptyPosition::MenuRequested);
        page.show();
        ClickPanel(&empty);
        RightClick(&empty);
        QCOMPARE(clicks.size(), 1);
        QCOMPARE(menus.size(), 1);
        QCOMPARE(menus[0][0].toInt(), 6);
    }
};

GALLION_SCREENS_TEST_MAIN(Panel_test)
#include "panel_test.moc"
