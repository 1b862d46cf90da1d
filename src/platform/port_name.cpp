#include "platform/port_name.h"

namespace {

const std::string kPseudoTerminal = "pty";
const std::string kConnectPrefix = "tcp:";
const std::string kListenPrefix = "tcp-listen:";
const char* const kDefaultListenAddress = "127.0.0.1";

bool StartsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool ValidPortNumber(const std::string& text, bool zero_allowed)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const int number = std::stoi(text);
    return number <= 65535 && (number > 0 || zero_allowed);
}

// The reason a name is refused, or "" when it is good.
std::string Refusal(const Port_name& name)
{
    switch (name.GetKind()) {
    case Port_name::Kind::device:
        return name.DevicePath() == "/dev/" ? "no device named" : "";
    case Port_name::Kind::pseudo_terminal:
        return "";
    case Port_name::Kind::tcp_connect:
        if (name.Host().empty())
            return "expected tcp:HOST:PORT";
        return ValidPortNumber(name.Port(), false) ? "" : "the port must be a number from 1 to 65535";
    case Port_name::Kind::tcp_listen:
        if (name.Host().empty())
            return "expected tcp-listen:PORT or tcp-listen:ADDRESS:PORT";
        return ValidPortNumber(name.Port(), true) ? "" : "the port must be a number from 0 to 65535";
    }
    return "";
}

}  // namespace

Gallion_error InvalidPort(const std::string& what, const std::string& reason)
{
    return Gallion_error(std::string(kInvalidPort) + ": " + what + ": " + reason);
}

std::optional<Port_name> Port_name::Read(const std::string& text, std::string* refusal)
{
    const std::string pty_prefix = kPseudoTerminal + ":";
    const Port_name name = StartsWith(text, kConnectPrefix) ? Connect(text.substr(kConnectPrefix.size()))
                           : StartsWith(text, kListenPrefix) ? Listen(text.substr(kListenPrefix.size()))
                           : text == kPseudoTerminal         ? PseudoTerminal()
                           : StartsWith(text, pty_prefix)    ? PseudoTerminal(text.substr(pty_prefix.size()))
                                                             : Device(text);
    const std::string reason = text == pty_prefix ? "no path for the link after \"pty:\"" : Refusal(name);
    if (reason.empty())
        return name;
    if (refusal)
        *refusal = reason;
    return std::nullopt;
}

Port_name Port_name::Parse(const std::string& text)
{
    std::string refusal;
    std::optional<Port_name> name = Read(text, &refusal);
    if (!name)
        throw InvalidPort(text, refusal);
    return *name;
}

std::string Port_name::Text() const
{
    switch (kind_) {
    case Kind::device:
        return rest_;
    case Kind::pseudo_terminal:
        return rest_.empty() ? kPseudoTerminal : kPseudoTerminal + ":" + rest_;
    case Kind::tcp_connect:
        return kConnectPrefix + rest_;
    case Kind::tcp_listen:
        return kListenPrefix + rest_;
    }
    return rest_;
}

std::string Port_name::DevicePath() const
{
    if (kind_ != Kind::device)
        return "";
    if (!rest_.empty() && rest_[0] == '/')
        return rest_;
    if (rest_.size() > 3 && rest_.size() <= 6 && StartsWith(rest_, "COM") &&
        rest_.find_first_not_of("0123456789", 3) == std::string::npos) {
        const int number = std::stoi(rest_.substr(3));
        if (number >= 1)
            return "/dev/ttyS" + std::to_string(number - 1);
    }
    return "/dev/" + rest_;
}

// HOST:PORT is split at the last colon (so "::1:4001" works too); brackets around HOST go.
std::string Port_name::Host() const
{
    if (!IsTcp())
        return "";
    const size_t colon = rest_.rfind(':');
    if (colon == std::string::npos)
        return kind_ == Kind::tcp_listen ? kDefaultListenAddress : "";
    std::string host = rest_.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    return host;
}

std::string Port_name::Port() const
{
    if (!IsTcp())
        return "";
    const size_t colon = rest_.rfind(':');
    if (colon == std::string::npos)
        return kind_ == Kind::tcp_listen ? rest_ : "";
    return rest_.substr(colon + 1);
}

bool Port_name::ListensOnEveryInterface(const std::string& endpoint) const
{
    if (kind_ != Kind::tcp_listen)
        return false;
    const size_t colon = endpoint.rfind(':');
    if (colon == std::string::npos)
        return false;
    const std::string host = endpoint.substr(0, colon);
    return host == "0.0.0.0" || host == "[::]" || host == "[::ffff:0.0.0.0]";
}
