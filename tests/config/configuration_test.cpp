#include "config/configuration.h"

#include <gtest/gtest.h>

#include <random>

#include "platform/error.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kEmptyFile{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x78, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};

CL_loop_record TwoPumpCLLoop()
{
    CL_loop_record loop;
    loop.first = 1;
    loop.last = 2;
    loop.port_name = "COM2";
    loop.spy = false;
    loop.decimals = {2, 2, 2, 2, 2, 2};
    for (uint8_t slot : {0, 1}) {
        CL_pump_record pump;
        pump.slot = slot;
        pump.visible.fill(true);
        pump.connected = true;
        loop.pumps.push_back(pump);
    }
    loop.feed = {true, 0, true};
    return loop;
}

Zarn_pump_record ZarnPump(uint8_t slot, uint64_t volume_total_units)
{
    Zarn_pump_record pump;
    pump.slot = slot;
    pump.identity = MakeBcdField(222222, 0);
    pump.visible = {true, true, true, true, true};
    for (Totals_triple& totals : pump.totals) {
        totals.volume = MakeBcdField(0, 2);
        totals.amount = MakeBcdField(0, 2);
        totals.fillings = MakeBcdField(0, 0);
    }
    pump.totals[0].volume = MakeBcdField(volume_total_units, 2);
    return pump;
}

Zarn_loop_record ZarnLoop(const std::string& port)
{
    Zarn_loop_record loop;
    loop.first = 1;
    loop.last = 16;
    loop.port_name = port;
    loop.volume_decimals = 2;
    loop.amount_decimals = 2;
    loop.price_decimals = 3;
    loop.pumps.push_back(ZarnPump(0, 9999999999));  // 99999999.99
    loop.pumps.push_back(ZarnPump(3, 1234));        // 12.34
    loop.pumps[1].connected = false;
    loop.pumps[1].totals[14].fillings = MakeBcdField(77, 0);
    loop.automations.push_back({3, 2});
    loop.feed = {true, 0x53, false};
    return loop;
}

// Three loops of both protocols, as a real run would save them.
Configuration MixedConfiguration()
{
    Configuration configuration;
    configuration.loops.push_back(ZarnLoop("/dev/pts/7"));
    CL_loop_record cl = TwoPumpCLLoop();
    cl.first = 5;
    cl.last = 12;
    cl.spy = true;
    cl.decimals = {3, 2, 1, 0, 8, 2};
    cl.pumps[1].slot = 7;
    cl.pumps[1].visible[2] = false;
    cl.automations = {{0, 1}, {7, 3}};
    configuration.loops.push_back(cl);
    configuration.loops.push_back(ZarnLoop("COM12"));
    return configuration;
}

// slot, identity, 15 flags, 15 x 3 fields, connected
constexpr size_t kZarnPumpEntryBytes = 339;

}  // namespace

TEST(ConfigurationCodec, NoLoopsIsHeaderCountAndTrailer)
{
    EXPECT_EQ(EncodeConfiguration(Configuration{}), kEmptyFile);
    const Decode_result result = DecodeConfiguration(kEmptyFile);
    EXPECT_EQ(result.error, "");
    EXPECT_TRUE(result.configuration.loops.empty());
}

TEST(ConfigurationCodec, CurrentLoopExampleByteForByte)
{
    const Bytes expected{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x78, 0x01, 0x02, 0x01, 0x02, 0x43, 0x4F, 0x4D, 0x32, 0x00,
                         0x00, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x00, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01,
                         0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x00, 0x01, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF};
    ASSERT_EQ(expected.size(), 46u);
    Configuration configuration;
    configuration.loops.push_back(TwoPumpCLLoop());
    EXPECT_EQ(EncodeConfiguration(configuration), expected);

    const Decode_result result = DecodeConfiguration(expected);
    EXPECT_EQ(result.error, "");
    EXPECT_EQ(result.configuration, configuration);
}

TEST(ConfigurationCodec, ZarnLoopLayoutAndTotalsBytes)
{
    Configuration configuration;
    configuration.loops.push_back(ZarnLoop("COM1"));
    const Bytes file = EncodeConfiguration(configuration);

    // header 7, count 1, type 1, first/last 2, "COM1\0" 5, spy 1, decimals 3, N 1
    const size_t pumps_at = 7 + 1 + 1 + 2 + 5 + 1 + 3 + 1;
    ASSERT_EQ(file.size(), pumps_at + 2 * kZarnPumpEntryBytes + 1 + 2 + 3 + 4);
    EXPECT_EQ(file[pumps_at - 1], 2);  // N
    EXPECT_EQ(file[pumps_at], 0);      // slot of the first pump
    EXPECT_EQ(file[pumps_at + kZarnPumpEntryBytes], 3);

    // first pump: slot, identity field 7, 15 flags, then nozzle 1's volume total field
    const size_t volume_total = pumps_at + 1 + 7 + 15;
    EXPECT_EQ(Bytes(file.begin() + volume_total, file.begin() + volume_total + 7),
              (Bytes{5, 2, 0x99, 0x99, 0x99, 0x99, 0x99}));
    const size_t second_total = volume_total + kZarnPumpEntryBytes;
    EXPECT_EQ(Bytes(file.begin() + second_total, file.begin() + second_total + 7),
              (Bytes{5, 2, 0x00, 0x00, 0x00, 0x12, 0x34}));
    EXPECT_EQ(file[pumps_at + kZarnPumpEntryBytes - 1], 1);      // first pump connected
    EXPECT_EQ(file[pumps_at + 2 * kZarnPumpEntryBytes - 1], 0);  // second pump disconnected

    const Decode_result result = DecodeConfiguration(file);
    EXPECT_EQ(result.error, "");
    EXPECT_EQ(result.configuration, configuration);
}

TEST(ConfigurationCodec, MixedLoopsRoundTripInOrder)
{
    const Configuration configuration = MixedConfiguration();
    const Decode_result result = DecodeConfiguration(EncodeConfiguration(configuration));
    EXPECT_EQ(result.error, "");
    ASSERT_EQ(result.configuration.loops.size(), 3u);
    EXPECT_EQ(std::get<Zarn_loop_record>(result.configuration.loops[0]).port_name, "/dev/pts/7");
    EXPECT_TRUE(std::holds_alternative<CL_loop_record>(result.configuration.loops[1]));
    EXPECT_EQ(std::get<Zarn_loop_record>(result.configuration.loops[2]).port_name, "COM12");
    EXPECT_EQ(result.configuration, configuration);
}

// Cut a real file at every length: each prefix gives the loops whose records it holds whole,
// in order, and the not-valid text while an entry is missing; the trailer is not needed.
TEST(ConfigurationCodec, EveryTruncationKeepsWholeLoopsOnly)
{
    const Configuration configuration = MixedConfiguration();
    const Bytes file = EncodeConfiguration(configuration);

    // End offset of the k-th loop's record: the encoding of the first k loops without its trailer
    // (the count byte has the same size whatever it holds).
    std::vector<size_t> loop_end;
    for (size_t k = 1; k <= configuration.loops.size(); ++k) {
        Configuration prefix;
        prefix.loops.assign(configuration.loops.begin(), configuration.loops.begin() + k);
        loop_end.push_back(EncodeConfiguration(prefix).size() - 4);
    }

    for (size_t length = 0; length < file.size(); ++length) {
        const Bytes cut(file.begin(), file.begin() + length);
        const Decode_result result = DecodeConfiguration(cut);
        size_t whole = 0;
        while (whole < loop_end.size() && loop_end[whole] <= length)
            ++whole;
        ASSERT_EQ(result.configuration.loops.size(), whole) << "length " << length;
        for (size_t k = 0; k < whole; ++k)
            EXPECT_EQ(result.configuration.loops[k], configuration.loops[k]) << "length " << length;
        if (whole < configuration.loops.size())
            EXPECT_EQ(result.error, kNotValidConfigurationText) << "length " << length;
        else
            EXPECT_EQ(result.error, "") << "length " << length;
    }
}

TEST(ConfigurationCodec, BadHeaderOrShortFileIsNotValid)
{
    for (size_t i = 0; i < 7; ++i) {
        Bytes file = kEmptyFile;
        file[i] ^= 0x40;
        const Decode_result result = DecodeConfiguration(file);
        EXPECT_EQ(result.error, kNotValidConfigurationText) << "byte " << i;
        EXPECT_TRUE(result.configuration.loops.empty());
    }
    // An older format version.
    Bytes older = kEmptyFile;
    older[6] = 0x77;
    EXPECT_EQ(DecodeConfiguration(older).error, kNotValidConfigurationText);
    EXPECT_EQ(DecodeConfiguration(Bytes{}).error, kNotValidConfigurationText);
    EXPECT_EQ(std::string(kNotValidConfigurationText),
              "Not a valid configuration file.\nMaybe is the configuration file created by an\nolder version of the "
              "program ");
}

TEST(ConfigurationCodec, BadNibbleEndsReadingAndKeepsEarlierLoops)
{
    const Configuration configuration = MixedConfiguration();
    const Bytes good = EncodeConfiguration(configuration);
    Configuration first_two;
    first_two.loops.assign(configuration.loops.begin(), configuration.loops.begin() + 2);
    const size_t third_loop_at = EncodeConfiguration(first_two).size() - 4;  // its type byte
    ASSERT_EQ(good[third_loop_at], kZarnLoopType);
    // Loop 3 ("COM12"): type, first, last, name 6, spy, decimals 3, N, slot -> identity field.
    const size_t identity_data = third_loop_at + 1 + 2 + 6 + 1 + 3 + 1 + 1 + 2;
    const size_t nozzle_total = identity_data + 5 + 15 + 2;

    for (size_t at : {nozzle_total, nozzle_total + 3, nozzle_total + 7 * 44 + 4}) {
        for (uint8_t bad : {0xA0, 0x0B, 0xFF}) {
            Bytes file = good;
            file[at] = bad;
            const Decode_result result = DecodeConfiguration(file);
            EXPECT_EQ(result.error, kNotValidBcdText);
            ASSERT_EQ(result.configuration.loops.size(), 2u);
            EXPECT_EQ(result.configuration.loops[1], configuration.loops[1]);
        }
    }

    // The identity is not a number the loader uses: any bytes there still load.
    Bytes file = good;
    file[identity_data] = 0xAB;
    const Decode_result result = DecodeConfiguration(file);
    EXPECT_EQ(result.error, "");
    ASSERT_EQ(result.configuration.loops.size(), 3u);
    EXPECT_EQ(std::get<Zarn_loop_record>(result.configuration.loops[2]).pumps[0].identity.packed[0], 0xAB);
}

TEST(ConfigurationCodec, DecimalsOutsideZeroToEightInvalidateTheLoop)
{
    // The loop's own decimals (Zarn and current loop) and a total's field decimals.
    {
        Configuration configuration;
        Zarn_loop_record zarn = ZarnLoop("COM1");
        zarn.amount_decimals = 9;
        configuration.loops.push_back(TwoPumpCLLoop());
        configuration.loops.push_back(zarn);
        const Decode_result result = DecodeConfiguration(EncodeConfiguration(configuration));
        EXPECT_EQ(result.error, kNotValidBcdText);
        EXPECT_EQ(result.configuration.loops.size(), 1u);
    }
    {
        Configuration configuration;
        CL_loop_record cl = TwoPumpCLLoop();
        cl.decimals[4] = 200;
        configuration.loops.push_back(cl);
        const Decode_result result = DecodeConfiguration(EncodeConfiguration(configuration));
        EXPECT_EQ(result.error, kNotValidBcdText);
        EXPECT_TRUE(result.configuration.loops.empty());
    }
    {
        Configuration configuration;
        Zarn_loop_record zarn = ZarnLoop("COM1");
        zarn.pumps[1].totals[6].amount.decimals = 9;
        configuration.loops.push_back(zarn);
        const Decode_result result = DecodeConfiguration(EncodeConfiguration(configuration));
        EXPECT_EQ(result.error, kNotValidBcdText);
        EXPECT_TRUE(result.configuration.loops.empty());
    }
}

TEST(ConfigurationCodec, NumbersThatCannotDescribeALoopAreNotValid)
{
    auto decode_one = [](const Loop_record& loop) {
        Configuration configuration;
        configuration.loops.push_back(loop);
        return DecodeConfiguration(EncodeConfiguration(configuration));
    };
    auto expect_not_valid = [&](const Loop_record& loop, const char* what) {
        const Decode_result result = decode_one(loop);
        EXPECT_EQ(result.error, kNotValidConfigurationText) << what;
        EXPECT_TRUE(result.configuration.loops.empty()) << what;
    };

    Zarn_loop_record zarn = ZarnLoop("COM1");
    zarn.last = 17;
    expect_not_valid(zarn, "17 Zarn pumps");
    zarn = ZarnLoop("COM1");
    zarn.first = 0;
    expect_not_valid(zarn, "pump number 0");
    zarn = ZarnLoop("COM1");
    zarn.first = 20;
    zarn.last = 10;
    expect_not_valid(zarn, "last before first");
    zarn = ZarnLoop("COM1");
    zarn.last = 3;
    zarn.pumps[1].slot = 3;  // slot 3 is pump 4, beyond the loop
    expect_not_valid(zarn, "slot beyond the range");
    zarn = ZarnLoop("COM1");
    zarn.pumps[1].slot = 0;
    expect_not_valid(zarn, "slot twice");
    zarn = ZarnLoop("COM1");
    zarn.automations[0].level = 4;
    expect_not_valid(zarn, "automation level 4");
    zarn = ZarnLoop("");
    expect_not_valid(zarn, "no port name");

    CL_loop_record cl = TwoPumpCLLoop();
    cl.last = 9;
    expect_not_valid(cl, "9 current-loop pumps");
    cl = TwoPumpCLLoop();
    cl.last = 16;
    cl.first = 16;
    expect_not_valid(cl, "current-loop pump 16");

    // The limits themselves are valid.
    zarn = ZarnLoop("COM1");
    zarn.first = 17;
    zarn.last = 32;
    EXPECT_EQ(decode_one(zarn).error, "");
    cl = TwoPumpCLLoop();
    cl.first = 8;
    cl.last = 15;
    EXPECT_EQ(decode_one(cl).error, "");
}

TEST(ConfigurationCodec, UnknownTypeByteAddsNothingAndCountsAsAnEntry)
{
    Configuration configuration;
    configuration.loops.push_back(TwoPumpCLLoop());
    Bytes file = EncodeConfiguration(configuration);
    file[7] = 3;                           // three entries
    file.insert(file.begin() + 8, 0x07);   // an unknown type byte
    file.insert(file.begin() + 8, 0x00);   // and another
    const Decode_result result = DecodeConfiguration(file);
    EXPECT_EQ(result.error, "");
    ASSERT_EQ(result.configuration.loops.size(), 1u);
    EXPECT_EQ(result.configuration.loops[0], configuration.loops[0]);
}

TEST(ConfigurationCodec, FieldValueConvertsBetweenDecimalsTruncating)
{
    const Bcd_field total = MakeBcdField(1234, 2);  // 12.34
    EXPECT_EQ(total.packed, (std::array<uint8_t, 5>{0x00, 0x00, 0x00, 0x12, 0x34}));
    EXPECT_EQ(BcdFieldValueAt(total, 2), 1234u);
    EXPECT_EQ(BcdFieldValueAt(total, 1), 123u);
    EXPECT_EQ(BcdFieldValueAt(total, 0), 12u);
    EXPECT_EQ(BcdFieldValueAt(total, 4), 123400u);
    EXPECT_EQ(BcdFieldValueAt(MakeBcdField(9999999999, 8), 0), 99u);
    EXPECT_EQ(BcdFieldValueAt(MakeBcdField(9999999999, 0), 8), 999999999900000000u);
    // Only ten digits are kept.
    EXPECT_EQ(MakeBcdField(123456789012, 0).packed, (std::array<uint8_t, 5>{0x34, 0x56, 0x78, 0x90, 0x12}));
}

TEST(ConfigurationCodec, EncoderRefusesWhatTheFormatCannotHold)
{
    Configuration configuration;
    configuration.loops.push_back(ZarnLoop(std::string("CO\0M1", 5)));
    EXPECT_THROW(EncodeConfiguration(configuration), Gallion_error);

    Configuration many;
    many.loops.assign(256, TwoPumpCLLoop());
    EXPECT_THROW(EncodeConfiguration(many), Gallion_error);
    many.loops.resize(255);
    EXPECT_EQ(DecodeConfiguration(EncodeConfiguration(many)).configuration.loops.size(), 255u);
}

// Random damage to a real file: the decoder never fails in any other way than its error texts,
// and whatever it returns is a configuration that saves and reads back unchanged.
TEST(ConfigurationCodec, DamagedFilesDecodeToSavableRecords)
{
    const Bytes good = EncodeConfiguration(MixedConfiguration());
    std::mt19937 random(20261208);
    for (int round = 0; round < 3000; ++round) {
        Bytes file = good;
        const int changes = 1 + static_cast<int>(random() % 4);
        for (int c = 0; c < changes; ++c) {
            const size_t at = random() % file.size();
            switch (random() % 3) {
            case 0: file[at] = static_cast<uint8_t>(random()); break;
            case 1: file.erase(file.begin() + at); break;
            default: file.insert(file.begin() + at, static_cast<uint8_t>(random())); break;
            }
        }
        const Decode_result result = DecodeConfiguration(file);
        if (!result.error.empty()) {
            ASSERT_TRUE(result.error == kNotValidConfigurationText || result.error == kNotValidBcdText);
        }
        const Decode_result again = DecodeConfiguration(EncodeConfiguration(result.configuration));
        ASSERT_EQ(again.error, "");
        ASSERT_EQ(again.configuration, result.configuration);
    }
}
