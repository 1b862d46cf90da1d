#pragma once
#include <string>
#include <vector>

#include "platform/text.h"  // JsonString

// A small writer of one-line JSON: the runner prints snapshots and lists this way.
class Json_object {
public:
    Json_object& Add(const std::string& key, const std::string& text);
    Json_object& Add(const std::string& key, const char* text);
    Json_object& Add(const std::string& key, long long number);
    Json_object& Add(const std::string& key, int number) { return Add(key, static_cast<long long>(number)); }
    Json_object& Add(const std::string& key, double number);
    Json_object& Add(const std::string& key, bool flag);
    Json_object& AddRaw(const std::string& key, const std::string& json);  // an already formed value
    std::string Text() const { return "{" + body_ + "}"; }

private:
    void Key(const std::string& key);
    std::string body_;
};

std::string JsonArray(const std::vector<std::string>& json_values);
std::string JsonNumberArray(const std::vector<int>& numbers);
std::string JsonStringArray(const std::vector<std::string>& texts);
