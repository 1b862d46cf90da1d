#pragma once
#include "screens/terror_simulation.h"

// The error-simulation dialog of Zarn pumps: alarm codes 1-21, and 100-103 that spoil the next
// replies on the line; a separator row stands for 0 (no error).
class TZarn_Errors : public TError_simulation {
    Q_OBJECT
public:
    explicit TZarn_Errors(const std::vector<Error_choice>& choices);
};
