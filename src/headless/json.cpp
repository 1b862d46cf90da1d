#include "headless/json.h"

#include <cmath>
#include <cstdio>

std::string JsonArray(const std::vector<std::string>& json_values)
{
    std::string out = "[";
    for (size_t i = 0; i < json_values.size(); ++i) {
        if (i > 0)
            out += ",";
        out += json_values[i];
    }
    return out + "]";
}

std::string JsonNumberArray(const std::vector<int>& numbers)
{
    std::vector<std::string> values;
    for (int n : numbers)
        values.push_back(std::to_string(n));
    return JsonArray(values);
}

std::string JsonStringArray(const std::vector<std::string>& texts)
{
    std::vector<std::string> values;
    for (const std::string& text : texts)
        values.push_back(JsonString(text));
    return JsonArray(values);
}

void Json_object::Key(const std::string& key)
{
    if (!body_.empty())
        body_ += ",";
    body_ += JsonString(key) + ":";
}

Json_object& Json_object::Add(const std::string& key, const std::string& text)
{
    Key(key);
    body_ += JsonString(text);
    return *this;
}

Json_object& Json_object::Add(const std::string& key, const char* text)
{
    return Add(key, std::string(text));
}

Json_object& Json_object::Add(const std::string& key, long long number)
{
    Key(key);
    body_ += std::to_string(number);
    return *this;
}

Json_object& Json_object::Add(const std::string& key, double number)
{
    Key(key);
    if (!std::isfinite(number)) {
        body_ += "null";
        return *this;
    }
    // Locale-independent: JSON always uses a point.
    char text[64];
    std::snprintf(text, sizeof text, "%.6g", number);
    for (char* p = text; *p; ++p)
        if (*p == ',')
            *p = '.';
    body_ += text;
    return *this;
}

Json_object& Json_object::Add(const std::string& key, bool flag)
{
    Key(key);
    body_ += flag ? "true" : "false";
    return *this;
}

Json_object& Json_object::AddRaw(const std::string& key, const std::string& json)
{
    Key(key);
    body_ += json;
    return *this;
}
