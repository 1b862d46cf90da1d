#pragma once
#include <string>

#include "platform/serial_line.h"

// A new pseudo-terminal whose slave a controller on this machine opens (DevicePath()). With a
// link path, a symbolic link there points to the slave while the line lives. The link replaces
// only a stale link (one to a /dev/pts/N that no longer exists); any other file or link there
// refuses the line. The line removes the link when it ends, if it still points to its slave.
//
// The line keeps a descriptor of its own on the slave, so an absent controller is a silent line
// rather than a hang-up; a write that finds the line full drops what waits there unread, as
// bytes sent on a real line with nobody listening are lost.
class Pty_line : public Serial_line {
public:
    // `port_name` names the line in its errors; `link_path` may be empty (no link).
    Pty_line(const std::string& port_name, const std::string& link_path);
    ~Pty_line() override;

    void Reopen() override;

private:
    bool MakeRoom() override;
    static bool CheckLinkPlace(const std::string& link_path);
    void Create(const std::string& link_path);
    void RemoveLink();

    std::string port_name_;
    std::string link_path_;
    int slave_keeper_fd_ = -1;
};
