#include "spydump/spy_dump.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

#include "common/text.h"
#include "currentloop/cl_frame_assembler.h"
#include "currentloop/cl_message.h"
#include "spy/spy_file_reader.h"
#include "spy/spy_record.h"
#include "zarn/zarn_crc.h"
#include "zarn/zarn_interpreter.h"

namespace {

struct Spy_file {
    std::string name;
    std::vector<uint8_t> data;
    Spy_file_records records;
};

int DirectionOf(const Spy_chunk& chunk)
{
    return chunk.kind == kSpySent ? 1 : 0;
}

std::string DirectionWord(int direction)
{
    return direction == 0 ? "rx" : "tx";
}

// The bytes as "50 20 FA".
std::string Hex(const std::vector<uint8_t>& bytes)
{
    std::string text = HexText(bytes.data(), bytes.size());
    if (!text.empty())
        text.pop_back();
    return text;
}

// Turns the byte stream of each direction into blocks or frames and gives their texts.
class Stream_interpreter {
public:
    virtual ~Stream_interpreter() = default;
    virtual std::vector<std::string> Feed(const std::vector<uint8_t>& bytes, int direction) = 0;
};

class Zarn_stream : public Stream_interpreter {
public:
    std::vector<std::string> Feed(const std::vector<uint8_t>& bytes, int direction) override
    {
        std::vector<std::string> texts;
        Zarn_block_cutter& cutter = cutters_[direction];
        for (uint8_t byte : bytes) {
            if (cutter.Feed(byte)) {
                std::unique_ptr<Message> block = cutter.TakeBlock();
                texts.push_back(ZarnInterpretedText(block->bytes.data(), block->length, direction));
            }
        }
        return texts;
    }

private:
    Zarn_block_cutter cutters_[2];
};

class CL_stream : public Stream_interpreter {
public:
    std::vector<std::string> Feed(const std::vector<uint8_t>& bytes, int direction) override
    {
        std::vector<std::string> texts;
        CL_frame_assembler& assembler = assemblers_[direction];
        for (uint8_t byte : bytes) {
            if (assembler.Feed(byte)) {
                const CL_Message& frame = assembler.Frame();
                std::string text = CL_InterpretedText(frame);
                if (frame.length != cl_frame::kLength)
                    text += " (" + std::to_string(frame.length) + " bytes)";
                texts.push_back(text);
            }
        }
        return texts;
    }

private:
    CL_frame_assembler assemblers_[2];
};

// How many well-formed Zarn blocks the chunks hold: addressed to a pump, of a known kind, and
// DATA blocks with a right CRC.
int CountZarnBlocks(const std::vector<Spy_file>& files)
{
    Zarn_block_cutter cutters[2];
    int count = 0;
    for (const Spy_file& file : files) {
        for (const Spy_chunk& chunk : file.records.chunks) {
            for (uint8_t byte : chunk.bytes) {
                if (!cutters[DirectionOf(chunk)].Feed(byte))
                    continue;
                std::unique_ptr<Message> block = cutters[DirectionOf(chunk)].TakeBlock();
                if (block->length < 2 || block->bytes[0] < 0x50 || block->bytes[0] > 0x6F)
                    continue;
                const int kind = block->bytes[1] >> 4;
                const bool control = block->length == 2 && (kind == 0x2 || kind == 0x5 || kind == 0x7 || kind == 0xC);
                bool data = false;
                if (kind == 0x3 && block->length >= 5) {
                    const size_t crc_at = block->length - 3u;
                    const uint16_t crc = ZarnCrc16(block->bytes.data(), crc_at);
                    data = block->bytes[crc_at] == (crc & 0xFF) && block->bytes[crc_at + 1] == (crc >> 8);
                }
                count += (control || data) ? 1 : 0;
            }
        }
    }
    return count;
}

// How many 32-byte current-loop frames with a right CRC the chunks hold.
int CountCLFrames(const std::vector<Spy_file>& files)
{
    CL_frame_assembler assemblers[2];
    int count = 0;
    for (const Spy_file& file : files) {
        for (const Spy_chunk& chunk : file.records.chunks) {
            for (uint8_t byte : chunk.bytes) {
                CL_frame_assembler& assembler = assemblers[DirectionOf(chunk)];
                if (!assembler.Feed(byte))
                    continue;
                const CL_Message& frame = assembler.Frame();
                const uint16_t crc = CL_FrameCrc(frame);
                if (frame.length == cl_frame::kLength && frame.bytes[cl_frame::kCrcHigh] == (crc >> 8) &&
                    frame.bytes[cl_frame::kCrcLow] == (crc & 0xFF))
                    ++count;
            }
        }
    }
    return count;
}

Spy_protocol DetectProtocol(const std::vector<Spy_file>& files)
{
    const int zarn = CountZarnBlocks(files);
    const int current_loop = CountCLFrames(files);
    if (zarn == 0 && current_loop == 0)
        return Spy_protocol::none;
    return zarn >= current_loop ? Spy_protocol::zarn : Spy_protocol::current_loop;
}

std::unique_ptr<Stream_interpreter> InterpreterFor(Spy_protocol protocol)
{
    switch (protocol) {
    case Spy_protocol::zarn: return std::make_unique<Zarn_stream>();
    case Spy_protocol::current_loop: return std::make_unique<CL_stream>();
    default: return nullptr;
    }
}

std::string ProtocolName(Spy_protocol protocol)
{
    switch (protocol) {
    case Spy_protocol::zarn: return "Zarn";
    case Spy_protocol::current_loop: return "Current Loop";
    default: return "none";
    }
}

bool LoadFile(const std::string& name, std::vector<uint8_t>& data, std::string& error)
{
    std::ifstream in(name, std::ios::binary);
    if (!in) {
        error = std::strerror(errno);
        return false;
    }
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = "read error";
        return false;
    }
    return true;
}

long long FirstTimeKey(const Spy_file& file)
{
    for (const Spy_chunk& chunk : file.records.chunks)
        if (chunk.time.known)
            return chunk.time.SortKey();
    return -1;
}

// A file of a ring is named PREFIX_NNNN.buf; other names form a ring of their own with index 0.
struct Ring_place {
    std::string ring;
    long index = 0;
};

Ring_place RingPlaceOf(const std::string& name)
{
    const size_t dot = name.rfind(".buf");
    const size_t underscore = name.rfind('_');
    if (dot == std::string::npos || dot + 4 != name.size() || underscore == std::string::npos || underscore > dot ||
        dot - underscore < 5)
        return {name, 0};
    const std::string digits = name.substr(underscore + 1, dot - underscore - 1);
    if (digits.find_first_not_of("0123456789") != std::string::npos)
        return {name, 0};
    return {name.substr(0, underscore), std::stol(digits)};
}

// Ring order: within a ring, files by index, starting after the newest one: where the time of
// the first record goes back from one index to the next. Whole seconds are compared, since the
// milliseconds of a record are not always exact. Rings come by their oldest record.
void SortInRingOrder(std::vector<Spy_file>& files)
{
    std::stable_sort(files.begin(), files.end(), [](const Spy_file& a, const Spy_file& b) {
        const Ring_place pa = RingPlaceOf(a.name);
        const Ring_place pb = RingPlaceOf(b.name);
        return pa.ring != pb.ring ? pa.ring < pb.ring : pa.index < pb.index;
    });
    std::vector<std::vector<Spy_file>> rings;
    for (Spy_file& file : files) {
        if (rings.empty() || RingPlaceOf(rings.back().front().name).ring != RingPlaceOf(file.name).ring)
            rings.emplace_back();
        rings.back().push_back(std::move(file));
    }
    for (std::vector<Spy_file>& ring : rings) {
        for (size_t i = 0; i + 1 < ring.size(); ++i) {
            const long long here = FirstTimeKey(ring[i]);
            const long long next = FirstTimeKey(ring[i + 1]);
            if (here >= 0 && next >= 0 && next / 1000 < here / 1000) {
                std::rotate(ring.begin(), ring.begin() + static_cast<long>(i + 1), ring.end());
                break;
            }
        }
    }
    std::stable_sort(rings.begin(), rings.end(), [](const auto& a, const auto& b) {
        const long long ka = FirstTimeKey(a.front());
        const long long kb = FirstTimeKey(b.front());
        if (ka < 0 || kb < 0)
            return ka >= 0 && kb < 0;
        return ka < kb;
    });
    files.clear();
    for (std::vector<Spy_file>& ring : rings)
        for (Spy_file& file : ring)
            files.push_back(std::move(file));
}

void PrintProblem(const Spy_file& file, const Spy_problem& problem, std::ostream& out)
{
    out << "!! " << file.name << " at offset " << problem.offset << ": " << problem.text << "\n";
}

// Prints the file's chunks with the problems at their places in file order.
void PrintFile(const Spy_file& file, Stream_interpreter* interpreter, std::ostream& out)
{
    out << "== " << file.name << " (" << file.data.size() << " bytes)\n";
    const std::vector<Spy_problem>& problems = file.records.problems;
    size_t next_problem = 0;
    for (const Spy_chunk& chunk : file.records.chunks) {
        for (; next_problem < problems.size() && problems[next_problem].offset < chunk.offset; ++next_problem)
            PrintProblem(file, problems[next_problem], out);
        const std::string time = chunk.time.Text();
        const int direction = DirectionOf(chunk);
        out << time << " " << DirectionWord(direction) << " " << Hex(chunk.bytes) << "\n";
        if (interpreter == nullptr)
            continue;
        for (const std::string& text : interpreter->Feed(chunk.bytes, direction))
            out << time << " " << DirectionWord(direction) << " = " << text << "\n";
    }
    for (; next_problem < problems.size(); ++next_problem)
        PrintProblem(file, problems[next_problem], out);
    if (file.records.end_marker)
        out << "-- end of recording\n";
}

}  // namespace

bool ParseSpyProtocol(const std::string& word, Spy_protocol& protocol)
{
    if (word == "zarn")
        protocol = Spy_protocol::zarn;
    else if (word == "cl")
        protocol = Spy_protocol::current_loop;
    else if (word == "none")
        protocol = Spy_protocol::none;
    else if (word == "auto")
        protocol = Spy_protocol::automatic;
    else
        return false;
    return true;
}

int DumpSpyFiles(const std::vector<std::string>& file_names, Spy_protocol protocol, std::ostream& out)
{
    int status = 0;
    std::vector<Spy_file> files;
    for (const std::string& name : file_names) {
        Spy_file file;
        file.name = name;
        std::string error;
        if (!LoadFile(name, file.data, error)) {
            out << "!! " << name << ": cannot read: " << error << "\n";
            status = 2;
            continue;
        }
        file.records = ReadSpyRecords(file.data);
        if (!file.records.problems.empty() && status == 0)
            status = 1;
        files.push_back(std::move(file));
    }
    SortInRingOrder(files);
    if (protocol == Spy_protocol::automatic)
        protocol = DetectProtocol(files);
    out << "protocol: " << ProtocolName(protocol) << "\n";
    std::unique_ptr<Stream_interpreter> interpreter = InterpreterFor(protocol);
    for (const Spy_file& file : files)
        PrintFile(file, interpreter.get(), out);
    return status;
}
