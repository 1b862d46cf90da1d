// gallion: the windows program. Options: --ini FILE (the settings file), --config FILE or a lone
// FILE (loads the loops of a configuration file at start: a desktop's "open with" passes the file
// alone), --control PATH (takes the runner's commands from clients of a local socket), --help.

#include <unistd.h>

#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/error.h"
#include "platform/settings.h"
#include "platform/stop_signals.h"
#include "shell/control_link.h"
#include "shell/formmain.h"
#include "shell/gallion_application.h"

namespace {

const char* const kUsage =
    "usage: gallion [--ini FILE] [--config FILE | FILE] [--control PATH]\n"
    "--ini FILE     the settings file to use instead of Gallion.ini\n"
    "--config FILE  loads the loops of a configuration file at start (a FILE alone does the same)\n"
    "--control PATH takes the runner's commands from clients of a Unix-domain socket at PATH\n"
    "               (for this user only)\n"
    "--help         this text\n";

}  // namespace

int main(int argc, char** argv)
{
    Gallion_application app(argc, argv);
    std::string config;
    std::string control_path;
    const QStringList arguments = app.arguments();
    for (int i = 1; i < arguments.size(); ++i) {
        const QString& option = arguments[i];
        if (option == QStringLiteral("--help")) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if ((option == QStringLiteral("--ini") || option == QStringLiteral("--config") ||
             option == QStringLiteral("--control")) &&
            i + 1 < arguments.size()) {
            const std::string value = arguments[++i].toLocal8Bit().toStdString();
            if (option == QStringLiteral("--ini"))
                Settings::SetFile(value);
            else if (option == QStringLiteral("--control"))
                control_path = value;
            else
                config = value;
            continue;
        }
        // One configuration file named alone, as a desktop's file manager passes it.
        if (!option.startsWith(QLatin1Char('-')) && config.empty() && !option.isEmpty()) {
            config = option.toLocal8Bit().toStdString();
            continue;
        }
        std::fprintf(stderr, "gallion: unknown option %s\n%s", option.toLocal8Bit().constData(), kUsage);
        return 2;
    }

    // SIGINT and SIGTERM (Ctrl-C in the terminal that started the program, the desktop session
    // ending) run the shut-down sequence of "Exit": settings saved, the configuration auto-saved,
    // every loop destroyed, ports released, virtual-port links removed. The window thread does it,
    // also while a dialog or message box is open (the window closes it first).
    const int stop_signal_fd = WatchStopSignals();
    TfMain window;
    // The socket is made before the window shows: a refused one ends the program untouched.
    std::unique_ptr<Control_link> control;
    if (!control_path.empty()) {
        try {
            control = std::make_unique<Control_link>(control_path, window);
        } catch (const Gallion_error& error) {
            std::fprintf(stderr, "gallion: %s\n", error.what());
            return 2;
        }
    }
    QSocketNotifier signal_notifier(stop_signal_fd, QSocketNotifier::Read);
    QObject::connect(&signal_notifier, &QSocketNotifier::activated, &window, [&window, stop_signal_fd] {
        char byte;
        while (read(stop_signal_fd, &byte, 1) > 0) {
        }
        // Closing the last window ends the event loop; with a dialog open the window closes it
        // first.
        window.CloseOnSignal();
    });
    app.SetKeyPreview([&window](QWidget* receiver, QKeyEvent* event) { return window.PreviewKey(receiver, event); });
    // Driven through the control socket, the program may have nobody at its screen: start-up
    // errors go to standard error instead of a box that nobody closes.
    window.SetStartUpErrorsToStandardError(control != nullptr);
    // The first showing (with its auto-load) and the loading of --config run inside the event
    // loop: a box they open is then a loop nested in it, which a signal closes before the window
    // (a box opened before the event loop runs would leave the close waiting for good).
    QTimer::singleShot(0, &window, [&window, &config] {
        window.show();
        if (!config.empty() && !window.IsShutDown())
            window.ReportStartUpErrors(window.LoadConfiguration(config), true);
    });
    const int status = app.exec();
    // However the event loop ended, the loops end as the shut-down sequence ends them.
    window.ShutDown();
    control.reset();
    app.SetKeyPreview({});
    return status;
}
