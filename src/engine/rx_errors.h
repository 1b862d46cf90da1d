#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

// The receive errors of one pump: how many there were, and, when listing is on, three lines per
// error (time stamp and text, the received bytes in hex, an empty line).
//
// The list keeps the newest errors only: beyond kMaxLines the oldest errors are dropped whole, so
// a controller that keeps sending refused commands cannot grow it without bound. The count keeps
// counting (up to the largest int).
//
// Not locked itself: the pump keeps it under its own lock, and hands out copies.
class Rx_error_record {
public:
    static constexpr size_t kLinesPerError = 3;
    static constexpr size_t kMaxLines = 4000;

    // Counts one error; with `list` on, also adds its lines: the stamp of `now` immediately
    // followed by `text`, then `hex_line`, then an empty line.
    void Record(const std::string& text, const std::string& hex_line, bool list, std::time_t now);
    // Counts errors that have no lines of their own (replies dropped for want of room).
    void CountOnly(int errors = 1);

    int Count() const { return count_; }
    size_t LineCount() const { return lines_.size(); }
    std::vector<std::string> Lines() const;  // a copy
    std::vector<std::string> TakeLines();    // the lines, leaving the list empty; the count stays

private:
    int count_ = 0;
    std::deque<std::string> lines_;
};
