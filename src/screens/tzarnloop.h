#pragma once
#include "screens/tloop.h"

// The page of a Zarn loop: 16 positions in 4 rows, digit keys for nozzles 1-10 (0 is nozzle 10),
// Z lifts the selected nozzle; refreshed on the timer and when shown.
class TZarnLoop : public TLoop {
    Q_OBJECT
public:
    // A loaded loop (from a configuration file): panels for the pumps it has.
    TZarnLoop(std::unique_ptr<Pump_loop> loop, Page_dialogs& dialogs, QWidget* parent = nullptr);
    // A new loop on a port, without pumps; raises Gallion_error when the port cannot be opened.
    TZarnLoop(const std::string& port_name, bool spy, int first, int last, Page_dialogs& dialogs,
              QWidget* parent = nullptr);

protected:
    TPumpPanel* MakePanel(int left, int top, int position, int pump_number) override;
};
