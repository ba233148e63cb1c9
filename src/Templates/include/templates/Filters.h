#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "templates/BuiltinFunction.h"
#include "templates/Unicode.h"
#include "templates/Value.h"

namespace templates {

using FilterTable = std::unordered_map<std::string, BuiltinFunction, unicode::CanonicalHash,
                                       unicode::CanonicalEqual>;

// The built-in filters. A filter receives the filtered value as its first positional value,
// then the values written in the call, the keyword values by name and the calling scope; it
// binds its own parameters with resolveCallArguments. The interpreter gives a function-valued
// variable of the same name the first chance before it looks here.
class Filters {
public:
    Filters() = delete;

    using Args = std::vector<Value>;
    using Scope = std::shared_ptr<Environment>;

    // Built once, on first use (safely under concurrent first use), from the rows listed in
    // Filters.cpp; read-only afterwards. Aliases: count (length), d (default), e (escape).
    static const FilterTable& builtIn();

    // The attribute lookup of join, unique and map: an int indexes an array (no negative
    // indexes) or finds an int key, else the key of its decimal text; a string is a property
    // member of an object or string; every other case is undefined.
    static Value resolveAttributeValue(const Value& value, const Value& attribute);

    // One function per filter; the names ending in an underscore are the filters default, float
    // and int.
    static Value upper(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value lower(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value length(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value join(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value default_(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value first(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value last(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value random(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value reverse(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value sort(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value groupby(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value slice(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value map(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value select(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value reject(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value selectattr(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value rejectattr(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value attr(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value dictsort(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value forceescape(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value safe(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value striptags(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value format(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value wordwrap(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value filesizeformat(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value xmlattr(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value string(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value trim(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value escape(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value tojson(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value abs(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value capitalize(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value center(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value float_(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value int_(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value list(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value max(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value min(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value round(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value title(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value wordcount(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value replace(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value urlencode(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value batch(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value sum(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value truncate(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value unique(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value indent(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value items(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value pprint(const Args& args, const KeywordValues& kwargs, const Scope& env);
    static Value urlize(const Args& args, const KeywordValues& kwargs, const Scope& env);
};

}  // namespace templates
