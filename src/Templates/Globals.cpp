#include "templates/Globals.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>

#include "LimitErrors.h"
#include "templates/CallArguments.h"
#include "templates/Environment.h"
#include "templates/TemplateError.h"
#include "templates/TemplateException.h"
#include "templates/Unicode.h"

namespace templates {

namespace {

using Args = std::vector<Value>;
using Scope = std::shared_ptr<Environment>;

Value raiseException(const Args& args, const KeywordValues& kwargs, const Scope&) {
    static const std::string parameters[] = {"message"};
    static const ArgumentDefaults defaults{{"message", Value()}};
    const BoundArguments bound = resolveCallArguments(args, kwargs, parameters, defaults);
    const Value& message = bound.at(0);
    throw TemplateException(message.isString() ? std::optional(message.asString())
                                               : std::nullopt);
}

Value range(const Args& args, const KeywordValues&, const Scope& env) {
    if (args.empty() || args.size() > 3) {
        throw TemplateError::runtime("range() takes 1 to 3 arguments");
    }
    if (args.size() == 1 && !args[0].isInt()) {
        throw TemplateError::runtime("range() stop argument must be an integer");
    }
    for (const Value& argument : args) {
        if (!argument.isInt()) {
            throw TemplateError::runtime("range() arguments must be integers");
        }
    }
    const std::int64_t start = args.size() == 1 ? 0 : args[0].asInt();
    const std::int64_t stop = args.size() == 1 ? args[0].asInt() : args[1].asInt();
    const std::int64_t step = args.size() == 3 ? args[2].asInt() : 1;
    if (step == 0) {
        throw TemplateError::runtime("range() step argument must not be zero");
    }
    // The length is known before anything is built, so a huge range fails at once.
    const bool empty = step > 0 ? start >= stop : start <= stop;
    const auto span =
        empty ? 0
              : (step > 0 ? static_cast<std::uint64_t>(stop) - static_cast<std::uint64_t>(start)
                          : static_cast<std::uint64_t>(start) - static_cast<std::uint64_t>(stop));
    const std::uint64_t stride =
        step > 0 ? static_cast<std::uint64_t>(step) : 0 - static_cast<std::uint64_t>(step);
    const std::uint64_t length = empty ? 0 : (span - 1) / stride + 1;
    const std::size_t limit = (env ? env->limits() : RenderLimits{}).maximumArrayLength;
    if (length > limit) {
        throw TemplateError::runtime("Array would exceed the limit of " + std::to_string(limit) +
                                     " elements");
    }
    std::vector<Value> items;
    items.reserve(static_cast<std::size_t>(length));
    std::int64_t current = start;
    while (step > 0 ? current < stop : current > stop) {
        items.emplace_back(current);
        if (__builtin_add_overflow(current, step, &current)) {
            break;
        }
    }
    return Value(std::move(items));
}

// Uniform in [0, bound) from the system's random source.
std::uint64_t randomBelow(std::uint64_t bound) {
    thread_local std::mt19937_64 generator{std::random_device{}()};
    return std::uniform_int_distribution<std::uint64_t>(0, bound - 1)(generator);
}

Value lipsum(const Args& args, const KeywordValues& kwargs, const Scope& env) {
    static const std::string parameters[] = {"n", "html", "min", "max"};
    static const ArgumentDefaults defaults{
        {"n", Value(5)}, {"html", Value(true)}, {"min", Value(20)}, {"max", Value(100)}};
    static constexpr std::array<const char*, 62> words{
        "lorem",       "ipsum",      "dolor",     "sit",        "amet",     "consectetur",
        "adipiscing",  "elit",       "sed",       "do",         "eiusmod",  "tempor",
        "incididunt",  "ut",         "labore",    "et",         "dolore",   "magna",
        "aliqua",      "enim",       "ad",        "minim",      "veniam",   "quis",
        "nostrud",     "exercitation", "ullamco", "laboris",    "nisi",     "aliquip",
        "ex",          "ea",         "commodo",   "consequat",  "duis",     "aute",
        "irure",       "in",         "reprehenderit", "voluptate", "velit", "esse",
        "cillum",      "fugiat",     "nulla",     "pariatur",   "excepteur", "sint",
        "occaecat",    "cupidatat",  "non",       "proident",   "sunt",     "culpa",
        "qui",         "officia",    "deserunt",  "mollit",     "anim",     "id",
        "est",         "laborum"};
    const BoundArguments bound = resolveCallArguments(args, kwargs, parameters, defaults);
    const Value& n = bound.at(0);
    const Value& html = bound.at(1);
    const Value& low = bound.at(2);
    const Value& high = bound.at(3);
    if (!n.isInt() || !html.isBoolean() || !low.isInt() || !high.isInt() || n.asInt() < 0 ||
        low.asInt() < 0 || low.asInt() > high.asInt() || n.asInt() > 10000 ||
        high.asInt() > 100000) {
        throw TemplateError::runtime("Invalid arguments for lipsum()");
    }
    std::string out;
    for (std::int64_t p = 0; p < n.asInt(); ++p) {
        const auto span = static_cast<std::uint64_t>(high.asInt() - low.asInt()) + 1;
        const auto count = static_cast<std::uint64_t>(low.asInt()) + randomBelow(span);
        std::string sentence;
        for (std::uint64_t w = 0; w < count; ++w) {
            if (w > 0) {
                sentence.push_back(' ');
            }
            sentence += words[randomBelow(words.size())];
        }
        if (!sentence.empty()) {
            sentence[0] = static_cast<char>(sentence[0] - 'a' + 'A');
        }
        sentence.push_back('.');
        if (p > 0) {
            out += html.asBool() ? "\n" : "\n\n";
        }
        out += html.asBool() ? "<p>" + sentence + "</p>" : sentence;
        checkTextLength(out.size(), env ? env->limits() : RenderLimits{});
    }
    return Value(std::move(out));
}

Value dict(const Args&, const KeywordValues& kwargs, const Scope&) {
    std::vector<const KeywordValues::value_type*> entries;
    entries.reserve(kwargs.size());
    for (const auto& entry : kwargs) {
        entries.push_back(&entry);
    }
    std::stable_sort(entries.begin(), entries.end(), [](const auto* a, const auto* b) {
        return unicode::compare(a->first, b->first) < 0;
    });
    Value::Object object;
    object.reserve(entries.size());
    for (const auto* entry : entries) {
        object[ObjectKey(entry->first)] = entry->second;
    }
    return Value(std::move(object));
}

struct Cycler {
    std::vector<Value> items;
    std::mutex lock;
    std::size_t currentIndex = 0;
};

Value cycler(const Args& args, const KeywordValues&, const Scope&) {
    if (args.empty()) {
        throw TemplateError::runtime("cycler() requires at least one argument");
    }
    auto state = std::make_shared<Cycler>();
    state->items = args;
    Value::Object object;
    object[ObjectKey("current")] = args.front();
    object[ObjectKey("next")] =
        Value::function([state](const Args&, const KeywordValues&, const Scope&) {
            const std::lock_guard guard(state->lock);
            Value item = state->items[state->currentIndex];
            state->currentIndex = (state->currentIndex + 1) % state->items.size();
            return item;
        });
    object[ObjectKey("reset")] =
        Value::function([state](const Args&, const KeywordValues&, const Scope&) {
            const std::lock_guard guard(state->lock);
            state->currentIndex = 0;
            return Value();
        });
    return Value(std::move(object));
}

struct Joiner {
    std::string separator;
    std::mutex lock;
    bool first = true;
};

Value joiner(const Args& args, const KeywordValues& kwargs, const Scope&) {
    static const std::string parameters[] = {"sep"};
    static const ArgumentDefaults defaults{{"sep", Value(", ")}};
    const BoundArguments bound = resolveCallArguments(args, kwargs, parameters, defaults);
    if (!bound.at(0).isString()) {
        throw TemplateError::runtime("joiner separator must be a string");
    }
    auto state = std::make_shared<Joiner>();
    state->separator = bound.at(0).asString();
    return Value::function([state](const Args&, const KeywordValues&, const Scope&) {
        const std::lock_guard guard(state->lock);
        if (state->first) {
            state->first = false;
            return Value("");
        }
        return Value(state->separator);
    });
}

std::mutex clockLock;
Globals::Clock& clockStorage() {
    static Globals::Clock clock;
    return clock;
}

std::chrono::system_clock::time_point now() {
    const std::lock_guard guard(clockLock);
    const Globals::Clock& clock = clockStorage();
    return clock ? clock() : std::chrono::system_clock::now();
}

Value strftimeNow(const Args& args, const KeywordValues&, const Scope&) {
    if (args.size() != 1) {
        throw TemplateError::runtime("strftime_now takes exactly 1 argument");
    }
    if (!args[0].isString()) {
        throw TemplateError::runtime("strftime_now format argument must be a string");
    }
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now());
    // A chat template asks for the date at every rendering: within one second the same format
    // gives the same text, kept from the last call on this thread.
    struct Last {
        std::time_t seconds = 0;
        std::string format;
        Value text;
    };
    thread_local Last last;
    const std::string& format = args[0].asString();
    if (last.text.isString() && last.seconds == seconds && last.format == format) {
        return last.text;
    }
    std::tm local{};
    localtime_r(&seconds, &local);
    Value text(Globals::formatTime(format, local));
    last = {seconds, format, text};
    return text;
}

}  // namespace

void Globals::setClock(Clock clock) {
    const std::lock_guard guard(clockLock);
    clockStorage() = std::move(clock);
}

std::string Globals::formatTime(std::string_view format, const std::tm& time) {
    static constexpr std::string_view known = "aAbBcdHIjmMpSUwWxXyYzZ%";
    std::string out;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%' || i + 1 == format.size()) {
            out.push_back(format[i]);
            continue;
        }
        const char directive = format[++i];
        if (known.find(directive) == std::string_view::npos) {
            out.push_back('%');
            out.push_back(directive);
            continue;
        }
        const char pattern[3] = {'%', directive, '\0'};
        char buffer[128];
        const std::size_t written = std::strftime(buffer, sizeof buffer, pattern, &time);
        out.append(buffer, written);
    }
    return out;
}

const ordered::OrderedDictionary<std::string, Value>& Globals::builtIn() {
    // Rows: global name, then its function value.
    static const ordered::OrderedDictionary<std::string, Value> table{
        {"raise_exception", Value::function(raiseException)},
        {"range", Value::function(range)},
        {"lipsum", Value::function(lipsum)},
        {"dict", Value::function(dict)},
        {"cycler", Value::function(cycler)},
        {"joiner", Value::function(joiner)},
        {"namespace", Value::function(dict)},
        {"strftime_now", Value::function(strftimeNow)},
    };
    return table;
}

}  // namespace templates
