// The program's application object: an exception that escapes an event handler is shown in a
// message box and the program goes on.
#include <QTimer>

#include "platform/error.h"
#include "screens/screens_kit.h"
#include "shell/gallion_application.h"

using namespace screens_kit;

class Application_test : public QObject {
    Q_OBJECT
private slots:
    void EscapedErrorIsShownAndTheProgramGoesOn()
    {
        Modal_answerer answerer;
        bool later_ran = false;
        QTimer::singleShot(0, [] { throw Gallion_error("Invalid port: /dev/ttyS9"); });
        QTimer::singleShot(20, [&] { later_ran = true; });
        QVERIFY(WaitUntil([&] { return later_ran && answerer.Count() == 1; }));
        QCOMPARE(answerer.Texts(), QStringList{QStringLiteral("Invalid port: /dev/ttyS9")});
    }
};

GALLION_SCREENS_TEST_MAIN(Application_test)
#include "application_test.moc"
