#pragma once
#include <optional>
#include <string>

#include "platform/error.h"

// The name of a loop's port, read once and printed back the same way:
//
//   COMn                          the serial device /dev/ttyS<n-1>
//   /PATH or NAME                 the device at PATH, or /dev/NAME
//   pty or pty:LINKPATH           a new pseudo-terminal (with a symbolic link at LINKPATH)
//   tcp:HOST:PORT                 a TCP line Gallion connects (HOST may be "[v6-address]")
//   tcp-listen:[ADDRESS:]PORT     a TCP line Gallion listens on (127.0.0.1 without ADDRESS)
//
// Pseudo-terminals and TCP lines are virtual ports: no serial device of this machine. Text()
// gives back exactly the name that was read.
class Port_name {
public:
    enum class Kind { device, pseudo_terminal, tcp_connect, tcp_listen };

    // Reads a name; one the grammar refuses raises InvalidPort(text, reason).
    static Port_name Parse(const std::string& text);
    // The same without raising: nothing for a refused name, whose reason goes to `refusal`.
    static std::optional<Port_name> Read(const std::string& text, std::string* refusal = nullptr);

    // Names put together from their parts (not checked: Parse checks what the user gives).
    static Port_name Device(const std::string& name) { return {Kind::device, name}; }
    static Port_name PseudoTerminal(const std::string& link_path = {}) { return {Kind::pseudo_terminal, link_path}; }
    static Port_name Connect(const std::string& host_and_port) { return {Kind::tcp_connect, host_and_port}; }
    static Port_name Listen(const std::string& address_and_port) { return {Kind::tcp_listen, address_and_port}; }

    std::string Text() const;
    Kind GetKind() const { return kind_; }
    bool IsVirtual() const { return kind_ != Kind::device; }
    bool IsTcp() const { return kind_ == Kind::tcp_connect || kind_ == Kind::tcp_listen; }
    // "pty": several can exist at once, told apart only by their device paths.
    bool IsBarePseudoTerminal() const { return kind_ == Kind::pseudo_terminal && rest_.empty(); }
    // A listener on port 0, which takes whatever free port the system gives.
    bool ListensOnAnyFreePort() const { return kind_ == Kind::tcp_listen && Port() == "0"; }

    // A device: the path it opens ("COMn" -> /dev/ttyS<n-1>; "/..." as it stands; else /dev/NAME).
    std::string DevicePath() const;
    // A pseudo-terminal: where its link goes (empty: no link).
    std::string LinkPath() const { return kind_ == Kind::pseudo_terminal ? rest_ : std::string(); }
    // A TCP line: the host or address without brackets, and the port number's text.
    std::string Host() const;
    std::string Port() const;
    // True when a listener of this name, bound at `endpoint` ("0.0.0.0:4001", "[::]:4001"),
    // takes controllers on every interface, whichever way the name spelled the any-address.
    bool ListensOnEveryInterface(const std::string& endpoint) const;

    bool operator==(const Port_name& other) const = default;

private:
    Port_name(Kind kind, std::string rest) : kind_(kind), rest_(std::move(rest)) {}

    Kind kind_;
    std::string rest_;  // what follows the kind's prefix, as written; a device's whole name
};

// The error of a port that cannot be opened: "Invalid port: " + what (the device path, or the
// link path of a virtual port) + ": " + reason, for example "Invalid port: /dev/ttyS99: No such
// file or directory" or "Invalid port: /dev/ttyS0: in use by another program". The first words
// are always kInvalidPort, which windows and files may test for.
constexpr const char* kInvalidPort = "Invalid port";
Gallion_error InvalidPort(const std::string& what, const std::string& reason);
