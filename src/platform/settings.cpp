#include "platform/settings.h"

#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <charconv>
#include <cerrno>
#include <atomic>
#include <climits>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <vector>

namespace Settings {
namespace {

// One lock around the file name and around every whole read or read-modify-write of the file,
// so threads of this process never see or make a half-written file.
std::mutex g_mutex;
std::string g_file_override;

std::string Trim(const std::string& text)
{
    size_t first = 0;
    while (first < text.size() && std::isspace(static_cast<unsigned char>(text[first])))
        ++first;
    size_t last = text.size();
    while (last > first && std::isspace(static_cast<unsigned char>(text[last - 1])))
        --last;
    return text.substr(first, last - first);
}

bool SameName(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

std::string ProgramFolder()
{
    std::error_code error;
    std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        return {};
    return program.parent_path().string();
}

// A program installed on the system (/usr/bin, /usr/local/bin, ~/.local/bin, /opt/NAME/bin) never
// writes beside itself, not even when it runs as root and could: its folder is the system's.
// Only a program run from where it was built (or unpacked by hand elsewhere) keeps its settings
// beside it.
bool InstalledProgramFolder(const std::string& folder)
{
    const std::string name = std::filesystem::path(folder).filename().string();
    return name == "bin" || name == "sbin";
}

std::string UserConfigFile()
{
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/')
        return std::string(xdg) + "/Gallion/Gallion.ini";
    const char* home = std::getenv("HOME");
    std::string base = (home != nullptr && home[0] != '\0') ? home : ".";
    return base + "/.config/Gallion/Gallion.ini";
}

std::string FileLocked()
{
    if (!g_file_override.empty())
        return g_file_override;
    const char* named = std::getenv("GALLION_INI");
    if (named != nullptr && named[0] != '\0')
        return named;
    std::string folder = ProgramFolder();
    if (!folder.empty() && !InstalledProgramFolder(folder) && access(folder.c_str(), W_OK) == 0)
        return folder + "/Gallion.ini";
    return UserConfigFile();
}

// The file as lines without their line ends. Empty when the file is missing.
struct Lines {
    std::vector<std::string> lines;
    bool crlf = false;  // the file used CR LF line ends; a rewrite keeps them
};

Lines ReadLines(const std::string& path)
{
    Lines result;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    bool first = true;
    while (std::getline(in, line)) {
        bool had_cr = !line.empty() && line.back() == '\r';
        if (had_cr)
            line.pop_back();
        if (first)
            result.crlf = had_cr;
        first = false;
        result.lines.push_back(line);
    }
    return result;
}

// "[name]" with optional blanks around; the name without brackets, or nothing.
std::optional<std::string> SectionName(const std::string& line)
{
    std::string text = Trim(line);
    if (text.size() < 2 || text.front() != '[')
        return std::nullopt;
    size_t close = text.find(']');
    if (close == std::string::npos)
        return std::nullopt;
    return Trim(text.substr(1, close - 1));
}

bool IsComment(const std::string& line)
{
    std::string text = Trim(line);
    return !text.empty() && (text.front() == ';' || text.front() == '#');
}

// The key of a "key=value" line, or nothing.
std::optional<std::string> KeyName(const std::string& line)
{
    if (IsComment(line) || SectionName(line))
        return std::nullopt;
    size_t eq = line.find('=');
    if (eq == std::string::npos)
        return std::nullopt;
    return Trim(line.substr(0, eq));
}

// Where a section's lines are: header index and one past its last line. Nothing when missing.
struct SectionRange {
    size_t header;
    size_t end;
};

std::optional<SectionRange> FindSection(const std::vector<std::string>& lines, const std::string& section)
{
    for (size_t i = 0; i < lines.size(); ++i) {
        std::optional<std::string> name = SectionName(lines[i]);
        if (!name || !SameName(*name, section))
            continue;
        size_t end = i + 1;
        while (end < lines.size() && !SectionName(lines[end]))
            ++end;
        return SectionRange{i, end};
    }
    return std::nullopt;
}

std::optional<size_t> FindKey(const std::vector<std::string>& lines, SectionRange range, const std::string& key)
{
    for (size_t i = range.header + 1; i < range.end; ++i) {
        std::optional<std::string> name = KeyName(lines[i]);
        if (name && SameName(*name, key))
            return i;
    }
    return std::nullopt;
}

std::optional<std::string> ReadValue(const std::string& section, const std::string& key)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    Lines file = ReadLines(FileLocked());
    std::optional<SectionRange> range = FindSection(file.lines, Trim(section));
    if (!range)
        return std::nullopt;
    std::optional<size_t> index = FindKey(file.lines, *range, Trim(key));
    if (!index)
        return std::nullopt;
    const std::string& line = file.lines[*index];
    return Trim(line.substr(line.find('=') + 1));
}

bool HasLineBreak(const std::string& text)
{
    return text.find_first_of("\r\n") != std::string::npos;
}

// Writes the whole file to a neighbour and renames it over the old one, so a crash midway never
// leaves a truncated settings file.
bool SaveLines(const std::string& path, const Lines& file)
{
    std::error_code error;
    std::filesystem::path target(path);
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        target = std::filesystem::canonical(target, error);  // write where the link points
        if (error)
            return false;
    }
    if (target.has_parent_path())
        std::filesystem::create_directories(target.parent_path(), error);
    std::string temporary = target.string() + ".tmp-XXXXXX";
    std::vector<char> pattern(temporary.begin(), temporary.end());
    pattern.push_back('\0');
    int fd = mkstemp(pattern.data());
    if (fd < 0)
        return false;
    std::string text;
    const char* line_end = file.crlf ? "\r\n" : "\n";
    for (const std::string& line : file.lines)
        text += line + line_end;
    size_t done = 0;
    bool ok = true;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        done += static_cast<size_t>(n);
    }
    fchmod(fd, 0644);
    if (close(fd) != 0)
        ok = false;
    if (ok && std::rename(pattern.data(), target.c_str()) != 0)
        ok = false;
    if (!ok)
        unlink(pattern.data());
    return ok;
}

bool WriteValue(const std::string& section_name, const std::string& key_name, const std::string& value)
{
    std::string section = Trim(section_name);
    std::string key = Trim(key_name);
    // A line break or a bracket/equals sign in the wrong place would corrupt the file.
    if (section.empty() || key.empty() || HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value) ||
        section.find(']') != std::string::npos || key.find('=') != std::string::npos || key.front() == '[' ||
        key.front() == ';' || key.front() == '#')
        return false;

    std::lock_guard<std::mutex> lock(g_mutex);
    std::string path = FileLocked();
    Lines file = ReadLines(path);
    std::string new_line = key + "=" + value;
    std::optional<SectionRange> range = FindSection(file.lines, section);
    if (!range) {
        file.lines.push_back("[" + section + "]");
        file.lines.push_back(new_line);
    } else if (std::optional<size_t> index = FindKey(file.lines, *range, key)) {
        file.lines[*index] = new_line;
    } else {
        // After the section's last non-blank line, so blank separators stay before the next one.
        size_t insert_at = range->end;
        while (insert_at > range->header + 1 && Trim(file.lines[insert_at - 1]).empty())
            --insert_at;
        file.lines.insert(file.lines.begin() + static_cast<std::ptrdiff_t>(insert_at), new_line);
    }
    return SaveLines(path, file);
}

// A whole decimal integer that fits an int, or nothing.
std::optional<int> ParseInt(const std::string& text)
{
    if (text.empty())
        return std::nullopt;
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    long number = std::strtol(begin, &end, 10);
    if (end == begin || *end != '\0' || errno == ERANGE || number < INT_MIN || number > INT_MAX)
        return std::nullopt;
    return static_cast<int>(number);
}

std::optional<int64_t> ParseInt64(const std::string& text)
{
    if (text.empty())
        return std::nullopt;
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    long long number = std::strtoll(begin, &end, 10);
    if (end == begin || *end != '\0' || errno == ERANGE)
        return std::nullopt;
    return static_cast<int64_t>(number);
}

// The decimal point set by SetDecimalPoint; 0: the process's numeric locale decides.
std::atomic<char> g_decimal_point{0};

char DecimalPoint()
{
    if (const char chosen = g_decimal_point.load())
        return chosen;
    const char* point = std::localeconv()->decimal_point;
    return (point != nullptr && point[0] != '\0') ? point[0] : '.';
}

}  // namespace

char UserDecimalPoint()
{
    // A locale object of its own: the process's locale (which the windows program sets to "C"
    // for the engines) is neither read nor changed.
    locale_t user = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(0));
    if (user == static_cast<locale_t>(0))
        return '.';
    const char* point = nl_langinfo_l(RADIXCHAR, user);
    const char result = (point != nullptr && point[0] != '\0') ? point[0] : '.';
    freelocale(user);
    return result;
}

void SetDecimalPoint(char point)
{
    g_decimal_point.store(point);
}

void SetFile(const std::string& path)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_file_override = path;
}

std::string File()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return FileLocked();
}

int ReadInt(const std::string& section, const std::string& key, int default_value)
{
    std::optional<std::string> value = ReadValue(section, key);
    std::optional<int> number = value ? ParseInt(*value) : std::nullopt;
    return number ? *number : default_value;
}

int64_t ReadInt64(const std::string& section, const std::string& key, int64_t default_value)
{
    std::optional<std::string> value = ReadValue(section, key);
    std::optional<int64_t> number = value ? ParseInt64(*value) : std::nullopt;
    return number ? *number : default_value;
}

bool ReadBool(const std::string& section, const std::string& key, bool default_value)
{
    std::optional<std::string> value = ReadValue(section, key);
    std::optional<int> number = value ? ParseInt(*value) : std::nullopt;
    return number ? *number != 0 : default_value;
}

double ReadFloat(const std::string& section, const std::string& key, double default_value)
{
    std::optional<std::string> value = ReadValue(section, key);
    if (!value || value->empty())
        return default_value;
    // The file may have been written under another locale than this one: one decimal separator,
    // a point or a comma, is taken either way.
    std::string text = *value;
    const char point = DecimalPoint();
    int separators = 0;
    for (char& c : text) {
        if (c == point || c == '.' || c == ',') {
            c = '.';
            ++separators;
        }
    }
    if (separators > 1)
        return default_value;
    size_t start = (text[0] == '+') ? 1 : 0;
    double number = 0;
    auto [end, error] = std::from_chars(text.data() + start, text.data() + text.size(), number);
    if (error != std::errc() || end != text.data() + text.size())
        return default_value;
    return number;
}

std::string ReadString(const std::string& section, const std::string& key, const std::string& default_value)
{
    std::optional<std::string> value = ReadValue(section, key);
    return value ? *value : default_value;
}

bool WriteInt(const std::string& section, const std::string& key, int value)
{
    return WriteValue(section, key, std::to_string(value));
}

bool WriteBool(const std::string& section, const std::string& key, bool value)
{
    return WriteValue(section, key, value ? "1" : "0");
}

bool WriteFloat(const std::string& section, const std::string& key, double value)
{
    char buffer[64];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
    if (error != std::errc())
        return false;
    std::string text(buffer, end);
    char point = DecimalPoint();
    for (char& c : text) {
        if (c == '.')
            c = point;
    }
    return WriteValue(section, key, text);
}

bool WriteString(const std::string& section, const std::string& key, const std::string& value)
{
    return WriteValue(section, key, value);
}

}  // namespace Settings
