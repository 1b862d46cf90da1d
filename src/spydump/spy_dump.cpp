#include "spydump/spy_dump.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/text.h"
#include "currentloop/cl_frame_assembler.h"
#include "currentloop/cl_message.h"
#include "spy/spy_file_reader.h"
#include "spy/spy_record.h"
#include "zarn/zarn_crc.h"
#include "zarn/zarn_interpreter.h"

namespace {

// A file named on the command line, between the passes over it.
struct Spy_file {
    std::string name;
    long long first_time = -1;  // sort key of its first time record; -1 when it has none
};

// A spy file opened for one pass: only a regular file is read (a folder, a pipe or a device is
// refused, and opening one never blocks), and only the bytes it held when it was opened.
class Spy_file_source : public Spy_byte_source {
public:
    Spy_file_source() = default;
    Spy_file_source(const Spy_file_source&) = delete;
    Spy_file_source& operator=(const Spy_file_source&) = delete;
    ~Spy_file_source() override
    {
        if (fd_ >= 0)
            close(fd_);
    }

    // False with `error` set when the file cannot be read.
    bool Open(const std::string& name, std::string& error)
    {
        // O_NONBLOCK: opening a named pipe does not wait for a writer; the type is checked on the
        // open descriptor, so the file cannot change between the check and the reading.
        fd_ = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0) {
            error = std::strerror(errno);
            return false;
        }
        struct stat status {};
        if (fstat(fd_, &status) != 0) {
            error = std::strerror(errno);
            return false;
        }
        if (S_ISDIR(status.st_mode)) {
            error = std::strerror(EISDIR);
            return false;
        }
        if (!S_ISREG(status.st_mode)) {
            error = "not a regular file";
            return false;
        }
        left_ = static_cast<uint64_t>(status.st_size);
        size_ = left_;
        return true;
    }

    uint64_t Size() const { return size_; }

    size_t Read(uint8_t* into, size_t size) override
    {
        const size_t wanted = static_cast<size_t>(std::min<uint64_t>(size, left_));
        while (wanted > 0) {
            const ssize_t got = read(fd_, into, wanted);
            if (got > 0) {
                left_ -= static_cast<uint64_t>(got);
                return static_cast<size_t>(got);
            }
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                error_ = std::strerror(errno);
            left_ = 0;  // cut short under us, or failing: the end
            break;
        }
        return 0;
    }

    // The read error that ended the reading early; empty when there was none.
    const std::string& Error() const { return error_; }

private:
    int fd_ = -1;
    uint64_t size_ = 0;
    uint64_t left_ = 0;
    std::string error_;
};

void PrintCannotRead(const std::string& name, const std::string& error, std::ostream& out)
{
    out << "!! " << name << ": cannot read: " << error << "\n";
}

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

// Counts, over the chunks of all files in ring order, the well-formed blocks of each protocol:
// Zarn blocks addressed to a pump, of a known kind, and DATA blocks with a right CRC; 32-byte
// current-loop frames with a right CRC. The protocol with more wins, Zarn on a tie.
class Protocol_census : public Spy_record_sink {
public:
    bool Chunk(const Spy_chunk& chunk) override
    {
        const int direction = DirectionOf(chunk);
        for (uint8_t byte : chunk.bytes) {
            CountZarn(byte, direction);
            CountCL(byte, direction);
        }
        return true;
    }
    void Problem(const Spy_problem&) override {}
    void EndMarker(size_t) override {}

    Spy_protocol Protocol() const
    {
        if (zarn_ == 0 && current_loop_ == 0)
            return Spy_protocol::none;
        return zarn_ >= current_loop_ ? Spy_protocol::zarn : Spy_protocol::current_loop;
    }

private:
    void CountZarn(uint8_t byte, int direction)
    {
        if (!cutters_[direction].Feed(byte))
            return;
        std::unique_ptr<Message> block = cutters_[direction].TakeBlock();
        if (block->length < 2 || block->bytes[0] < 0x50 || block->bytes[0] > 0x6F)
            return;
        const int kind = block->bytes[1] >> 4;
        const bool control = block->length == 2 && (kind == 0x2 || kind == 0x5 || kind == 0x7 || kind == 0xC);
        bool data = false;
        if (kind == 0x3 && block->length >= 5) {
            const size_t crc_at = block->length - 3u;
            const uint16_t crc = ZarnCrc16(block->bytes.data(), crc_at);
            data = block->bytes[crc_at] == (crc & 0xFF) && block->bytes[crc_at + 1] == (crc >> 8);
        }
        zarn_ += (control || data) ? 1 : 0;
    }

    void CountCL(uint8_t byte, int direction)
    {
        CL_frame_assembler& assembler = assemblers_[direction];
        if (!assembler.Feed(byte))
            return;
        const CL_Message& frame = assembler.Frame();
        const uint16_t crc = CL_FrameCrc(frame);
        if (frame.length == cl_frame::kLength && frame.bytes[cl_frame::kCrcHigh] == (crc >> 8) &&
            frame.bytes[cl_frame::kCrcLow] == (crc & 0xFF))
            ++current_loop_;
    }

    Zarn_block_cutter cutters_[2];
    CL_frame_assembler assemblers_[2];
    long long zarn_ = 0;
    long long current_loop_ = 0;
};

// Takes the time of the first chunk that has one, and stops the reading there.
class First_time_finder : public Spy_record_sink {
public:
    bool Chunk(const Spy_chunk& chunk) override
    {
        if (!chunk.time.known)
            return true;
        key = chunk.time.SortKey();
        return false;
    }
    void Problem(const Spy_problem&) override {}
    void EndMarker(size_t) override {}

    long long key = -1;
};

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
            const long long here = ring[i].first_time;
            const long long next = ring[i + 1].first_time;
            if (here >= 0 && next >= 0 && next / 1000 < here / 1000) {
                std::rotate(ring.begin(), ring.begin() + static_cast<long>(i + 1), ring.end());
                break;
            }
        }
    }
    std::stable_sort(rings.begin(), rings.end(), [](const auto& a, const auto& b) {
        const long long ka = a.front().first_time;
        const long long kb = b.front().first_time;
        if (ka < 0 || kb < 0)
            return ka >= 0 && kb < 0;
        return ka < kb;
    });
    files.clear();
    for (std::vector<Spy_file>& ring : rings)
        for (Spy_file& file : ring)
            files.push_back(std::move(file));
}

// Prints a file's chunks and problems as the reader finds them, in file order.
class File_printer : public Spy_record_sink {
public:
    File_printer(const std::string& name, Stream_interpreter* interpreter, std::ostream& out)
        : name_(name), interpreter_(interpreter), out_(out)
    {
    }

    bool Chunk(const Spy_chunk& chunk) override
    {
        const std::string time = chunk.time.Text();
        const int direction = DirectionOf(chunk);
        out_ << time << " " << DirectionWord(direction) << " " << Hex(chunk.bytes) << "\n";
        if (interpreter_ != nullptr)
            for (const std::string& text : interpreter_->Feed(chunk.bytes, direction))
                out_ << time << " " << DirectionWord(direction) << " = " << text << "\n";
        return true;
    }

    void Problem(const Spy_problem& problem) override
    {
        out_ << "!! " << name_ << " at offset " << problem.offset << ": " << problem.text << "\n";
        problems_ = true;
    }

    void EndMarker(size_t) override { end_marker_ = true; }

    bool HadProblems() const { return problems_; }
    bool SawEndMarker() const { return end_marker_; }

private:
    const std::string& name_;
    Stream_interpreter* interpreter_;
    std::ostream& out_;
    bool problems_ = false;
    bool end_marker_ = false;
};

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
    // The files are read in passes, each from the start and through a buffer of fixed size, so
    // that memory does not grow with their sizes: the time of the first record (for the ring
    // order), then the protocol's census when it is to be found out, then the printing.
    int status = 0;
    std::vector<Spy_file> files;
    for (const std::string& name : file_names) {
        Spy_file_source source;
        std::string error;
        if (!source.Open(name, error)) {
            PrintCannotRead(name, error, out);
            status = 2;
            continue;
        }
        First_time_finder finder;
        ReadSpyRecords(source, finder);
        if (!source.Error().empty()) {
            PrintCannotRead(name, source.Error(), out);
            status = 2;
            continue;
        }
        files.push_back(Spy_file{name, finder.key});
    }
    SortInRingOrder(files);
    if (protocol == Spy_protocol::automatic) {
        Protocol_census census;
        for (const Spy_file& file : files) {
            Spy_file_source source;
            std::string error;
            if (source.Open(file.name, error))
                ReadSpyRecords(source, census);
        }
        protocol = census.Protocol();
    }
    out << "protocol: " << ProtocolName(protocol) << "\n";
    std::unique_ptr<Stream_interpreter> interpreter = InterpreterFor(protocol);
    for (const Spy_file& file : files) {
        Spy_file_source source;
        std::string error;
        if (!source.Open(file.name, error)) {  // gone or replaced since the first pass
            PrintCannotRead(file.name, error, out);
            status = 2;
            continue;
        }
        out << "== " << file.name << " (" << source.Size() << " bytes)\n";
        File_printer printer(file.name, interpreter.get(), out);
        ReadSpyRecords(source, printer);
        if (printer.SawEndMarker())
            out << "-- end of recording\n";
        if (!source.Error().empty()) {
            PrintCannotRead(file.name, source.Error(), out);
            status = 2;
        }
        if (printer.HadProblems() && status == 0)
            status = 1;
    }
    return status;
}
