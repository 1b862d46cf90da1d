// The windows test program: the offscreen platform, the program's own application object, then
// the Qt Test classes the test files registered (screens_kit.h):
//   screens_tests [FILE_test] [Qt Test options]
// runs the class of tests/screens/FILE_test.cpp, or, without a file's name, every class in turn.
#include "screens/screens_kit.h"
#include "shell/gallion_application.h"

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    Gallion_application app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    return screens_kit::RunRegisteredTests(argc, argv);
}
