#include "templates/PropertyMembers.h"

namespace templates {

namespace {

// Rows: member name, then the factory that binds it to a receiver.
PropertyMembers::MemberTable makeTable(
    std::initializer_list<std::pair<const std::string, PropertyMembers::MemberFactory>> rows) {
    return PropertyMembers::MemberTable(rows);
}

Value member(const PropertyMembers::MemberTable& table, const Value& receiver,
             std::string_view name) {
    if (table.empty()) {
        return Value::undefined();
    }
    const auto found = table.find(std::string(name));
    return found == table.end() ? Value::undefined() : found->second(receiver);
}

}  // namespace

const PropertyMembers::MemberTable& PropertyMembers::stringMembers() {
    static const MemberTable table = makeTable({});
    return table;
}

const PropertyMembers::MemberTable& PropertyMembers::objectMembers() {
    static const MemberTable table = makeTable({});
    return table;
}

Value PropertyMembers::evaluateStringProperty(const Value& text, std::string_view name) {
    return member(stringMembers(), text, name);
}

Value PropertyMembers::evaluateObjectProperty(const Value& object, std::string_view name) {
    Value method = member(objectMembers(), object, name);
    if (!method.isUndefined()) {
        return method;
    }
    const Value* value = findValue(object.asObject(), name);
    return value ? *value : Value::undefined();
}

}  // namespace templates
