// vcom's command line and the choice of its map folder: the pure parts.
#include "args.h"
#include "mapdir.h"

#include <gtest/gtest.h>

using vcom::Mode;
using vcom::Parsed;
using vcom::parse_args;
using vcom::parse_port;

TEST(VcomArgs, PortNamesInAnyCaseOrBare)
{
    EXPECT_EQ(parse_port("COM2"), 2);
    EXPECT_EQ(parse_port("com17"), 17);
    EXPECT_EQ(parse_port("Com0"), 0);
    EXPECT_EQ(parse_port("257"), 257);
    EXPECT_EQ(parse_port("COM007"), 7);
    for (const char *bad : {"", "COM", "COM258", "COM-1", "COM+1", "COM 1", "COM1x", "x1", "COM1000", "CMO1",
                            "COM99999999999999999999"})
        EXPECT_EQ(parse_port(bad), std::nullopt) << bad;
}

TEST(VcomArgs, EachModeTakesItsPorts)
{
    Parsed p = parse_args({"echo", "COM2"});
    ASSERT_EQ(p.kind, Parsed::Run);
    EXPECT_EQ(p.command.mode, Mode::Echo);
    EXPECT_EQ(p.command.ports, std::vector<int>{2});

    p = parse_args({"pair", "COM3", "com4"});
    ASSERT_EQ(p.kind, Parsed::Run);
    EXPECT_EQ(p.command.mode, Mode::Pair);
    EXPECT_EQ(p.command.ports, (std::vector<int>{3, 4}));

    p = parse_args({"cat", "9"});
    ASSERT_EQ(p.kind, Parsed::Run);
    EXPECT_EQ(p.command.mode, Mode::Cat);
    EXPECT_EQ(p.command.ports, std::vector<int>{9});
}

TEST(VcomArgs, BadArgumentsSayWhatIsWrong)
{
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"ECHO", "COM1"},
        {"echo"},
        {"echo", "COM1", "COM2"},
        {"pair", "COM1"},
        {"pair", "COM1", "COM2", "COM3"},
        {"pair", "COM5", "5"},
        {"cat", "COM300"},
        {"--verbose", "echo", "COM1"},
        {"serve", "COM1"},
    };
    for (const auto &args : bad) {
        Parsed p = parse_args(args);
        EXPECT_EQ(p.kind, Parsed::Error) << (args.empty() ? "(none)" : args[0]);
        EXPECT_FALSE(p.error.empty());
    }
    EXPECT_NE(parse_args({"pair", "COM5", "5"}).error.find("different"), std::string::npos);
}

TEST(VcomArgs, RemoteTakesAPortAndASerialServer)
{
    Parsed p = parse_args({"remote", "COM7", "rfc2217://127.0.0.1:2000"});
    ASSERT_EQ(p.kind, Parsed::Run);
    EXPECT_EQ(p.command.mode, Mode::Remote);
    EXPECT_EQ(p.command.ports, std::vector<int>{7});
    EXPECT_EQ(p.command.target, "rfc2217://127.0.0.1:2000");
    p = parse_args({"remote", "COM7", "tcp://[::1]:4001"});
    ASSERT_EQ(p.kind, Parsed::Run);
    EXPECT_EQ(p.command.target, "tcp://[::1]:4001");
    for (const std::vector<std::string> &bad : std::vector<std::vector<std::string>>{
             {"remote", "COM7"},
             {"remote", "COM7", "telnet://127.0.0.1:2000"},
             {"remote", "COM7", "rfc2217://127.0.0.1"},
             {"remote", "COM7", "tcp://127.0.0.1:0"},
             {"remote", "COM7", "/dev/pts/3"},
             {"remote", "COM300", "rfc2217://127.0.0.1:2000"},
         }) {
        p = parse_args(bad);
        EXPECT_EQ(p.kind, Parsed::Error) << bad.back();
        EXPECT_FALSE(p.error.empty());
    }
}

TEST(VcomArgs, HelpWinsAnywhere)
{
    EXPECT_EQ(parse_args({"--help"}).kind, Parsed::Help);
    EXPECT_EQ(parse_args({"-h"}).kind, Parsed::Help);
    EXPECT_EQ(parse_args({"echo", "--help"}).kind, Parsed::Help);
    EXPECT_EQ(parse_args({"bogus", "-h"}).kind, Parsed::Help);
}

TEST(VcomMapDir, EnvironmentFirstThenRuntimeDirThenTmp)
{
    vcom::MapDir d = vcom::choose_map_dir("/x/map", "/run/user/5", 5);
    EXPECT_EQ(d.path, "/x/map");
    EXPECT_TRUE(d.from_env);

    d = vcom::choose_map_dir(nullptr, "/run/user/5", 5);
    EXPECT_EQ(d.path, "/run/user/5/tty-com");
    EXPECT_FALSE(d.from_env);

    // An empty variable counts as unset: "/COMn" is never what anybody meant.
    d = vcom::choose_map_dir("", "", 1234);
    EXPECT_EQ(d.path, "/tmp/tty-com-1234");
    EXPECT_FALSE(d.from_env);
}

TEST(VcomMapDir, ExportLineIsSafeToPaste)
{
    EXPECT_EQ(vcom::shell_quote("/run/user/1000/tty-com"), "/run/user/1000/tty-com");
    EXPECT_EQ(vcom::shell_quote("/tmp/my dir"), "'/tmp/my dir'");
    EXPECT_EQ(vcom::shell_quote("/tmp/it's$x"), "'/tmp/it'\\''s$x'");
    EXPECT_EQ(vcom::shell_quote(""), "''");
}
