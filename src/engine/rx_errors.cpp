#include "engine/rx_errors.h"

#include <climits>

#include "platform/clock.h"

void Rx_error_record::CountOnly(int errors)
{
    if (errors <= 0)
        return;
    count_ = count_ > INT_MAX - errors ? INT_MAX : count_ + errors;
}

void Rx_error_record::Record(const std::string& text, const std::string& hex_line, bool list, std::time_t now)
{
    CountOnly(1);
    if (!list)
        return;
    lines_.push_back(RxErrorStamp(now) + text);
    lines_.push_back(hex_line);
    lines_.push_back("");
    while (lines_.size() > kMaxLines) {
        for (size_t i = 0; i < kLinesPerError && !lines_.empty(); ++i)
            lines_.pop_front();
    }
}

std::vector<std::string> Rx_error_record::Lines() const
{
    return std::vector<std::string>(lines_.begin(), lines_.end());
}

std::vector<std::string> Rx_error_record::TakeLines()
{
    std::vector<std::string> lines(std::make_move_iterator(lines_.begin()), std::make_move_iterator(lines_.end()));
    lines_.clear();
    return lines;
}
