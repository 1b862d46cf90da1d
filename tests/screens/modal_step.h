#pragma once
// Plays the user at the next modal dialog: from a timer it waits for a modal window other than
// the ones already open, then runs the step on it once (and closes it if the step left it open). Every wait has a deadline: Done() tells
// whether the step ran.
#include <QApplication>
#include <QDialog>
#include <QPointer>
#include <QTimer>
#include <functional>

class Modal_step : public QObject {
public:
    using Step = std::function<void(QWidget*)>;
    explicit Modal_step(Step step) : step_(std::move(step)), before_(QApplication::activeModalWidget())
    {
        connect(&timer_, &QTimer::timeout, this, &Modal_step::Look);
        timer_.start(5);
    }
    bool Done() const { return done_; }

private:
    void Look()
    {
        QWidget* modal = QApplication::activeModalWidget();
        if (done_ || !modal || !modal->isVisible() || modal == before_)
            return;
        // Once only, even if the step runs an event loop of its own.
        done_ = true;
        timer_.stop();
        QPointer<QWidget> opened = modal;
        step_(modal);
        // A step that failed half way still ends the modal run.
        if (auto* dialog = qobject_cast<QDialog*>(opened.data()); dialog && dialog->isVisible())
            dialog->reject();
    }

    Step step_;
    QPointer<QWidget> before_;
    bool done_ = false;
    QTimer timer_;
};
