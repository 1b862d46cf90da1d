#include "screens/tzarn_errors.h"

TZarn_Errors::TZarn_Errors(const std::vector<Error_choice>& choices) : TError_simulation(choices, QString())
{
}
