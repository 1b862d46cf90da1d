#include "screens/tcl_loop.h"

#include "platform/error.h"
#include "screens/pump_panel.h"
#include "screens/tzarnloop.h"

namespace {

const Page_traits kCurrentLoopTraits{
    QStringLiteral("Set visible nozzles..."),
    /*decimals_items=*/true,
    /*z_lifts=*/false,
    /*refresh_after_key=*/true,
    /*refresh_on_show=*/false,
    /*select_before_nozzle_click=*/true,
};

std::unique_ptr<Pump_loop> Checked(std::unique_ptr<Pump_loop> loop)
{
    if (!loop || loop->GetProtocol() != Protocol::current_loop)
        throw Gallion_error("Not a current-loop loop");
    return loop;
}

}  // namespace

TCL_Loop::TCL_Loop(std::unique_ptr<Pump_loop> loop, Page_dialogs& dialogs, QWidget* parent)
    : TLoop(Checked(std::move(loop)), dialogs, kCurrentLoopTraits, parent)
{
    Build();
    Loop().SetCommunicationOn(true);
}

TCL_Loop::TCL_Loop(const std::string& port_name, bool spy, int first, int last, Page_dialogs& dialogs,
                   QWidget* parent)
    : TCL_Loop(CreateLoop(Protocol::current_loop, port_name, spy, first, last), dialogs, parent)
{
}

TPumpPanel* TCL_Loop::MakePanel(int left, int top, int position, int pump_number)
{
    return new TCL_pump(this, left, top, position, pump_number);
}

std::unique_ptr<TLoop> MakeLoopPage(std::unique_ptr<Pump_loop> loop, Page_dialogs& dialogs, QWidget* parent)
{
    if (loop && loop->GetProtocol() == Protocol::current_loop)
        return std::make_unique<TCL_Loop>(std::move(loop), dialogs, parent);
    return std::make_unique<TZarnLoop>(std::move(loop), dialogs, parent);
}
