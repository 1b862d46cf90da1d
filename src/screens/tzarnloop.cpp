#include "screens/tzarnloop.h"

#include "platform/error.h"
#include "screens/pump_panel.h"

namespace {

const Page_traits kZarnTraits{
    QStringLiteral("Select visible nozzles..."),
    /*decimals_items=*/false,
    /*z_lifts=*/true,
    /*refresh_after_key=*/false,
    /*refresh_on_show=*/true,
    /*select_before_nozzle_click=*/false,
};

std::unique_ptr<Pump_loop> Checked(std::unique_ptr<Pump_loop> loop)
{
    if (!loop || loop->GetProtocol() != Protocol::zarn)
        throw Gallion_error("Not a Zarn loop");
    return loop;
}

}  // namespace

TZarnLoop::TZarnLoop(std::unique_ptr<Pump_loop> loop, Page_dialogs& dialogs, QWidget* parent)
    : TLoop(Checked(std::move(loop)), dialogs, kZarnTraits, parent)
{
    Build();
}

TZarnLoop::TZarnLoop(const std::string& port_name, bool spy, int first, int last, Page_dialogs& dialogs,
                     QWidget* parent)
    : TZarnLoop(CreateLoop(Protocol::zarn, port_name, spy, first, last), dialogs, parent)
{
}

TPumpPanel* TZarnLoop::MakePanel(int left, int top, int position, int pump_number)
{
    return new TZarnPump(this, left, top, position, pump_number);
}
