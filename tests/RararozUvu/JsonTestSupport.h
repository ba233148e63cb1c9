#pragma once

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <string>
#include <vector>

namespace rararozuvu::testing {

// The top-level keys of a JSON object, in order.
inline std::vector<std::string> keysOf(const std::string& json) {
    rapidjson::Document document;
    document.Parse(json.c_str());
    std::vector<std::string> keys;
    for (const auto& member : document.GetObject()) {
        keys.emplace_back(member.name.GetString());
    }
    return keys;
}

// The JSON object without one of its top-level keys.
inline std::string withoutKey(const std::string& json, const std::string& key) {
    rapidjson::Document document;
    document.Parse(json.c_str());
    document.RemoveMember(key.c_str());
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    document.Accept(writer);
    return buffer.GetString();
}

}  // namespace rararozuvu::testing
