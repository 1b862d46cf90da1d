#include "screens/tcl_errors.h"

TCL_Errors::TCL_Errors(const std::vector<Error_choice>& choices) : TError_simulation(choices, QStringLiteral("for"))
{
}
