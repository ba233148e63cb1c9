#include <algorithm>
#include <numeric>
#include <unordered_set>

#include "BuiltinSupport.h"
#include "templates/Filters.h"
#include "templates/PropertyMembers.h"
#include "templates/TemplateError.h"
#include "templates/Unicode.h"

namespace templates {

namespace {

using builtins::bindAfterValue;

int elementOrder(const Value& a, const Value& b, bool caseSensitive) {
    if (a.isString() && b.isString() && !caseSensitive) {
        return unicode::compare(unicode::lowercased(a.asString()),
                                unicode::lowercased(b.asString()));
    }
    return a.compare(b);
}

// Stable sort of `items` by `key`, comparing with `order`.
template <class Key, class Order>
void stableSortBy(std::vector<Value>& items, Key key, Order order) {
    std::vector<Value> keys;
    keys.reserve(items.size());
    for (const Value& item : items) {
        keys.push_back(key(item));
    }
    std::vector<std::size_t> positions(items.size());
    std::iota(positions.begin(), positions.end(), 0);
    std::stable_sort(positions.begin(), positions.end(), [&](std::size_t a, std::size_t b) {
        return order(keys[a], keys[b]) < 0;
    });
    std::vector<Value> sorted;
    sorted.reserve(items.size());
    for (const std::size_t p : positions) {
        sorted.push_back(items[p]);
    }
    items = std::move(sorted);
}

}  // namespace

Value Filters::sort(const Args& args, const KeywordValues& kwargs, const Scope&) {
    static const std::string parameters[] = {"reverse", "case_sensitive", "attribute"};
    static const ArgumentDefaults defaults{
        {"reverse", Value(false)}, {"case_sensitive", Value(false)}, {"attribute", Value()}};
    if (args.empty() || !args.front().isArray()) {
        return Value(std::vector<Value>());
    }
    const BoundArguments bound = bindAfterValue(args, kwargs, parameters, defaults);
    const bool caseSensitive = bound.at(1).isTruthy();
    std::vector<std::string> names;
    if (bound.at(2).isString()) {
        const std::string& text = bound.at(2).asString();
        std::size_t start = 0;
        while (start <= text.size()) {
            std::size_t comma = text.find(',', start);
            if (comma == std::string::npos) {
                comma = text.size();
            }
            const std::string_view piece = unicode::trimmed(
                std::string_view(text).substr(start, comma - start), unicode::isSpaceOrLineBreak,
                true, true);
            if (!piece.empty()) {
                names.emplace_back(piece);
            }
            start = comma + 1;
        }
    }
    std::vector<Value> items = args.front().asArray().toVector();
    const auto order = [caseSensitive](const Value& a, const Value& b) {
        return elementOrder(a, b, caseSensitive);
    };
    if (names.empty()) {
        stableSortBy(items, [](const Value& v) { return v; }, order);
    }
    for (auto name = names.rbegin(); name != names.rend(); ++name) {
        stableSortBy(
            items, [&](const Value& v) { return PropertyMembers::evaluate(v, *name); }, order);
    }
    if (bound.at(0).isTruthy()) {
        std::reverse(items.begin(), items.end());
    }
    return Value(std::move(items));
}

Value Filters::dictsort(const Args& args, const KeywordValues& kwargs, const Scope&) {
    static const std::string parameters[] = {"case_sensitive", "by", "reverse"};
    static const ArgumentDefaults defaults{
        {"case_sensitive", Value(false)}, {"by", Value("key")}, {"reverse", Value(false)}};
    if (args.empty() || !args.front().isObject()) {
        return Value(std::vector<Value>());
    }
    const BoundArguments bound = bindAfterValue(args, kwargs, parameters, defaults);
    const bool caseSensitive = bound.at(0).isTruthy();
    const bool byValue = bound.at(1).isString() && bound.at(1).asString() == "value";
    const bool descending = bound.at(2).isTruthy();
    std::vector<Value> pairs = PropertyMembers::items(args.front().asObject());
    const auto compareTexts = [caseSensitive](const std::string& a, const std::string& b) {
        return caseSensitive ? unicode::compare(a, b) : unicode::caseInsensitiveCompare(a, b);
    };
    std::stable_sort(pairs.begin(), pairs.end(), [&](const Value& a, const Value& b) {
        const Value& left = a.asArray()[byValue ? 1 : 0];
        const Value& right = b.asArray()[byValue ? 1 : 0];
        int order;
        if (byValue) {
            order = compareTexts(left.description(), right.description());
        } else if (left.isInt() != right.isInt()) {
            order = left.isInt() ? -1 : 1;
        } else if (left.isInt()) {
            order = left.asInt() < right.asInt() ? -1 : left.asInt() > right.asInt() ? 1 : 0;
        } else {
            order = compareTexts(left.asString(), right.asString());
        }
        return descending ? order > 0 : order < 0;
    });
    return Value(std::move(pairs));
}

Value Filters::groupby(const Args& args, const KeywordValues& kwargs, const Scope&) {
    static const std::string parameters[] = {"attribute", "default", "case_sensitive"};
    static const ArgumentDefaults defaults{{"default", Value()},
                                           {"case_sensitive", Value(false)}};
    if (args.empty() || !args.front().isArray()) {
        return Value(std::vector<Value>());
    }
    const BoundArguments bound = bindAfterValue(args, kwargs, parameters, defaults);
    if (!bound.at(0).isString()) {
        throw TemplateError::runtime("groupby filter requires attribute parameter");
    }
    const std::string& attribute = bound.at(0).asString();
    const bool caseSensitive = bound.at(2).isTruthy();
    struct Record {
        Value element;
        Value display;
        Value normalised;
    };
    std::vector<Record> records;
    for (const Value& element : args.front().asArray()) {
        Value display = PropertyMembers::evaluate(element, attribute);
        if (display.isUndefined()) {
            display = bound.at(1);
        }
        Value normalised = display.isString() && !caseSensitive
                               ? Value(unicode::lowercased(display.asString()))
                               : display;
        records.push_back({element, std::move(display), std::move(normalised)});
    }
    const auto order = [](const Value& a, const Value& b) {
        if (a.isString() && b.isString()) {
            return unicode::compare(a.asString(), b.asString());
        }
        try {
            return a.compare(b);
        } catch (const TemplateError&) {
            return unicode::compare(a.description(), b.description());
        }
    };
    std::stable_sort(records.begin(), records.end(), [&](const Record& a, const Record& b) {
        return order(a.normalised, b.normalised) < 0;
    });
    std::vector<Value> groups;
    std::size_t start = 0;
    while (start < records.size()) {
        std::size_t end = start + 1;
        while (end < records.size() &&
               records[start].normalised.isEquivalent(records[end].normalised)) {
            ++end;
        }
        std::vector<Value> members;
        for (std::size_t i = start; i < end; ++i) {
            members.push_back(records[i].element);
        }
        Value::Object group;
        group[ObjectKey("grouper")] = records[start].display;
        group[ObjectKey("list")] = Value(std::move(members));
        groups.emplace_back(std::move(group));
        start = end;
    }
    return Value(std::move(groups));
}

Value Filters::unique(const Args& args, const KeywordValues& kwargs, const Scope&) {
    static const std::string parameters[] = {"case_sensitive", "attribute"};
    static const ArgumentDefaults defaults{{"case_sensitive", Value(false)},
                                           {"attribute", Value()}};
    if (args.empty() || !args.front().isArray()) {
        return Value(std::vector<Value>());
    }
    const BoundArguments bound = bindAfterValue(args, kwargs, parameters, defaults);
    const bool caseSensitive = bound.at(0).isTruthy();
    std::unordered_set<Value> seen;
    std::vector<Value> out;
    for (const Value& element : args.front().asArray()) {
        Value key = bound.at(1).isNull() ? element : resolveAttributeValue(element, bound.at(1));
        if (key.isString() && !caseSensitive) {
            key = Value(unicode::lowercased(key.asString()));
        }
        if (seen.insert(std::move(key)).second) {
            out.push_back(element);
        }
    }
    return Value(std::move(out));
}

}  // namespace templates
