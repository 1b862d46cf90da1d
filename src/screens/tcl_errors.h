#pragma once
#include "screens/terror_simulation.h"

// The error-simulation dialog of current-loop pumps: status alarms 4, 8, 16, 32 and 240-242 that
// act on the next replies or messages; the heading and separator rows keep the stored code.
class TCL_Errors : public TError_simulation {
    Q_OBJECT
public:
    explicit TCL_Errors(const std::vector<Error_choice>& choices);
};
