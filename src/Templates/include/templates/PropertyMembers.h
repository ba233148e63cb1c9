#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "templates/Value.h"

namespace templates {

// What a dot access `receiver.name` yields for a string or an object receiver.
class PropertyMembers {
public:
    PropertyMembers() = delete;

    // Makes the member value (usually a function bound to the receiver) for one receiver.
    using MemberFactory = std::function<Value(const Value& receiver)>;
    using MemberTable = std::unordered_map<std::string, MemberFactory>;

    // The methods of strings and of objects, built once on first use from the rows listed in
    // PropertyMembers.cpp; read-only afterwards.
    static const MemberTable& stringMembers();
    static const MemberTable& objectMembers();

    // Whether objects have a method of that name, which comes before any key of the name. Inline,
    // the names of objectMembers() told apart by length: every dotted access of an object asks.
    static bool hasObjectMember(std::string_view name) {
        switch (name.size()) {
            case 3:
                return name == "get";
            case 4:
                return name == "keys";
            case 5:
                return name == "items";
            case 6:
                return name == "values";
            default:
                return false;
        }
    }

    // The entries of an object as [key, value] pairs in entry order.
    static std::vector<Value> items(const Value::Object& entries);

    // The member of a string or object receiver; undefined for every other kind.
    static Value evaluate(const Value& receiver, std::string_view name);
    // A string member of that name, else undefined.
    static Value evaluateStringProperty(const Value& text, std::string_view name);
    // An object member of that name first, then the value under the text key, else undefined.
    static Value evaluateObjectProperty(const Value& object, std::string_view name);
};

}  // namespace templates
