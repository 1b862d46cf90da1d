#pragma once
#include <stdexcept>
#include <string>

// The system's one general error type: it carries only a message text. Engines and the serial
// port raise it; callers show the text as it stands.
class Gallion_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
