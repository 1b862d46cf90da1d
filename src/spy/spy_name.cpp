#include "spy/spy_name.h"

namespace {

bool FitsInFileOrEventName(char c)
{
    unsigned char code = static_cast<unsigned char>(c);
    if (code < 0x20 || code == 0x7F)
        return false;
    switch (c) {
    case '/':
    case '\\':
    case ':':
    case '*':
    case '?':
    case '"':
    case '<':
    case '>':
    case '|':
        return false;
    default:
        return true;
    }
}

}  // namespace

std::string SpyNameOfPortName(const std::string& port_name)
{
    std::string name = port_name;
    for (char& c : name) {
        if (!FitsInFileOrEventName(c))
            c = '_';
    }
    return name;
}

std::string SpyName(const TPort& port)
{
    const Port_name& name = port.ParsedName();
    if (name.IsBarePseudoTerminal())
        return SpyNameOfPortName(port.DevicePath());
    if (name.ListensOnAnyFreePort())
        return SpyNameOfPortName(Port_name::Listen(port.DevicePath()).Text());
    return SpyNameOfPortName(port.Name());
}

std::string SpyControlEventName(const std::string& port_name)
{
    return "SPY_" + SpyNameOfPortName(port_name);
}
