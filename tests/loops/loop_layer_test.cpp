// The loop layer as the windows and the runner use it: its rules seen from the controller's side
// of the line, its snapshots, its limits and its exact reading of typed numbers.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "platform/error.h"
#include "loops/decimal_text.h"
#include "loops/loop_files.h"
#include "loops/pump_loop.h"
#include "support/pty_controller.h"
#include "support/wait.h"
#include "support/zarn_master.h"

namespace {

TEST(DecimalText, ReadsDisplayUnitsExactly)
{
    EXPECT_EQ(DecimalTextToUnits("0.29", 2, 10), 29u);  // binary floating point would give 28
    EXPECT_EQ(DecimalTextToUnits("0,29", 2, 10), 29u);
    EXPECT_EQ(DecimalTextToUnits(" 12.5 ", 3, 10), 12500u);
    EXPECT_EQ(DecimalTextToUnits("1.239", 2, 10), 123u);  // digits beyond the decimals are cut off
    EXPECT_EQ(DecimalTextToUnits("7", 0, 10), 7u);
    EXPECT_EQ(DecimalTextToUnits(".5", 1, 10), 5u);
    EXPECT_EQ(DecimalTextToUnits("99999999.99", 2, 10), 9999999999u);  // the widest a counter holds
    EXPECT_EQ(DecimalTextToUnits("0000000000000012", 0, 10), 12u);     // leading zeros are free
    for (const char* refused : {"", " ", ".", "-1", "+1", "1e3", "1.2.3", "1,2.3", "12a", "nan", "inf",
                                "100000000.00", "0x10"})
        EXPECT_FALSE(DecimalTextToUnits(refused, 2, 10)) << refused;

    EXPECT_EQ(WholeNumberText("", 10), 0u);
    EXPECT_EQ(WholeNumberText("9999999999", 10), 9999999999u);
    EXPECT_FALSE(WholeNumberText("10000000000", 10));
    EXPECT_FALSE(WholeNumberText("1.0", 10));
    EXPECT_FALSE(WholeNumberText("-3", 10));
}

TEST(ProtocolLimits, RangesOfBothProtocols)
{
    const std::string refused = "Invalid pump number interval for the chosen protocol";
    EXPECT_EQ(CheckPumpRange(Protocol::zarn, 1, 16), "");
    EXPECT_EQ(CheckPumpRange(Protocol::zarn, 17, 32), "");
    EXPECT_EQ(CheckPumpRange(Protocol::zarn, 1, 17), refused);  // 17 pumps
    EXPECT_EQ(CheckPumpRange(Protocol::zarn, 20, 33), refused);
    EXPECT_EQ(CheckPumpRange(Protocol::zarn, 0, 4), refused);
    EXPECT_EQ(CheckPumpRange(Protocol::zarn, 5, 4), refused);
    EXPECT_EQ(CheckPumpRange(Protocol::current_loop, 8, 15), "");
    EXPECT_EQ(CheckPumpRange(Protocol::current_loop, 1, 9), refused);  // 9 pumps
    EXPECT_EQ(CheckPumpRange(Protocol::current_loop, 10, 16), refused);
    EXPECT_EQ(LimitsOf(Protocol::zarn).nozzles, 15);
    EXPECT_EQ(LimitsOf(Protocol::current_loop).nozzles, 5);

    TempSettings settings;
    PtyController line;
    try {
        CreateLoop(Protocol::current_loop, line.SlavePath(), false, 1, 9);
        ADD_FAILURE() << "a range the protocol cannot serve must be refused";
    } catch (const Gallion_error& error) {
        EXPECT_EQ(std::string(error.what()), refused);
    }
}

TEST(ErrorChoices, EachProtocolKnowsItsOwnCodes)
{
    TempSettings settings;
    PtyController zarn_line;
    PtyController cl_line;
    auto zarn = CreateLoop(Protocol::zarn, zarn_line.SlavePath(), false, 1, 2);
    auto cl = CreateLoop(Protocol::current_loop, cl_line.SlavePath(), false, 1, 2);

    const std::vector<Error_choice> zarn_rows = zarn->ErrorChoices();
    ASSERT_EQ(zarn_rows.size(), 24u);
    EXPECT_EQ(zarn_rows[20].text, "VAP OK (x10)");
    EXPECT_EQ(zarn_rows[20].code, 16);
    EXPECT_EQ(zarn_rows[12].code, 103);
    const std::vector<Error_choice> cl_rows = cl->ErrorChoices();
    ASSERT_EQ(cl_rows.size(), 10u);
    EXPECT_EQ(cl_rows[0].code, kKeepsErrorCode);
    EXPECT_EQ(cl_rows[7].code, 241);
    for (const Error_choice& row : zarn_rows)
        EXPECT_TRUE(zarn->IsErrorCode(row.code)) << row.text;
    for (const Error_choice& row : cl_rows)
        EXPECT_TRUE(row.code == kKeepsErrorCode || cl->IsErrorCode(row.code)) << row.text;
    for (int code : {-1, 22, 99, 104, 240, 999})
        EXPECT_FALSE(zarn->IsErrorCode(code)) << code;
    for (int code : {0, 1, 101, 243})
        EXPECT_FALSE(cl->IsErrorCode(code)) << code;
}

// A Zarn loop of pumps 5-8 on a pseudo-terminal, the test playing the controller.
class ZarnLoopLayer : public ::testing::Test {
protected:
    void SetUp() override
    {
        settings_.Set("Zarn", "HandleReturningMessages", "0");  // the test controller does not echo
        settings_.Set("Zarn", "PumpSleepMs", "5");
        settings_.Set("Zarn", "PollTimeout", "3600");
        loop_ = CreateLoop(Protocol::zarn, pty_.SlavePath(), false, 5, 8);
    }

    // The pump at `position`: nozzle 1 allowed at 1.00, reset and authorised.
    void ProgramAndAuthorise(int position)
    {
        const uint8_t address = loop_->AddressOf(position);
        for (int i = 0; i < 20; ++i) {  // until the pump has nothing more to say
            const auto reply = master_.PollAndAck(address);
            ASSERT_TRUE(reply) << "the pump must answer";
            if (reply->empty())
                break;
        }
        ASSERT_TRUE(master_.ProgramNozzleOne(address));
        ASSERT_TRUE(master_.SendData(address, {0x01, 0x01, 0x05, 0x01, 0x01, 0x06}));  // Reset, Authorize
        // The pump applies the commands on its next cycle.
        ASSERT_TRUE(WaitFor([&] {
            Pump_detail detail;
            return loop_->GetPumpDetail(position, detail) && detail.status == 2 && detail.nozzles[0].allowed;
        }));
    }

    // Polls the pump until its status reply carries `status`.
    bool ControllerSeesStatus(uint8_t address, int status)
    {
        return WaitFor([&] {
            const auto reply = master_.PollAndAck(address, 500);
            return reply && ZarnController::LastStatus(*reply) == status;
        });
    }

    TempSettings settings_;
    PtyController pty_;
    ZarnMaster master_{pty_};
    std::unique_ptr<Pump_loop> loop_;
};

TEST_F(ZarnLoopLayer, FactsPositionsAndAddresses)
{
    EXPECT_EQ(loop_->GetProtocol(), Protocol::zarn);
    EXPECT_EQ(loop_->Positions(), 4);
    EXPECT_EQ(loop_->PumpNumberOf(3), 8);
    EXPECT_EQ(loop_->AddressOf(0), 0x54);  // pump 5
    EXPECT_EQ(loop_->ProposedLogName(2), "Pump 7.log");
    EXPECT_EQ(loop_->TabCaption(), pty_.SlavePath() + " Zarn");
    EXPECT_FALSE(loop_->PortIsVirtual());

    EXPECT_TRUE(loop_->AddPump(3));
    EXPECT_FALSE(loop_->AddPump(3)) << "taken";
    EXPECT_FALSE(loop_->AddPump(4)) << "outside the loop";
    EXPECT_FALSE(loop_->AddPump(-1));
    EXPECT_EQ(loop_->PumpCount(), 1);

    // Every operation on an empty or invalid position does nothing.
    Panel_view view;
    view.status_text = "untouched";
    EXPECT_FALSE(loop_->GetPanelView(0, view));
    EXPECT_EQ(view.status_text, "untouched");
    loop_->NozzleClick(0, 1);
    loop_->NozzleClick(99, 1);
    loop_->ToggleFlow(-5);
    EXPECT_FALSE(loop_->SetFlow(0, 10));
    EXPECT_TRUE(loop_->VisibleNozzles(1).empty());
    EXPECT_FALSE(loop_->RemovePump(0));
    EXPECT_TRUE(loop_->RemovePump(3));
}

// The loop layer reads the settings for each pump it adds, so a change reaches the pumps created
// after it and leaves the running ones as they are.
TEST_F(ZarnLoopLayer, APumpAddedLaterTakesTheSettingsAsTheyAreThen)
{
    ASSERT_TRUE(loop_->AddPump(0));
    settings_.Set("Zarn", "VolumeDecimals", "3");
    ASSERT_TRUE(loop_->AddPump(1));
    const auto decimals_shown = [&](int position) {
        Panel_view view;
        EXPECT_TRUE(loop_->GetPanelView(position, view));
        const size_t point = view.volume_text.find('.');
        return point == std::string::npos ? 0 : static_cast<int>(view.volume_text.size() - point - 1);
    };
    EXPECT_EQ(decimals_shown(0), 2);
    EXPECT_EQ(decimals_shown(1), 3);
}

TEST_F(ZarnLoopLayer, NozzleClickLiftsAndReplacesAsTheControllerSees)
{
    ASSERT_TRUE(loop_->AddPump(1));
    const uint8_t address = loop_->AddressOf(1);
    ProgramAndAuthorise(1);
    ASSERT_TRUE(ControllerSeesStatus(address, 2));  // authorised

    loop_->NozzleClick(1, 1);  // selects and lifts: the pump fills
    ASSERT_TRUE(ControllerSeesStatus(address, 4));
    Panel_view view;
    ASSERT_TRUE(loop_->GetPanelView(1, view));
    EXPECT_EQ(view.selected_nozzle, 1);
    EXPECT_TRUE(view.nozzles[0].selected);
    EXPECT_TRUE(view.nozzles[0].allowed);
    EXPECT_FALSE(view.nozzles[1].allowed);
    EXPECT_TRUE(view.connected);
    EXPECT_TRUE(view.online);

    loop_->NozzleClick(1, 1);  // the selected nozzle's button hangs it up
    ASSERT_TRUE(ControllerSeesStatus(address, 5));
    ASSERT_TRUE(loop_->GetPanelView(1, view));
    EXPECT_EQ(view.selected_nozzle, 0);
    EXPECT_FALSE(view.nozzles[0].selected);
}

TEST_F(ZarnLoopLayer, DisconnectedPumpIsSilentAndShownSo)
{
    ASSERT_TRUE(loop_->AddPump(0));
    const uint8_t address = loop_->AddressOf(0);
    ASSERT_TRUE(master_.Poll(address));
    loop_->SetConnected(0, false);
    EXPECT_FALSE(master_.Poll(address, 300)) << "a disconnected pump does not answer";
    Panel_view view;
    ASSERT_TRUE(loop_->GetPanelView(0, view));
    EXPECT_FALSE(view.connected);
    loop_->SetConnected(0, true);
    EXPECT_TRUE(master_.Poll(address));
}

TEST_F(ZarnLoopLayer, TotalsFromTheDialogTextsAreExact)
{
    ASSERT_TRUE(loop_->AddPump(0));
    ProgramAndAuthorise(0);
    EXPECT_EQ(loop_->SetTotalsFromText(0, 1, "0.29", "1234,56", "7"), "");
    Pump_detail detail;
    ASSERT_TRUE(loop_->GetPumpDetail(0, detail));
    ASSERT_EQ(detail.nozzles.size(), 15u);
    EXPECT_EQ(detail.nozzles[0].volume_total_text, "0.29");
    EXPECT_EQ(detail.nozzles[0].amount_total_text, "1234.56");
    EXPECT_EQ(detail.nozzles[0].fillings_text, "7");

    EXPECT_EQ(loop_->SetTotalsFromText(0, 1, "-1", "0", "0"), "Volume not a valid value");
    EXPECT_EQ(loop_->SetTotalsFromText(0, 1, "1", "1e9", "0"), "Amount not a valid value");
    EXPECT_EQ(loop_->SetTotalsFromText(0, 1, "1", "1", "12345678901"), "Number of fillings not a valid value");
    EXPECT_EQ(loop_->SetTotalsFromText(0, 16, "1", "1", "1"), "nozzle must be 1 to 15");
    ASSERT_TRUE(loop_->GetPumpDetail(0, detail));
    EXPECT_EQ(detail.nozzles[0].volume_total_text, "0.29") << "a refused text changes nothing";
}

TEST_F(ZarnLoopLayer, IdentityVisibleNozzlesAndFilter)
{
    ASSERT_TRUE(loop_->AddPump(2));
    ASSERT_TRUE(loop_->SetFullIdentity(2, true));
    Pump_detail detail;
    ASSERT_TRUE(loop_->GetPumpDetail(2, detail));
    EXPECT_TRUE(detail.full_identity);
    EXPECT_EQ(detail.identity, (std::array<uint8_t, 5>{0x00, 0x00, 0x02, 0x00, 0x00}));
    ASSERT_TRUE(loop_->SetFullIdentity(2, false));
    ASSERT_TRUE(loop_->GetPumpDetail(2, detail));
    EXPECT_EQ(detail.identity, (std::array<uint8_t, 5>{0x01, 0x01, 0x01, 0x01, 0x01}));

    // The ten check boxes of the dialog set nozzles 1-10 and leave 11-15 as they were.
    std::vector<bool> all = loop_->VisibleNozzles(2);
    ASSERT_EQ(all.size(), 15u);
    std::vector<bool> ten(10, false);
    ten[1] = true;
    loop_->SetVisibleNozzles(2, ten);
    const std::vector<bool> after = loop_->VisibleNozzles(2);
    for (int i = 0; i < 15; ++i)
        EXPECT_EQ(after[i], i < 10 ? ten[i] : all[i]) << "nozzle " << i + 1;

    loop_->SetFilterPosition(2);
    EXPECT_EQ(loop_->GetFilterAddress(), 0x56);  // pump 7
    loop_->SetFilterPosition(std::nullopt);
    EXPECT_EQ(loop_->GetFilterAddress(), 0);
}

TEST(CurrentLoopLayer, NozzleClickDecimalsAndStatusTexts)
{
    TempSettings settings;
    settings.Set("CurrentLoop", "PumpSleepMs", "5");
    PtyController line;
    auto loop = CreateLoop(Protocol::current_loop, line.SlavePath(), false, 3, 5);
    EXPECT_EQ(loop->TabCaption(), line.SlavePath() + " Current Loop");
    EXPECT_FALSE(loop->SelectNozzle(0, 1));
    ASSERT_TRUE(loop->AddPump(0));

    loop->NozzleClick(0, 3);  // lifts (and so selects) nozzle 3
    Panel_view view;
    ASSERT_TRUE(WaitFor([&] { return loop->GetPanelView(0, view) && view.selected_nozzle == 3; }));
    EXPECT_TRUE(view.nozzles[2].selected);
    loop->NozzleClick(0, 3);  // the lifted nozzle's button hangs it up
    ASSERT_TRUE(WaitFor([&] { return loop->GetPanelView(0, view) && view.selected_nozzle == 0; }));
    loop->NozzleKeyOnAll(0, 2);
    ASSERT_TRUE(WaitFor([&] { return loop->GetPanelView(0, view) && view.selected_nozzle == 2; }));
    loop->DetailNozzleButton(0, 4);  // a nozzle is out: any button hangs it up
    ASSERT_TRUE(WaitFor([&] { return loop->GetPanelView(0, view) && view.selected_nozzle == 0; }));

    Loop_decimals decimals{3, 1, 0};
    EXPECT_TRUE(loop->SetDecimals(decimals));
    ASSERT_TRUE(loop->Decimals());
    EXPECT_EQ(loop->Decimals()->volume, 3);
    EXPECT_EQ(loop->Decimals()->price, 0);
    EXPECT_FALSE(loop->SetDecimals(Loop_decimals{9, 2, 2}));
    EXPECT_EQ(loop->Decimals()->volume, 3) << "a refused record changes nothing";
    EXPECT_EQ(loop->SetTotalsFromText(0, 1, "1", "1", "1"), "totals apply to Zarn pumps only");
}

}  // namespace

// An auto-save whose new file cannot be written leaves the previous file and the previous backup
// as they were; the next one that succeeds turns the previous file into the backup.
TEST(LoopFiles, FailedAutoSaveLeavesTheFileAndItsBackup)
{
    TempSettings settings;
    TempDir dir;
    PtyController line;
    auto loop = CreateLoop(Protocol::zarn, line.SlavePath(), false, 1, 4);
    for (int position = 0; position < 4; ++position)
        ASSERT_TRUE(loop->AddPump(position));
    const std::string file = dir.File("autosave.gcf");
    ASSERT_EQ(SaveLoops(file, {}, Previous_file::keep_as_backup), "");
    std::ofstream(BackupName(file)) << "the backup before";
    const std::string previous = ReadWholeFile(file);
    ASSERT_EQ(SaveLoops(dir.File("full.gcf"), {loop.get()}), "");
    const std::string full = ReadWholeFile(dir.File("full.gcf"));
    ASSERT_LT(previous.size(), full.size());

    // Files may grow to halfway between the two: the previous file can still be copied, the new
    // one cannot be written whole.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit halfway = saved;
    halfway.rlim_cur = (previous.size() + full.size()) / 2;
    const auto handler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &halfway), 0);
    const std::string error = SaveLoops(file, {loop.get()}, Previous_file::keep_as_backup);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, handler);
    EXPECT_NE(error, "");
    EXPECT_EQ(ReadWholeFile(file), previous);
    EXPECT_EQ(ReadWholeFile(BackupName(file)), "the backup before");
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
        names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"autosave.gcf", "autosave.gcf.bak", "full.gcf"})) << "nothing left beside";

    ASSERT_EQ(SaveLoops(file, {loop.get()}, Previous_file::keep_as_backup), "");
    EXPECT_EQ(ReadWholeFile(BackupName(file)), previous);
    EXPECT_EQ(ReadWholeFile(file), full);
}
