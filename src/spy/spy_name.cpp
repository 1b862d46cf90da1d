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
    const std::string& name = port.Name();
    if (name == "pty")
        return SpyNameOfPortName(port.DevicePath());
    const std::string any_port = ":0";
    if (name.rfind("tcp-listen:", 0) == 0 && name.size() >= any_port.size() &&
        name.compare(name.size() - any_port.size(), any_port.size(), any_port) == 0)
        return SpyNameOfPortName("tcp-listen:" + port.DevicePath());
    return SpyNameOfPortName(name);
}

std::string SpyControlEventName(const std::string& port_name)
{
    return "SPY_" + SpyNameOfPortName(port_name);
}
