#include "platform/port_name.h"

#include <string>

#include <gtest/gtest.h>

namespace {

using Kind = Port_name::Kind;

// The refusal of a name: the text Parse raises, checked against the reason Read gives.
std::string Refusal(const std::string& text)
{
    std::string reason;
    EXPECT_FALSE(Port_name::Read(text, &reason).has_value()) << text;
    try {
        Port_name::Parse(text);
    } catch (const Gallion_error& error) {
        EXPECT_EQ(error.what(), "Invalid port: " + text + ": " + reason);
        return error.what();
    }
    return "accepted";
}

struct Form {
    const char* text;
    Port_name built;  // the same name put together from its parts
    Kind kind;
    const char* device_path;
    const char* link_path;
    const char* host;
    const char* port;
};

}  // namespace

TEST(PortNameTest, EveryFormReadsIntoItsPartsAndPrintsBackAsWritten)
{
    const Form forms[] = {
        {"COM1", Port_name::Device("COM1"), Kind::device, "/dev/ttyS0", "", "", ""},
        {"COM12", Port_name::Device("COM12"), Kind::device, "/dev/ttyS11", "", "", ""},
        {"COM0", Port_name::Device("COM0"), Kind::device, "/dev/COM0", "", "", ""},
        {"ttyUSB0", Port_name::Device("ttyUSB0"), Kind::device, "/dev/ttyUSB0", "", "", ""},
        {"/dev/pts/7", Port_name::Device("/dev/pts/7"), Kind::device, "/dev/pts/7", "", "", ""},
        {"ptyX", Port_name::Device("ptyX"), Kind::device, "/dev/ptyX", "", "", ""},
        {"tcp", Port_name::Device("tcp"), Kind::device, "/dev/tcp", "", "", ""},
        {"pty", Port_name::PseudoTerminal(), Kind::pseudo_terminal, "", "", "", ""},
        {"pty:/tmp/line", Port_name::PseudoTerminal("/tmp/line"), Kind::pseudo_terminal, "", "/tmp/line", "", ""},
        {"tcp:10.0.0.5:4001", Port_name::Connect("10.0.0.5:4001"), Kind::tcp_connect, "", "", "10.0.0.5", "4001"},
        {"tcp:[::1]:4001", Port_name::Connect("[::1]:4001"), Kind::tcp_connect, "", "", "::1", "4001"},
        {"tcp:::1:4001", Port_name::Connect("::1:4001"), Kind::tcp_connect, "", "", "::1", "4001"},
        {"tcp-listen:4001", Port_name::Listen("4001"), Kind::tcp_listen, "", "", "127.0.0.1", "4001"},
        {"tcp-listen:0", Port_name::Listen("0"), Kind::tcp_listen, "", "", "127.0.0.1", "0"},
        {"tcp-listen:0.0.0.0:4001", Port_name::Listen("0.0.0.0:4001"), Kind::tcp_listen, "", "", "0.0.0.0", "4001"},
        {"tcp-listen:[::]:65535", Port_name::Listen("[::]:65535"), Kind::tcp_listen, "", "", "::", "65535"},
    };
    for (const Form& form : forms) {
        SCOPED_TRACE(form.text);
        const Port_name name = Port_name::Parse(form.text);
        EXPECT_EQ(name.Text(), form.text);
        EXPECT_EQ(form.built.Text(), form.text);
        EXPECT_TRUE(name == form.built);
        EXPECT_TRUE(Port_name::Parse(name.Text()) == name);
        EXPECT_EQ(name.GetKind(), form.kind);
        EXPECT_EQ(name.IsVirtual(), form.kind != Kind::device);
        EXPECT_EQ(name.IsTcp(), form.kind == Kind::tcp_connect || form.kind == Kind::tcp_listen);
        EXPECT_EQ(name.DevicePath(), form.device_path);
        EXPECT_EQ(name.LinkPath(), form.link_path);
        EXPECT_EQ(name.Host(), form.host);
        EXPECT_EQ(name.Port(), form.port);
    }
    EXPECT_TRUE(Port_name::Parse("pty").IsBarePseudoTerminal());
    EXPECT_FALSE(Port_name::Parse("pty:/tmp/line").IsBarePseudoTerminal());
    EXPECT_FALSE(Port_name::Parse("pty") == Port_name::Device("pty"));
}

TEST(PortNameTest, NamesTheGrammarRefusesGiveTheirReasons)
{
    EXPECT_EQ(Refusal(""), "Invalid port: : no device named");
    EXPECT_EQ(Refusal("/dev/"), "Invalid port: /dev/: no device named");
    EXPECT_EQ(Refusal("pty:"), "Invalid port: pty:: no path for the link after \"pty:\"");
    EXPECT_EQ(Refusal("tcp:4001"), "Invalid port: tcp:4001: expected tcp:HOST:PORT");
    EXPECT_EQ(Refusal("tcp::4001"), "Invalid port: tcp::4001: expected tcp:HOST:PORT");
    EXPECT_EQ(Refusal("tcp:[]:4001"), "Invalid port: tcp:[]:4001: expected tcp:HOST:PORT");
    for (const char* port : {"0", "65536", "4x", "", "123456", "-1"})
        EXPECT_EQ(Refusal(std::string("tcp:host:") + port),
                  std::string("Invalid port: tcp:host:") + port + ": the port must be a number from 1 to 65535");
    EXPECT_EQ(Refusal("tcp-listen::4001"),
              "Invalid port: tcp-listen::4001: expected tcp-listen:PORT or tcp-listen:ADDRESS:PORT");
    for (const char* where : {"", "70000", "x", "127.0.0.1:", "127.0.0.1:65536"})
        EXPECT_EQ(Refusal(std::string("tcp-listen:") + where),
                  std::string("Invalid port: tcp-listen:") + where + ": the port must be a number from 0 to 65535");
}

TEST(PortNameTest, ListenersTellAnyFreePortAndEveryInterface)
{
    EXPECT_TRUE(Port_name::Parse("tcp-listen:0").ListensOnAnyFreePort());
    EXPECT_TRUE(Port_name::Parse("tcp-listen:127.0.0.1:0").ListensOnAnyFreePort());
    EXPECT_FALSE(Port_name::Parse("tcp-listen:00").ListensOnAnyFreePort());
    EXPECT_FALSE(Port_name::Parse("tcp-listen:4000").ListensOnAnyFreePort());
    EXPECT_FALSE(Port_name::Parse("tcp:127.0.0.1:10").ListensOnAnyFreePort());

    // Whichever spelling of the any-address, the bound endpoint tells.
    const Port_name any = Port_name::Parse("tcp-listen:0:4001");
    for (const char* endpoint : {"0.0.0.0:4001", "[::]:4001", "[::ffff:0.0.0.0]:4001"})
        EXPECT_TRUE(any.ListensOnEveryInterface(endpoint)) << endpoint;
    for (const char* endpoint : {"127.0.0.1:4001", "[::1]:4001", "0.0.0.0"})
        EXPECT_FALSE(any.ListensOnEveryInterface(endpoint)) << endpoint;
    EXPECT_FALSE(Port_name::Parse("tcp:0.0.0.0:4001").ListensOnEveryInterface("0.0.0.0:4001"));
    EXPECT_FALSE(Port_name::Parse("pty").ListensOnEveryInterface("0.0.0.0:4001"));
}
