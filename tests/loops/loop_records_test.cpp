#include "loops/loop_records.h"

#include <dirent.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>

#include "platform/error.h"
#include "currentloop/cl_test_frames.h"
#include "support/pty_controller.h"
#include "support/quick_settings.h"
#include "support/tcp_controller.h"
#include "support/zarn_master.h"

namespace {

// Short pump cycles and no poll time-outs while a test runs: in the settings file for the loops
// the loader builds, and as a value for the loops a test builds itself.
struct Short_settings {
    Short_settings()
    {
        settings.Set("Zarn", "PumpSleepMs", "5");
        settings.Set("Zarn", "PollTimeout", "3600");
        settings.Set("Zarn", "HandleReturningMessages", "0");  // the test controller does not echo
        settings.Set("CurrentLoop", "PumpSleepMs", "5");
        settings.Set("CurrentLoop", "PollTimeout", "3600");
    }
    TempSettings settings;
    const Pump_settings pumps = QuickPumpSettings();
};

void WriteBytes(const std::string& path, const Bytes& bytes)
{
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> FolderEntries(const std::string& folder)
{
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);
    return names;
}

Zarn_forecourt& ZarnAt(Load_result& result, size_t i)
{
    return *std::get<std::unique_ptr<Zarn_forecourt>>(result.loops.at(i));
}

CL_forecourt& CLAt(Load_result& result, size_t i)
{
    return *std::get<std::unique_ptr<CL_forecourt>>(result.loops.at(i));
}

void ExpectTotals(Zarn_pump& pump, int nozzle, uint64_t volume, uint64_t amount, uint64_t fillings, int decimals)
{
    BCD v, a, f;
    ASSERT_TRUE(pump.NozzleTotals(nozzle, v, a, f));
    EXPECT_EQ(v.Value(), volume) << "nozzle " << nozzle;
    EXPECT_EQ(v.Decimals(), decimals);
    EXPECT_EQ(v.Width(), 5);
    EXPECT_EQ(a.Value(), amount) << "nozzle " << nozzle;
    EXPECT_EQ(a.Decimals(), decimals);
    EXPECT_EQ(f.Value(), fillings) << "nozzle " << nozzle;
    EXPECT_EQ(f.Decimals(), 0);
}

CL_loop_record StoredCLLoop(const std::string& port)
{
    CL_loop_record loop;
    loop.first = 3;
    loop.last = 4;
    loop.port_name = port;
    loop.pumps.push_back({0, {true, true, true, true, true}, true});
    loop.pumps.push_back({1, {true, false, true, false, false}, true});
    loop.feed = {true, 0, true};
    return loop;
}

}  // namespace

TEST(ConfigurationFile, ZarnLoopRoundTripsPumpsTotalsAndSettings)
{
    Short_settings short_settings;
    PtyController line;
    TempDir folder;
    const std::string file = folder.File("one.gcf");
    {
        Zarn_forecourt loop(line.SlavePath(), false, 1, 16, short_settings.pumps);
        ASSERT_EQ(loop.CreatePump(0, true, short_settings.pumps), 0);   // full kind: identity 00 00 02 22 22
        ASSERT_EQ(loop.CreatePump(3, false, short_settings.pumps), 3);  // standard kind
        loop.GetPump(0)->SetIdentity({0x00, 0x00, 0x02, 0x00, 0x00});  // still full, other digits
        loop.GetPump(0)->SetNozzleTotals(1, BCD(5, 2, 9999999999), BCD(5, 2, 1234), BCD(5, 0, 42));
        loop.GetPump(3)->SetNozzleTotals(15, BCD(5, 2, 1234), BCD(5, 2, 9999999999), BCD(5, 0, 9999999999));
        std::array<bool, 15> visible{};
        visible[0] = visible[6] = visible[14] = true;
        loop.GetPump(3)->SetVisibleNozzles(visible);
        ASSERT_TRUE(loop.StartAutomation(3, 2));
        loop.SetCommunicationOn(false);
        loop.SetFilterAddress(0x53);
        loop.SetInterpreted(true);
        ASSERT_EQ(SaveConfigurationFile(file, {&loop}), "");
    }
    const std::string saved = ReadWholeFile(file);
    EXPECT_NE(saved.find(std::string("\x05\x02\x99\x99\x99\x99\x99", 7)), std::string::npos);
    EXPECT_NE(saved.find(std::string("\x05\x02\x00\x00\x00\x12\x34", 7)), std::string::npos);

    Load_result result = LoadConfigurationFile(file);
    ASSERT_TRUE(result.errors.empty()) << result.errors.front();
    ASSERT_EQ(result.loops.size(), 1u);
    Zarn_forecourt& loaded = ZarnAt(result, 0);
    EXPECT_EQ(loaded.Title(), line.SlavePath() + " Zarn");
    EXPECT_EQ(loaded.PortName(), line.SlavePath());
    EXPECT_EQ(loaded.FirstPumpNumber(), 1);
    EXPECT_EQ(loaded.LastPumpNumber(), 16);
    EXPECT_EQ(loaded.PumpCount(), 2);
    ASSERT_NE(loaded.GetPump(0), nullptr);
    ASSERT_NE(loaded.GetPump(3), nullptr);
    EXPECT_EQ(loaded.GetPump(0)->Address(), 0x50);
    EXPECT_EQ(loaded.GetPump(3)->Address(), 0x53);

    // The kind survives, the changed identity does not: a full pump starts as 00 00 02 22 22.
    EXPECT_EQ(loaded.GetPump(0)->Identity(), (std::array<uint8_t, 5>{0x00, 0x00, 0x02, 0x22, 0x22}));
    EXPECT_EQ(loaded.GetPump(3)->Identity()[2], 0x11);

    ExpectTotals(*loaded.GetPump(0), 1, 9999999999, 1234, 42, 2);
    ExpectTotals(*loaded.GetPump(3), 15, 1234, 9999999999, 9999999999, 2);
    ExpectTotals(*loaded.GetPump(3), 2, 0, 0, 0, 2);
    EXPECT_EQ(loaded.GetPump(3)->VisibleNozzles()[6], true);
    EXPECT_EQ(loaded.GetPump(3)->VisibleNozzles()[1], false);
    EXPECT_EQ(loaded.AutomationLevel(3), 2);
    EXPECT_EQ(loaded.AutomationLevel(0), 0);
    EXPECT_FALSE(loaded.IsCommunicationOn());
    EXPECT_EQ(loaded.GetFilterAddress(), 0x53);
    EXPECT_TRUE(loaded.GetInterpreted());
    EXPECT_TRUE(loaded.IsConnected(0));
    EXPECT_TRUE(loaded.IsConnected(3));
}

// Pumps of one loop may have other decimals than the loop's record (those of the lowest pump):
// their totals are converted to the loaded pump's decimals, not read digit for digit.
TEST(ConfigurationFile, TotalsWithOtherDecimalsAreConverted)
{
    Short_settings short_settings;
    PtyController line;
    TempDir folder;
    const std::string file = folder.File("decimals.gcf");
    {
        Zarn_forecourt loop(line.SlavePath(), false, 1, 4, short_settings.pumps);
        ASSERT_EQ(loop.CreatePump(0, true, short_settings.pumps), 0);
        ASSERT_EQ(loop.CreatePump(1, true, short_settings.pumps), 1);
        loop.GetPump(0)->SetVolumeDecimals(3);
        loop.GetPump(0)->SetAmountDecimals(1);
        loop.GetPump(0)->SetPriceDecimals(3);
        // Pump 2 keeps 2 decimals: 12.34 litres and 56.78 of money.
        loop.GetPump(1)->SetNozzleTotals(1, BCD(5, 2, 1234), BCD(5, 2, 5678), BCD(5, 0, 3));
        ASSERT_EQ(SaveConfigurationFile(file, {&loop}), "");
    }
    Load_result result = LoadConfigurationFile(file);
    ASSERT_EQ(result.loops.size(), 1u);
    Zarn_pump& pump = *ZarnAt(result, 0).GetPump(1);
    EXPECT_EQ(pump.VolumeDecimals(), 3);
    EXPECT_EQ(pump.AmountDecimals(), 1);
    EXPECT_EQ(pump.PriceDecimals(), 3);
    BCD volume, amount, fillings;
    ASSERT_TRUE(pump.NozzleTotals(1, volume, amount, fillings));
    EXPECT_EQ(volume.Text(), "12.340");
    EXPECT_EQ(amount.Text(), "56.7");  // truncated, never rounded
    EXPECT_EQ(fillings.Text(), "3");
    // The running values take the loaded decimals too, as after the controller's decimals command.
    Zarn_pump_state state;
    ASSERT_TRUE(pump.GetState(state));
    EXPECT_EQ(state.volume_text, "0.000");
    EXPECT_EQ(state.amount_text, "0.0");
}

TEST(ConfigurationFile, DisconnectedPumpIsSilentAfterLoading)
{
    Short_settings short_settings;
    PtyController zarn_line;
    PtyController cl_line;
    TempDir folder;
    const std::string file = folder.File("silent.gcf");
    {
        Zarn_forecourt zarn(zarn_line.SlavePath(), false, 1, 2, short_settings.pumps);
        ASSERT_EQ(zarn.CreatePump(0, true, short_settings.pumps), 0);
        ASSERT_EQ(zarn.CreatePump(1, true, short_settings.pumps), 1);
        zarn.DisconnectPump(1);
        CL_forecourt cl(cl_line.SlavePath(), false, 3, 4, short_settings.pumps);
        ASSERT_EQ(cl.CreatePump(0, short_settings.pumps), 0);
        ASSERT_EQ(cl.CreatePump(1, short_settings.pumps), 1);
        cl.DisconnectPump(0);
        ASSERT_EQ(SaveConfigurationFile(file, {&zarn, &cl}), "");
    }
    zarn_line.Drain();
    cl_line.Drain();

    Load_result result = LoadConfigurationFile(file);
    ASSERT_TRUE(result.errors.empty()) << result.errors.front();
    ASSERT_EQ(result.loops.size(), 2u);
    Zarn_forecourt& zarn = ZarnAt(result, 0);
    CL_forecourt& cl = CLAt(result, 1);
    EXPECT_FALSE(zarn.IsConnected(1));
    EXPECT_FALSE(cl.IsConnected(0));

    // Zarn: pump 1 answers its poll, pump 2 (address 0x51) exists but stays silent.
    ZarnMaster master(zarn_line);
    EXPECT_TRUE(master.PollAndAck(0x50).has_value());
    EXPECT_FALSE(master.Poll(0x51, 500).has_value());
    ASSERT_NE(zarn.GetPump(1), nullptr);
    zarn.ConnectPump(1);
    EXPECT_TRUE(master.PollAndAck(0x51).has_value());

    // Current loop: pump 4 answers, pump 3 stays silent.
    cl_line.Send(cltest::Poll(4));
    EXPECT_EQ(cl_line.ReadExactly(32, 2000).size(), 32u);
    cl_line.Send(cltest::Poll(3));
    EXPECT_TRUE(cl_line.Silent(500));
    ASSERT_NE(cl.GetPump(0), nullptr);
}

// A loop on a TCP port keeps its port name in the file and listens again after loading; pacing is
// not in the file: a loaded loop takes the setting LineSpeedPacing.
TEST(ConfigurationFile, TcpLoopListensAgainAfterLoadingAndTakesPacingFromTheSetting)
{
    Short_settings short_settings;
    TempDir folder;
    const std::string file = folder.File("tcp.gcf");
    const std::string port_name = "tcp-listen:" + std::to_string(FreeTcpPort());
    {
        CL_forecourt cl(port_name, false, 1, 2, short_settings.pumps);
        ASSERT_EQ(cl.CreatePump(0, short_settings.pumps), 0);
        cl.SetLinePacing(true);
        ASSERT_EQ(SaveConfigurationFile(file, {&cl}), "");
    }
    short_settings.settings.Set("Main", "LineSpeedPacing", "0");
    Load_result unpaced = LoadConfigurationFile(file);
    ASSERT_TRUE(unpaced.errors.empty()) << unpaced.errors.front();
    EXPECT_EQ(CLAt(unpaced, 0).PortName(), port_name);
    EXPECT_FALSE(CLAt(unpaced, 0).LinePacing());
    TcpController line = TcpController::Connect(CLAt(unpaced, 0).DevicePath());
    line.Send(cltest::Poll(1));
    EXPECT_EQ(line.ReadExactly(32, 2000).size(), 32u);
    unpaced.loops.clear();

    short_settings.settings.Set("Main", "LineSpeedPacing", "1");
    Load_result paced = LoadConfigurationFile(file);
    ASSERT_TRUE(paced.errors.empty()) << paced.errors.front();
    EXPECT_TRUE(CLAt(paced, 0).LinePacing());
}

TEST(ConfigurationFile, MixedLoopsLoadInFileOrder)
{
    Short_settings short_settings;
    PtyController lines[3];
    TempDir folder;
    const std::string file = folder.File("three.gcf");
    {
        Zarn_forecourt first(lines[0].SlavePath(), false, 13, 24, short_settings.pumps);
        ASSERT_EQ(first.CreatePump(11, true, short_settings.pumps), 11);
        CL_forecourt second(lines[1].SlavePath(), false, 5, 8, short_settings.pumps);
        ASSERT_EQ(second.CreatePump(2, short_settings.pumps), 2);
        CL_decimals decimals;
        decimals.volume = 3;
        decimals.price = 0;
        decimals.total_amount = 8;
        ASSERT_TRUE(second.SetDecimals(decimals));
        std::array<bool, 5> visible{true, false, true, false, true};
        second.GetPump(2)->SetVisibleNozzles(visible);
        ASSERT_TRUE(second.StartAutomation(2, 3));
        second.SetFilterAddress(0x56);
        Zarn_forecourt third(lines[2].SlavePath(), false, 1, 1, short_settings.pumps);
        ASSERT_EQ(SaveConfigurationFile(file, {&first, &second, &third}), "");
    }

    Load_result result = LoadConfigurationFile(file);
    ASSERT_TRUE(result.errors.empty()) << result.errors.front();
    ASSERT_EQ(result.loops.size(), 3u);
    Zarn_forecourt& first = ZarnAt(result, 0);
    CL_forecourt& second = CLAt(result, 1);
    Zarn_forecourt& third = ZarnAt(result, 2);
    EXPECT_EQ(first.PortName(), lines[0].SlavePath());
    EXPECT_EQ(first.GetPump(11)->Address(), 0x5C + 11);
    EXPECT_EQ(second.Title(), lines[1].SlavePath() + " Current Loop");
    EXPECT_EQ(second.FirstPumpNumber(), 5);
    EXPECT_EQ(second.LastPumpNumber(), 8);
    ASSERT_NE(second.GetPump(2), nullptr);
    EXPECT_EQ(second.GetPump(2)->Address(), 5 + 2 + 79);
    EXPECT_EQ(second.GetPump(2)->VisibleNozzles(), (std::array<bool, 5>{true, false, true, false, true}));
    EXPECT_EQ(second.GetDecimals().volume, 3);
    EXPECT_EQ(second.GetDecimals().price, 0);
    EXPECT_EQ(second.GetDecimals().total_amount, 8);
    EXPECT_EQ(second.AutomationLevel(2), 3);
    EXPECT_EQ(second.GetFilterAddress(), 0x56);
    EXPECT_EQ(third.Title(), lines[2].SlavePath() + " Zarn");
    EXPECT_EQ(third.PumpCount(), 0);
}

TEST(ConfigurationFile, PortThatCannotBeOpenedLeavesOnlyItsLoopOut)
{
    Short_settings short_settings;
    PtyController first_line, last_line;
    TempDir folder;
    const std::string missing_port = folder.File("no-such-port");
    std::string port_error;
    try {
        CL_forecourt probe(missing_port, false, 1, 1, short_settings.pumps);
    } catch (const Gallion_error& error) {
        port_error = error.what();
    }
    ASSERT_FALSE(port_error.empty());

    Configuration configuration;
    configuration.loops.push_back(StoredCLLoop(first_line.SlavePath()));
    Zarn_loop_record unreachable;
    unreachable.first = 1;
    unreachable.last = 1;
    unreachable.port_name = missing_port;
    configuration.loops.push_back(unreachable);
    configuration.loops.push_back(StoredCLLoop(last_line.SlavePath()));
    const std::string file = folder.File("unreachable.gcf");
    WriteBytes(file, EncodeConfiguration(configuration));

    Load_result result = LoadConfigurationFile(file);
    EXPECT_EQ(result.errors, std::vector<std::string>{port_error});
    ASSERT_EQ(result.loops.size(), 2u);
    EXPECT_EQ(CLAt(result, 0).PortName(), first_line.SlavePath());
    EXPECT_EQ(CLAt(result, 1).PortName(), last_line.SlavePath());
    EXPECT_NE(CLAt(result, 1).GetPump(1), nullptr);
}

TEST(ConfigurationFile, MissingOrBadFileGivesTheNotValidText)
{
    TempDir folder;
    Load_result missing = LoadConfigurationFile(folder.File("absent.gcf"));
    EXPECT_TRUE(missing.loops.empty());
    EXPECT_EQ(missing.errors, std::vector<std::string>{kNotValidConfigurationText});

    WriteBytes(folder.File("bad.gcf"), Bytes{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x77, 0x00, 0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(LoadConfigurationFile(folder.File("bad.gcf")).errors,
              std::vector<std::string>{kNotValidConfigurationText});
    EXPECT_EQ(LoadConfigurationFile(folder.Path()).errors, std::vector<std::string>{kNotValidConfigurationText});
    // A FIFO nobody writes to: refused at once instead of waiting for a writer.
    ASSERT_EQ(mkfifo(folder.File("fifo").c_str(), 0600), 0);
    EXPECT_EQ(LoadConfigurationFile(folder.File("fifo")).errors, std::vector<std::string>{kNotValidConfigurationText});

    // An empty name does nothing either way.
    EXPECT_TRUE(LoadConfigurationFile("").errors.empty());
    EXPECT_EQ(SaveConfigurationFile("", {}), "");
}

// Cut a real two-loop file at every length and load it: every loop that comes back is whole
// (all its pumps), the damaged one never comes back, and nothing crashes or hangs.
TEST(ConfigurationFile, TruncatedFileNeverGivesAHalfBuiltLoop)
{
    Short_settings short_settings;
    PtyController zarn_line, cl_line;
    TempDir folder;
    Configuration configuration;
    Zarn_loop_record zarn;
    zarn.first = 1;
    zarn.last = 2;
    zarn.port_name = zarn_line.SlavePath();
    for (uint8_t slot : {0, 1}) {
        Zarn_pump_record pump;
        pump.slot = slot;
        pump.identity = MakeBcdField(222222, 0);
        for (Totals_triple& totals : pump.totals)
            totals = {MakeBcdField(1, 2), MakeBcdField(2, 2), MakeBcdField(3, 0)};
        zarn.pumps.push_back(pump);
    }
    configuration.loops.push_back(zarn);
    configuration.loops.push_back(StoredCLLoop(cl_line.SlavePath()));
    const Bytes whole = EncodeConfiguration(configuration);
    const size_t zarn_end = 8 + 1 + 2 + zarn.port_name.size() + 1 + 1 + 3 + 1 + 2 * 339 + 1 + 3;

    const std::string file = folder.File("cut.gcf");
    for (size_t length = 0; length < whole.size(); ++length) {
        WriteBytes(file, Bytes(whole.begin(), whole.begin() + length));
        Load_result result = LoadConfigurationFile(file);
        const size_t expected_loops = length >= whole.size() - 4 ? 2 : (length >= zarn_end ? 1 : 0);
        ASSERT_EQ(result.loops.size(), expected_loops) << "length " << length;
        if (expected_loops >= 1) {
            EXPECT_EQ(ZarnAt(result, 0).PumpCount(), 2) << "length " << length;
        }
        if (expected_loops == 2) {
            EXPECT_NE(CLAt(result, 1).GetPump(1), nullptr);
        }
        if (length < whole.size() - 4) {
            EXPECT_EQ(result.errors, std::vector<std::string>{kNotValidConfigurationText}) << "length " << length;
        }
    }
}

TEST(ConfigurationFile, BadBcdEndsLoadingAndKeepsEarlierLoops)
{
    Short_settings short_settings;
    PtyController first_line, second_line;
    TempDir folder;
    Configuration configuration;
    configuration.loops.push_back(StoredCLLoop(first_line.SlavePath()));
    Zarn_loop_record zarn;
    zarn.first = 1;
    zarn.last = 1;
    zarn.port_name = second_line.SlavePath();
    Zarn_pump_record pump;
    pump.totals[4].amount.packed[2] = 0x5C;
    zarn.pumps.push_back(pump);
    configuration.loops.push_back(zarn);
    configuration.loops.push_back(StoredCLLoop(second_line.SlavePath()));
    WriteBytes(folder.File("bcd.gcf"), EncodeConfiguration(configuration));

    Load_result result = LoadConfigurationFile(folder.File("bcd.gcf"));
    EXPECT_EQ(result.errors, std::vector<std::string>{"Not valid BCD data"});
    ASSERT_EQ(result.loops.size(), 1u);
    EXPECT_EQ(CLAt(result, 0).PortName(), first_line.SlavePath());
}

TEST(ConfigurationFile, SavingReplacesTheFileWholeOrNotAtAll)
{
    Short_settings short_settings;
    PtyController line;
    TempDir folder;
    const std::string file = folder.File("keep.gcf");
    WriteBytes(file, Bytes{'o', 'l', 'd'});
    chmod(file.c_str(), 0640);
    {
        CL_forecourt loop(line.SlavePath(), false, 1, 2, short_settings.pumps);
        ASSERT_EQ(SaveConfigurationFile(file, {&loop}), "");
    }
    // The old content is gone whole, the permissions stay, no temporary file is left behind.
    const std::string saved = ReadWholeFile(file);
    ASSERT_GE(saved.size(), 12u);
    EXPECT_EQ(saved.substr(0, 7), std::string("\x01\x02\x03\x04\x05\x06\x78", 7));
    struct stat status {};
    ASSERT_EQ(stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0640u);
    EXPECT_EQ(FolderEntries(folder.Path()), std::vector<std::string>{"keep.gcf"});

    // A name that cannot take a file: a folder. The error is reported, the folder is untouched and
    // no temporary file is left.
    ASSERT_EQ(mkdir(folder.File("sub").c_str(), 0755), 0);
    WriteBytes(folder.File("sub/inner"), Bytes{1});
    const std::string error = SaveConfigurationFile(folder.File("sub"), {});
    EXPECT_NE(error, "");
    EXPECT_EQ(ReadWholeFile(folder.File("sub/inner")), std::string("\x01", 1));
    EXPECT_EQ(FolderEntries(folder.Path()).size(), 2u);

    // A folder that does not exist.
    EXPECT_NE(SaveConfigurationFile(folder.File("none/x.gcf"), {}), "");
    EXPECT_EQ(ReadWholeFile(file), saved);
}

TEST(ConfigurationFile, SavingWithNoLoopsWritesTwelveBytes)
{
    TempDir folder;
    ASSERT_EQ(SaveConfigurationFile(folder.File("empty.gcf"), {}), "");
    EXPECT_EQ(ReadWholeFile(folder.File("empty.gcf")),
              std::string("\x01\x02\x03\x04\x05\x06\x78\x00\xFF\xFF\xFF\xFF", 12));
    Load_result result = LoadConfigurationFile(folder.File("empty.gcf"));
    EXPECT_TRUE(result.loops.empty());
    EXPECT_TRUE(result.errors.empty());
}

// Saving onto a symbolic link writes the file it points to (through a chain of links, relative or
// absolute, also a target not made yet); the links stay links.
TEST(ConfigurationFile, SavingOntoALinkWritesItsTargetAndKeepsTheLink)
{
    TempDir folder;
    ASSERT_EQ(mkdir(folder.File("real").c_str(), 0755), 0);
    const std::string target = folder.File("real/site.gcf");
    WriteBytes(target, Bytes{'o', 'l', 'd'});
    const std::string link = folder.File("site.gcf");
    ASSERT_EQ(symlink("real/site.gcf", link.c_str()), 0);  // relative to the link's folder
    const std::string chained = folder.File("chained.gcf");
    ASSERT_EQ(symlink(link.c_str(), chained.c_str()), 0);

    const std::string empty_file("\x01\x02\x03\x04\x05\x06\x78\x00\xFF\xFF\xFF\xFF", 12);
    ASSERT_EQ(SaveConfigurationFile(chained, {}), "");
    struct stat status {};
    ASSERT_EQ(lstat(link.c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode));
    ASSERT_EQ(lstat(chained.c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode));
    EXPECT_EQ(ReadWholeFile(target), empty_file);
    EXPECT_EQ(FolderEntries(folder.File("real")), std::vector<std::string>{"site.gcf"});  // no temporary left

    // A link whose target is not there yet: the target is created, the link stays.
    const std::string dangling = folder.File("new.gcf");
    ASSERT_EQ(symlink(folder.File("real/new.gcf").c_str(), dangling.c_str()), 0);
    ASSERT_EQ(SaveConfigurationFile(dangling, {}), "");
    ASSERT_EQ(lstat(dangling.c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode));
    EXPECT_EQ(ReadWholeFile(folder.File("real/new.gcf")), empty_file);

    // A loop of links is refused with the reason, nothing written.
    const std::string loop_a = folder.File("a.gcf");
    const std::string loop_b = folder.File("b.gcf");
    ASSERT_EQ(symlink(loop_b.c_str(), loop_a.c_str()), 0);
    ASSERT_EQ(symlink(loop_a.c_str(), loop_b.c_str()), 0);
    const std::string error = SaveConfigurationFile(loop_a, {});
    EXPECT_NE(error.find("Too many levels of symbolic links"), std::string::npos) << error;
}

TEST(ConfigurationFile, CurrentLoopBuiltFromItsRecord)
{
    TempSettings settings;
    settings.Set("CurrentLoop", "PumpSleepMs", "5");
    settings.Set("CurrentLoop", "PollTimeout", "3600");
    PtyController line;
    CL_loop_record record;
    record.first = 1;
    record.last = 2;
    record.port_name = line.SlavePath();
    record.decimals[0] = 3;
    record.feed.interpreted = false;
    record.feed.on = false;
    record.feed.filter_address = cltest::PumpAddress(2);
    CL_pump_record first;
    first.slot = 0;
    first.visible = {true, false, false, false, false};
    CL_pump_record second;
    second.slot = 1;
    second.visible = {true, true, true, true, true};
    second.connected = false;
    CL_pump_record stray;
    stray.slot = 7;  // beyond the loop's pumps
    record.pumps = {first, second, stray};
    record.automations = {{1, 2}};

    std::unique_ptr<CL_forecourt> forecourt = BuildLoop(record);
    EXPECT_EQ(line.SlavePath() + " Current Loop", forecourt->Title());
    EXPECT_EQ(3, forecourt->GetDecimals().volume);
    EXPECT_FALSE(forecourt->GetInterpreted());
    EXPECT_FALSE(forecourt->IsCommunicationOn());
    EXPECT_EQ(cltest::PumpAddress(2), forecourt->GetFilterAddress());
    ASSERT_NE(nullptr, forecourt->GetPump(0));
    EXPECT_EQ((std::array<bool, 5>{true, false, false, false, false}), forecourt->GetPump(0)->VisibleNozzles());
    EXPECT_TRUE(forecourt->IsConnected(0));
    EXPECT_FALSE(forecourt->IsConnected(1));
    EXPECT_EQ(2, forecourt->AutomationLevel(1));
    EXPECT_EQ(nullptr, forecourt->GetPump(7));

    line.Send(cltest::Poll(1));
    const std::vector<uint8_t> reply = line.ReadExactly(32, 2000);
    ASSERT_EQ(32u, reply.size());
    EXPECT_EQ(0x60, reply[25]);
    line.Send(cltest::Poll(2));
    EXPECT_TRUE(line.Silent(80)) << "pump 2 is not connected";
}
