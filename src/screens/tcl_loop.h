#pragma once
#include "screens/tloop.h"

// The page of a current-loop loop: 8 positions in 2 rows, digit keys for nozzles 1-5, the loop's
// decimals in both menus; every key and every nozzle click ends with a full refresh.
class TCL_Loop : public TLoop {
    Q_OBJECT
public:
    TCL_Loop(std::unique_ptr<Pump_loop> loop, Page_dialogs& dialogs, QWidget* parent = nullptr);
    TCL_Loop(const std::string& port_name, bool spy, int first, int last, Page_dialogs& dialogs,
             QWidget* parent = nullptr);

protected:
    TPumpPanel* MakePanel(int left, int top, int position, int pump_number) override;
};

// The page of a loop's protocol.
std::unique_ptr<TLoop> MakeLoopPage(std::unique_ptr<Pump_loop> loop, Page_dialogs& dialogs, QWidget* parent = nullptr);
