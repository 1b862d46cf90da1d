// Writes the starting corpus of every fuzz target: valid Zarn conversations, valid current-loop
// frames and valid configuration files, made with the controller kit
// (tests/support) and the configuration encoder.
// Usage: seed_writer DIR (creates DIR/<harness>/seed_* with a few files each). The files kept in
// tests/regression/ were written by `seed_writer tests/regression`.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "config/configuration.h"
#include "currentloop/cl_message.h"
#include "support/cl_controller.h"
#include "support/zarn_controller.h"

namespace {

void WriteSeed(const std::filesystem::path& folder, const std::string& name, const Bytes& bytes)
{
    std::filesystem::create_directories(folder);
    std::ofstream out(folder / ("seed_" + name), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void Append(Bytes& to, const Bytes& more)
{
    to.insert(to.end(), more.begin(), more.end());
}

// --- Zarn -----------------------------------------------------------------------------------

Bytes Cd9(uint8_t volume, uint8_t amount, uint8_t price)
{
    Bytes transaction{9, 51};
    transaction.resize(2 + 51, 0);
    transaction[2 + 22] = volume;
    transaction[2 + 23] = amount;
    transaction[2 + 24] = price;
    return transaction;
}

void WriteZarnSeeds(const std::filesystem::path& root)
{
    const uint8_t p = 0x50;
    const Bytes prices{5, 6, 0x00, 0x12, 0x34, 0x00, 0x05, 0x67};    // CD5: nozzles 1 and 2
    const Bytes allowed{2, 2, 1, 2};                                  // CD2: nozzles 1 and 2
    const Bytes preset_volume{3, 4, 0x00, 0x00, 0x10, 0x00};          // CD3
    const Bytes preset_amount{4, 4, 0x00, 0x00, 0x50, 0x00};          // CD4
    const Bytes output{7, 2, 0x12, 0x34};                             // CD7
    const Bytes totals{101, 1, 1};                                    // CD101 counter 1

    Bytes filling;  // a whole filling: set up, authorise, poll, acknowledge, stop, read totals
    Append(filling, ZarnControlBlock(p, 0x20));
    Bytes set_up = allowed;
    Append(set_up, prices);
    Append(set_up, preset_volume);
    Append(filling, ZarnDataBlock(p, 0, set_up));
    Append(filling, ZarnDataBlock(p, 1, Cd1(6)));
    for (int i = 0; i < 6; ++i) {
        Append(filling, ZarnControlBlock(p, 0x20));
        Append(filling, ZarnControlBlock(p, static_cast<uint8_t>(0xC0 | (i & 0x0F))));
    }
    Append(filling, ZarnDataBlock(p, 2, Cd1(8)));
    Append(filling, ZarnDataBlock(p, 3, totals));
    Append(filling, ZarnControlBlock(p, 0x20));
    Append(filling, ZarnControlBlock(p, 0x53));  // NAK: resend

    Bytes commands;  // every other command once, and the plain line at 0x51
    Bytes all = preset_amount;
    Append(all, output);
    Append(all, Cd9(3, 2, 3));
    Append(all, Bytes{13, 3, 1, 2, 3});  // the unnamed type, ignored
    Append(all, Bytes{14, 1, 0});
    Append(all, Bytes{15, 1, 0});
    Append(commands, ZarnDataBlock(p, 0, all));
    for (uint8_t code : {0, 2, 3, 4, 5, 10, 13, 14})
        Append(commands, ZarnDataBlock(p, static_cast<uint8_t>(code & 0x0F), Cd1(code)));
    Append(commands, ZarnDataBlock(0x51, 0, Cd1(0)));
    Append(commands, ZarnControlBlock(0x51, 0x20));

    Bytes stuffed;  // a block with 0xFA inside (stuffed on the line), then line noise
    Append(stuffed, ZarnDataBlock(p, 0, Bytes{7, 2, 0xFA, 0xFA}));
    Append(stuffed, Bytes{0x10, 0x10, 0xFA, 0x00, 0xFF, 0xFA});

    const std::filesystem::path stream = root / "zarn_stream";
    for (uint8_t setup : {uint8_t{0x05}, uint8_t{0x17}}) {
        Bytes seed{setup};
        Append(seed, filling);
        WriteSeed(stream, "filling_" + std::to_string(setup), seed);
    }
    Bytes seed{0x01};
    Append(seed, commands);
    WriteSeed(stream, "commands", seed);
    seed = {0x00};
    Append(seed, stuffed);
    WriteSeed(stream, "stuffed", seed);

    // The decoder's input: decimals, then ADR, CTRL and transactions without CRC and ETX.
    const std::filesystem::path decoder = root / "zarn_transactions";
    Bytes block{2, 2, 2, p, 0x30};
    Append(block, set_up);
    Append(block, Cd1(6));
    WriteSeed(decoder, "set_up", block);
    block = {3, 2, 3, p, 0x31};
    Append(block, all);
    Append(block, prices);
    WriteSeed(decoder, "all", block);
}

// --- Current loop ---------------------------------------------------------------------------

void WriteCurrentLoopSeeds(const std::filesystem::path& root)
{
    const uint8_t p = 'P';
    const size_t position = 5;  // pump 1's character in CB0 and CB3
    std::map<size_t, uint8_t> prices;
    for (size_t i = 5; i <= 24; ++i)
        prices[i] = '0';
    prices[7] = '1';
    prices[8] = '5';
    std::map<size_t, uint8_t> surcharges;
    for (size_t i = 5; i <= 26; ++i)
        surcharges[i] = '0';
    std::map<size_t, uint8_t> preset{{position, '2'}, {21, p}, {22, '0'}, {23, '0'}, {24, '1'}, {25, '0'}, {26, '0'}, {27, 0x20}};

    Bytes filling;
    Append(filling, cl_kit::ControllerFrame(p, '3', {{26, p}}));
    Append(filling, cl_kit::ControllerFrame(p, '1', prices));
    Append(filling, cl_kit::ControllerFrame(p, '2', surcharges));
    Append(filling, cl_kit::ControllerFrame(p, '0', preset));
    for (char command : {'A', ' ', ' ', ' ', 'C', 'E', 'G', ' '})
        Append(filling, cl_kit::ControllerFrame(p, '3', {{position, static_cast<uint8_t>(command)}, {26, p}}));

    Bytes broadcast;
    Append(broadcast, cl_kit::ControllerFrame(cl_frame::kAllPumps, '3', {{position, 'A'}, {position + 1, 'A'}, {26, 'Q'}}));
    Append(broadcast, cl_kit::ControllerFrame(cl_frame::kAllPumps, '0', {{21, 'Q'}}));
    Append(broadcast, cl_kit::ControllerFrame(cl_frame::kAllPumps, '1', prices));
    Append(broadcast, Bytes{0x03, 0x02, 0x55, 0x03});  // noise and a short frame

    const std::filesystem::path folder = root / "cl_stream";
    for (uint8_t setup : {uint8_t{0x07}, uint8_t{0x33}}) {
        Bytes seed{setup};
        Append(seed, filling);
        WriteSeed(folder, "filling_" + std::to_string(setup), seed);
    }
    Bytes seed{0x01};
    Append(seed, broadcast);
    WriteSeed(folder, "broadcast", seed);
}

// --- Configuration files --------------------------------------------------------------------

void WriteConfigurationSeeds(const std::filesystem::path& root)
{
    Zarn_loop_record zarn;
    zarn.first = 1;
    zarn.last = 4;
    zarn.port_name = "COM1";
    zarn.feed = {true, 0x51, true};
    Zarn_pump_record pump;
    pump.slot = 1;
    pump.identity = MakeBcdField(1234567890, 0);
    pump.visible = {true, true, false, true};
    pump.totals[0] = {MakeBcdField(123456, 2), MakeBcdField(98765, 2), MakeBcdField(12, 0)};
    zarn.pumps.push_back(pump);
    pump.slot = 3;
    pump.connected = false;
    zarn.pumps.push_back(pump);
    zarn.automations.push_back({1, 2});

    CL_loop_record current_loop;
    current_loop.first = 3;
    current_loop.last = 10;
    current_loop.port_name = "/dev/ttyUSB0";
    current_loop.spy = true;
    current_loop.decimals = {3, 2, 3, 2, 2, 2};
    current_loop.pumps.push_back({0, {true, true, true, false, false}, true});
    current_loop.pumps.push_back({7, {true, false, false, false, false}, false});
    current_loop.automations.push_back({7, 3});

    const std::filesystem::path folder = root / "config_decode";
    Configuration both;
    both.loops = {zarn, current_loop};
    WriteSeed(folder, "two_loops.gcf", EncodeConfiguration(both));
    Configuration one;
    one.loops = {zarn};
    WriteSeed(folder, "zarn_loop.gcf", EncodeConfiguration(one));
    WriteSeed(folder, "empty.gcf", EncodeConfiguration(Configuration{}));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << "usage: seed_writer DIR\n";
        return 2;
    }
    const std::filesystem::path root = argv[1];
    WriteZarnSeeds(root);
    WriteCurrentLoopSeeds(root);
    WriteConfigurationSeeds(root);
    return 0;
}
