#pragma once
#include "screens/centred_dialog.h"

class QShowEvent;

// The base of the loop pages' small modal dialogs: created once without a parent and reused from
// any window (a page or a detail dialog), shown modally and centred on the screen each time.
class TSmall_dialog : public TCentred_dialog {
    Q_OBJECT
public:
    // Shows the dialog modally over the application; true when it was accepted.
    bool Run();

protected:
    TSmall_dialog();
    void showEvent(QShowEvent* event) override;
};
