// Golden renders of the built-in filters, tests, global functions and methods, and their messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>

#include "GoldenRenders.h"
#include "templates/Globals.h"
#include "templates/PropertyMembers.h"
#include "templates/Template.h"
#include "templates/TemplateError.h"

namespace templates {
namespace {

Template::Context context() {
    return {
        {"messages", Value(std::vector<Value>{
                         Value::dictionaryLiteral({{"role", "user"}, {"content", "hi"}}),
                         Value::dictionaryLiteral({{"role", "assistant"}, {"content", "yo"}}),
                         Value::dictionaryLiteral({{"content", "no role"}}),
                     })},
    };
}

std::string render(const std::string& source) {
    return Template(source, {}).render(context());
}

std::string runtimeError(const std::string& source) {
    try {
        return "rendered: " + render(source);
    } catch (const TemplateError& error) {
        return error.message();
    }
}

void expectRenders(std::initializer_list<Golden> cases) {
    expectGoldens(cases, [](const std::string& source) { return render(source); });
}

// Each source fails to render, whatever the message.
void expectFailures(std::initializer_list<const char*> sources) {
    for (const char* source : sources) {
        EXPECT_EQ(runtimeError(source).rfind("rendered: ", 0), std::string::npos) << source;
    }
}

void expectErrors(std::initializer_list<Golden> cases) {
    for (const Golden& c : cases) {
        EXPECT_EQ(runtimeError(c.source), c.expected) << c.source;
    }
}

TEST(BuiltinFilters, Binding) {
    expectRenders({
        {"{{ [1, 2] | count }}{{ [1, 2] | length }}{{ none | d(5) }}{{ '<' | e }}", "22&lt;"},
        {"{{ [{'n': 'a'}, {'n': 'b'}] | join(',', 'n', 99) }}", "a,b"},
    });
    expectErrors({
        {"{{ 'a' | upper(x=1) }}", "Unexpected keyword argument 'x' for filter."},
        {"{{ [1] | join(',', separator='-') }}",
         "Argument 'separator' passed both positionally and as keyword."},
        {"{{ 1 | default }}", "Missing required argument 'default_value' for filter."},
        {"{{ [1] | groupby }}", "Missing required argument 'attribute' for filter."},
        {"{{ 1 | nosuch }}", "Unknown filter: nosuch"},
    });
}

TEST(BuiltinFilters, Sequences) {
    expectRenders({
        {"{{ 'he\xCC\x81llo' | length }}{{ undefinedName | length }}", "50"},
        {"{{ [1, 'a', none] | join('-') }}[{{ [] | join }}]", "1-a-[]"},
        {"{{ [{'k': 1}, {}, {'k': 3}] | join(',', attribute='k') }}", "1,,3"},
        {"{{ undefinedName | default(5) }}{{ none | default(5) }}{{ false | default(5) }}"
         "{{ false | default(5, true) }}[{{ '' | default('', true) }}]",
         "5false5[]"},
        {"[{{ [] | first }}{{ '' | first }}]{{ [1, 2] | last }}{{ 'abc' | reverse }}", "[]2cba"},
        {"{{ {'a': 1} | random }}[{{ 7 | random }}]", "a[]"},
        {"{{ {'a': 1, 'b': 2} | list }}{{ 'ab' | list }}{{ 5 | list }}", "[1, 2]['a', 'b'][]"},
        {"{{ {1: 'x', 'k': 'y'} | items }}{{ [1] | items }}", "[[1, 'x'], ['k', 'y']][]"},
        {"{{ [1, 2, 3, 4, 5] | slice(2) }}{{ [1, 2, 3, 4, 5] | slice(2, 0) }}",
         "[[1, 3, 5], [2, 4, ]][[1, 3, 5], [2, 4, 0]]"},
        {"{{ [1, 2, 3] | slice(5) }}{{ [] | slice(3) }}{{ 'ab' | slice(2, nope=1) }}",
         "[[1], [2], [3], [], []][[], [], []][]"},
        {"{{ [1, 2, 3, 4, 5] | batch(2) }}{{ [1, 2, 3, 4, 5] | batch(5) }}{{ [] | batch(2) }}",
         "[[1, 2], [3, 4], [5, ]][[1, 2, 3, 4, 5]][]"},
    });
    expectErrors({
        {"{{ 'ab' | join }}", "join filter requires array"},
        {"{{ {} | first }}", "first filter requires array or string"},
        {"{{ {} | reverse }}", "reverse filter requires array or string"},
        {"{{ {} | attr(0) }}", "attr filter requires attribute parameter"},
    });
    expectFailures({"{{ none | length }}", "{{ [1] | slice(0) }}", "{{ [1] | batch(0) }}"});
}

TEST(BuiltinFilters, SelectionAndAggregates) {
    expectRenders({
        {"{{ ['a', 'b'] | map('upper') }}{{ [] | map('nosuch') }}{{ [1] | map() }}",
         "['A', 'B'][][]"},
        {"{{ [{'name': 'a'}, {}] | map(attribute='name') }}"
         "{{ [{'name': 'a'}, {}] | map(attribute='name', default='x') }}"
         "{{ [[1, 2], [3]] | map(attribute=0) }}",
         "['a', ]['a', 'x'][1, 3]"},
        {"{{ [0, 1, '', 'a', [], none] | select }}{{ [0, 1, '', 'a', [], none] | reject }}",
         "[1, 'a'][0, '', [], ]"},
        {"{{ [1, 2, 3] | select('odd') }}{{ [3, 4, 6] | reject('divisibleby', 3) }}", "[1, 3][4]"},
        {"{{ messages | selectattr('role', 'equalto', 'user') | map(attribute='content') | "
         "join }}|{{ messages | rejectattr('role', 'equalto', 'user') | "
         "map(attribute='content') | join(',') }}",
         "hi|yo,no role"},
        {"{{ [{'x': 0}, {'x': 1}, {}] | selectattr('x') }}"
         "{{ [{'x': 0}, {'x': 1}, {}] | rejectattr('x') }}{{ 'abc' | selectattr }}",
         "[{'x': 1}][{'x': 0}, {}][]"},
        {"{{ [{'items': []}] | selectattr('items') | length }}", "1"},
        {"{{ [1, 2, 3] | sum }} {{ [1, 2.5] | sum }} {{ [] | sum(start=10) }} "
         "{{ 'abc' | sum(start=10) }} {{ [{'n': 1}, {'n': 2}] | sum(attribute='n') }} "
         "{{ ['a', 'b'] | sum }} {{ [[1], [2]] | sum(start=[]) }}",
         "6 3.5 10 0 3 0ab [1, 2]"},
        {"{{ [3, 1, 2] | max }}{{ [3, 1, 2] | min }}[{{ [] | max }}]{{ ['a', 'B'] | max }}"
         "{{ ['a', 'B'] | max(true) }}{{ ['A', 'a'] | max }}",
         "31[]BaA"},
        {"{{ [2, 2.0] | max }} {{ [2.0, 2] | min }} {{ [1, 'a', 3] | max }} {{ [true, 5] | min }}",
         "2 2.0 3 true"},
        {"{{ [{'n': 1, 'i': 0}, {'n': 5, 'i': 1}, {'n': 5, 'i': 2}] | max(attribute='n') }}",
         "{'n': 5, 'i': 1}"},
    });
    expectErrors({
        {"{{ [1] | map('nosuch') }}", "Unknown filter: nosuch"},
        {"{{ [1] | select('nosuch') }}", "Unknown test: nosuch"},
        {"{{ [] | selectattr(1) }}", "selectattr filter requires attribute parameter"},
        {"{{ [1] | selectattr }}", "Missing required argument 'attribute' for filter."},
        {"{{ [[1]] | sum }}", "Cannot add values of different types (0 and [1])"},
        {"{{ [{'m': 1}] | sum(attribute='n') }}", "Cannot add values of different types (0 and )"},
        {"{{ [{'n': 1}, {'n': 'a'}] | max(attribute='n') }}",
         "Cannot compare values of different types (1 and a)"},
        {"{{ [{'n': 1}, {'n': 'a'}] | min(attribute='n') }}",
         "Cannot compare values of different types (a and 1)"},
    });
}

TEST(BuiltinFilters, Strings) {
    expectRenders({
        {"{{ 12 | upper }}{{ true | lower }}[{{ none | title }}]{{ 'hello world' | title }}"
         "{{ 'hELLO' | capitalize }}",
         "12true[]Hello WorldHello"},
        {"{{ 'xxhixy' | trim('xy') }}[{{ ' \n hi \n' | trim('') }}]", "hi[hi]"},
        // Separators beyond ASCII at either end, mixed with ASCII blanks; a kept non-ASCII end.
        {"[{{ '\u3000 hi\u00A0 \u3000' | trim }}][{{ ' \u00E9 \u2003' | trim }}]"
         "[{{ ' \u3000 ' | trim }}][{{ 'x\u00E9\u00E9' | trim('\u00E9') }}]",
         "[hi][\u00E9][][x]"},
        {"{{ 'aaa' | replace('a', 'b', 1) }} {{ 'aaa' | replace('a', 'b', 1.0) }} "
         "{{ 'aaa' | replace('a', 'b', 0) }}",
         "baa bbb aaa"},
        // One pass from left to right: the inserted text is never searched again.
        {"{{ 'aa' | replace('a', 'ba', 2) }} {{ 'a' | replace('a', 'aa', 5) }}", "baba aa"},
        {"[{{ 'ab' | center(6) }}][{{ 'ab' | center(5) }}][{{ 'ab' | center(1) }}]",
         "[  ab  ][ ab  ][ab]"},
        {"{{ 'a\n\nb' | indent }}|{{ 'a\n\nb' | indent(blank=true) }}|{{ 'a\nb' | indent('> ') }}",
         "a\n\n    b|a\n    \n    b|a\n> b"},
        {"{{ 'abcdefghij' | truncate(5) }} {{ 'abcdefghijk' | truncate(5) }}",
         "abcdefghij abcde..."},
        {"{{ 'hello world foo' | truncate(8, leeway=0) }} "
         "{{ 'hello world foo' | truncate(8, true, leeway=0) }}",
         "hello... hello wo..."},
        {"{{ 'aaaaaaaaaaaa' | wordwrap(5) }}|{{ 'aaaaaaaaaaaa' | wordwrap(5, false) }}",
         "aaaaa\naaaaa\naa|aaaaaaaaaaaa"},
        {"{{ 'aaa-bbb-ccc' | wordwrap(4) }}|{{ 'a\n\nb' | wordwrap(4) }}", "aaa-\nbbb-\nccc|a\nb"},
        {"{{ '  a  b\tc\n' | wordcount }}", "3"},
        {"{{ '%s and %s' | format(1) }} {{ '100%' | format(1) }}", "1 and %s 100%"},
        {"{{ 1000000 | filesizeformat }} {{ 1048576 | filesizeformat(true) }} "
         "{{ 0 | filesizeformat }}[{{ 'x' | filesizeformat }}]",
         "1.0 MB 1.0 MiB 0 Bytes[]"},
        {"[{{ none | string }}]{{ {'a': [1]} | string }}", "[]{'a': [1]}"},
    });
}

TEST(BuiltinFilters, NumbersAndSerialisation) {
    expectRenders({
        {"{{ -3 | abs }} {{ -2.5 | abs }}", "3 2.5"},
        {"{{ '1e3' | float }} {{ ' 1.5' | float }} {{ 'abc' | float('x') }} {{ true | float }}",
         "1000.0 0.0 x 0.0"},
        {"{{ ' 42\n' | int }} {{ '0x1A' | int }} {{ '0b101' | int }} {{ '0o17' | int }} "
         "{{ 'ff' | int(base=16) }} {{ '12' | int(base=2) }} {{ '3.7' | int }} {{ 3.7 | int }} "
         "{{ -3.7 | int }} {{ '0x' | int(7) }}",
         "42 26 5 15 255 12 0 3 -3 7"},
        {"{{ 2.5 | round }} {{ -2.5 | round }} {{ 1.25 | round(1) }} {{ 1234 | round(-2) }} "
         "{{ 2.1 | round(method='ceil') }} {{ 'x' | round }} {{ 2.5 | round(0, 'banker') }}",
         "3.0 -3.0 1.3 1200.0 3.0 x 2.5"},
        {"{{ 'a\"b' | tojson }} {{ [1, 2] | tojson(indent=2) }}", "\"a\\\"b\" [\n  1,\n  2\n]"},
        {"{{ {'a': [1, 2]} | pprint }}", "{\n  \"a\": [\n    1,\n    2\n  ]\n}"},
    });
    expectFailures({"{{ '-3' | abs }}", "{{ [1] | tojson(indent='2') }}"});
}

TEST(BuiltinFilters, SortingGroupingUnique) {
    expectRenders({
        {"{{ ['b', 'A', 'a'] | sort }}{{ ['b', 'A', 'a'] | sort(case_sensitive=true) }}",
         "['A', 'a', 'b']['A', 'a', 'b']"},
        {"{{ ['b', 'a', 'B'] | sort(case_sensitive=true) }}{{ [3, 1.5, 2] | sort }}"
         "{{ [true] | sort }}",
         "['B', 'a', 'b'][1.5, 2, 3][true]"},
        {"{{ [{'k': 1, 'i': 0}, {'k': 1, 'i': 1}] | sort(true, attribute='k') | "
         "map(attribute='i') }}",
         "[1, 0]"},
        {"{{ [{'a': 2, 'b': 1}, {'a': 1, 'b': 2}, {'a': 1, 'b': 1}] | sort(attribute='a, b') | "
         "map(attribute='b') | join }}{{ 'ab' | sort(nope=1) }}",
         "121[]"},
        {"{{ {'b': 1, 'A': 2, 'a': 3} | dictsort }}{{ {'b': 1, 'A': 2, 'a': 3} | "
         "dictsort(reverse=true) }}",
         "[['A', 2], ['a', 3], ['b', 1]][['b', 1], ['A', 2], ['a', 3]]"},
        {"{{ {2: 'x', '1': 'y'} | dictsort }}{{ {'a': 9, 'b': 10} | dictsort(by='value') }}",
         "[[2, 'x'], ['1', 'y']][['b', 10], ['a', 9]]"},
        {"{% for g in [{'c': 'Paris'}, {'c': 'paris'}, {'c': 'Rome'}] | groupby('c') %}"
         "{{ g.grouper }}:{{ g.list | length }};{% endfor %}",
         "Paris:2;Rome:1;"},
        {"{{ [{'c': 'Paris'}, {'c': 'paris'}] | groupby('c', case_sensitive=true) | length }}"
         "{{ [{'c': 1}, {'c': 1.0}] | groupby('c') | length }}"
         "{{ [{'c': 1}, {'c': '1'}] | groupby('c') | length }}",
         "212"},
        {"{% for g in [{}, {'c': none}] | groupby('c', default='none') %}{{ g.grouper }};"
         "{% endfor %}",
         ";none;"},
        {"{{ ['A', 'a', 'b'] | unique }}{{ ['A', 'a', 'b'] | unique(true) }}{{ [1, 1.0] | unique }}"
         "{{ [[1, 'x'], [1, 'y']] | unique(attribute=0) }}",
         "['A', 'b']['A', 'a', 'b'][1, 1.0][[1, 'x']]"},
    });
    expectErrors({
        {"{{ [{}] | groupby(1) }}", "groupby filter requires attribute parameter"},
    });
    expectFailures({"{{ [true, false] | sort }}"});
}

TEST(BuiltinFilters, MarkupAndURLs) {
    expectRenders({
        {"{{ \"a<b & 'c'\" | escape }}[{{ 5 | escape }}]{{ '&' | escape | escape }}",
         "a&lt;b &amp; &#39;c&#39;[]&amp;amp;"},
        {"{{ [1] | safe }}{{ '<p>one\ntwo</p>' | striptags }} {{ 'a < b' | striptags }}",
         "[1]one two a < b"},
        {"[{{ {'class': 'x', 'id': 'y'} | xmlattr }}][{{ {'a': 'x'} | xmlattr(false) }}]"
         "[{{ {1: '\"'} | xmlattr }}]",
         "[ class=\"x\" id=\"y\"][a=\"x\"][ 1=\"&quot;\"]"},
        {"{{ 'a b&c=d' | urlencode }} {{ {'a': 1, 'b': 'x'} | urlencode }}[{{ [1] | urlencode }}]",
         "a%20b&c=d a=1&b=x[]"},
        {"{{ 'mail (me@example.com)' | urlize }}",
         "mail (<a href=\"mailto:me@example.com\">me@example.com</a>)"},
        {"{{ 'ftp://x.org/a' | urlize }}|{{ 'ftp://x.org/a' | urlize(extra_schemes=['FTP']) }}",
         "ftp://x.org/a|<a href=\"ftp://x.org/a\">ftp://x.org/a</a>"},
        {"{{ 'see www.example.com.' | urlize }}",
         "see <a href=\"https://www.example.com\">www.example.com</a>."},
    });
    expectFailures({"{{ {'a b': 1} | xmlattr }}"});
}

// Chained and called filters as a block filter.
TEST(BuiltinFilters, FilterBlocksAcceptCallsAndChains) {
    expectRenders({
        {"{% filter upper %}ab{% endfilter %}", "AB"},
        {"{% filter replace('a', 'x') %}aba{% endfilter %}", "xbx"},
        {"{% filter trim | upper | replace('B', '-') %} ab {% endfilter %}", "A-"},
    });
}

TEST(BuiltinTests, Predicates) {
    expectRenders({
        {"{{ none is defined }}{{ none is none }}{{ nope is defined }}{{ nope is none }}"
         "{{ nope is undefined }}",
         "truetruefalsefalsetrue"},
        {"{{ 1 is number }}{{ 1.5 is number }}{{ 1.0 is integer }}{{ 1 is float }}"
         "{{ true is number }}",
         "truetruefalsefalsefalse"},
        {"{{ '' is lower }}{{ '' is upper }}{{ '123' is lower }}{{ 'Ab' is lower }}{{ 5 is lower "
         "}}",
         "truetruetruefalsefalse"},
        {"{{ -3 is odd }}{{ 2.5 is even }}{{ 2.5 is odd }}{{ 4.0 is even }}", "truefalsefalsetrue"},
        {"{{ 7 is divisibleby(0) }}{{ 7.5 is divisibleby(2.5) }}{{ '6' is divisibleby(3) }}",
         "falsetruefalse"},
        // `in` and `filter` are keywords, so these two tests are reached by name through select.
        {"{{ ['upper', 'd', 3] | select('filter') }}{{ ['==', 'foo'] | select('test') }}",
         "['upper', 'd']['==']"},
        {"{{ ['ell', 'x'] | select('in', 'hello') }}{{ [1] | select('in', '123') }}"
         "{{ ['a', 1] | select('in', {'a': 1, '1': 2}) }}{{ [2] | select('in', [1, 2.0]) }}"
         "{{ [2] | select('in', []) }}",
         "['ell'][]['a'][2][]"},
        // Mixed-type arrays compare by template equality and never fail.
        {"{{ [2] | select('in', ['a', 2]) }}{{ ['a'] | select('in', [true]) }}"
         "{{ [none] | select('in', [1, none]) | length }}",
         "[2][]1"},
        {"{{ 1 is gt('a') }}{{ true is gt(false) }}{{ 1 is eq(1.0) }}{{ 1 is sameas(1.0) }}"
         "{{ [1] is eq([1]) }}{{ 'x' is escaped }}{{ 3 is odd(1, 2) }}",
         "falsefalsetruetruetruefalsetrue"},
        {"{{ true is sameas(true) }}{{ true is sameas(false) }}{{ false is sameas(0) }}"
         "{{ none is sameas(none) }}{{ none is sameas(0) }}",
         "truefalsefalsetruefalse"},
    });
    expectFailures({"{{ 1 is sameas('a') }}"});
    EXPECT_EQ(runtimeError("{{ 1 is nosuch }}"), "Unknown test: nosuch");
}

TEST(BuiltinGlobals, Functions) {
    expectRenders({
        {"{{ range(5) }}{{ range(0) }}{{ range(-3) }}{{ range(2, 5) }}{{ range(5, 2) }}",
         "[0, 1, 2, 3, 4][][][2, 3, 4][]"},
        {"{{ range(0, 10, 3) }}{{ range(10, 0, -3) }}", "[0, 3, 6, 9][10, 7, 4, 1]"},
        {"{{ dict(b=1, a=2) }}{{ dict(1, 2) }}{{ namespace(x=1) == dict(x=1) }}",
         "{'a': 2, 'b': 1}{}true"},
        {"{% set c = cycler('a', 'b') %}{{ c.next() }}{{ c.next() }}{{ c.next() }}"
         "[{{ c.reset() }}]{{ c.next() }}{{ c.current }}",
         "aba[]aa"},
        {"{% set j = joiner() %}[{{ j() }}][{{ j() }}][{{ j() }}]{% set k = joiner('|') %}"
         "{{ k() }}{{ k() }}",
         "[][, ][, ]|"},
        {"[{{ lipsum(0) }}]", "[]"},
    });
    expectErrors({
        {"{{ range(0, 10, 0) }}", "range() step argument must not be zero"},
        {"{{ range(1.0) }}", "range() stop argument must be an integer"},
        {"{{ cycler() }}", "cycler() requires at least one argument"},
        {"{{ joiner(1) }}", "joiner separator must be a string"},
        {"{{ lipsum(html=1) }}", "Invalid arguments for lipsum()"},
    });
    const std::string words = render("{{ lipsum(2, false, 3, 3) }}");
    EXPECT_EQ(std::count(words.begin(), words.end(), '.'), 2) << words;
    EXPECT_NE(words.find("\n\n"), std::string::npos) << words;
}

class StrftimeNow : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override { Globals::setClock({}); }

    static void at(std::int64_t seconds) {
        Globals::setClock([seconds] {
            return std::chrono::system_clock::time_point(std::chrono::seconds(seconds));
        });
    }
};

TEST_F(StrftimeNow, FormatsTheInjectedClock) {
    at(1704618303);  // Sunday 2024-01-07 09:05:03 UTC.
    expectRenders({
        {"{{ strftime_now('%Y-%m-%d %H:%M:%S') }}", "2024-01-07 09:05:03"},
        {"{{ strftime_now('%I %p %w %U %W %j %y') }}", "09 AM 0 01 01 007 24"},
        {"{{ strftime_now('%a %A %b %B') }}", "Sun Sunday Jan January"},
        {"{{ strftime_now('%c') }}", "Sun Jan  7 09:05:03 2024"},
        {"{{ strftime_now('%q|%%|100%') }}", "%q|%|100%"},
    });
    at(1704531903);  // Saturday 2024-01-06: before the year's first Sunday, after its first Monday.
    expectRenders({{"{{ strftime_now('%w %U %W') }}", "6 00 01"}});
    at(1704618303 + 12 * 3600);
    expectRenders({{"{{ strftime_now('%I %p') }}", "09 PM"},
                   {"{{ strftime_now('%Y-%m-%d %H:%M:%S') }}", "2024-01-07 21:05:03"}});
    expectFailures({"{{ strftime_now() }}", "{{ strftime_now(1) }}"});
}

TEST(BuiltinGlobals, RaiseException) {
    EXPECT_THROW(render("{{ raise_exception('boom') }}"), std::exception);
    try {
        render("{{ raise_exception('boom') }}");
    } catch (const std::exception& error) {
        EXPECT_NE(std::string(error.what()).find("boom"), std::string::npos);
    }
}

TEST(BuiltinMethods, StringsAndObjects) {
    expectRenders({
        {"{% set o = {'items': 5} %}{{ o.items() }}{{ o.get('items') }}", "[['items', 5]]5"},
        {"{% set o = {1: 'x'} %}{{ o.get(1) }}[{{ o.get('1') }}]", "x[]"},
        {"[{{ [1].x }}{{ 'ab'.length }}{{ none.x }}]", "[]"},
        {"[{{ ' \t a b \n'.strip() }}][{{ 'xyhiyx'.strip('xy') }}][{{ ' a '.strip('') }}]"
         "[{{ ' a '.strip(none) }}]",
         "[a b][hi][ a ][a]"},
        {"{{ 'aXa'.rstrip('a') }} {{ 'aXa'.lstrip('a') }}", "aX Xa"},
        {"{{ '   '.split() }}{{ ''.split() }}{{ 'a\tb'.split() }}{{ 'a b c'.split(none, 1) }}",
         "[][]['a\tb']['a', 'b', 'c']"},
        {"{{ 'a,b,,c'.split(',') }}{{ 'a,b,,c'.split(',', 1) }}{{ 'a,b'.split(',', 0) }}"
         "{{ 'a,b'.split(',', -1) }}{{ ''.split(',') }}{{ 'a b'.split(1) }}",
         "['a', 'b', '', 'c']['a', 'b,,c']['a,b']['a', 'b']['']['a', 'b']"},
        {"{{ ''.replace('', 'n') }} {{ 'a'.replace('a', 'aa', 2) }} {{ 'a'.replace('a', 'aa') }} "
         "{{ 'aa'.replace('a', 'b', 0) }} {{ 'aa'.replace('a', 'b', -1) }}",
         "n aa aa aa bb"},
        // One pass from left to right: the inserted text is never searched again.
        {"{{ 'aba'.replace('a', 'ab', 2) }} {{ 'xx'.replace('x', 'xx', 100) }}", "abbab xxxx"},
        {"{{ 'abc'.startswith('') }}{{ 'abc'.endswith('bc') }}{{ 'abc'.startswith('b') }}",
         "truetruefalse"},
        {"{{ {}.items() }}{{ {'b': 1, 'a': 2}.keys() }}{{ {'b': 1, 'a': 2}.values() }}",
         "[]['b', 'a'][1, 2]"},
        {"{{ {'a': 1}.get('z') }} {{ {'a': 1}.get('z', 7) }} {{ {1: 'x'}.get(1.0, 'd') }}", " 7 d"},
        {"{{ 'ab'.upper(1) }}{{ {'a': 1}.keys(1) }}", "AB['a']"},
    });
    expectFailures({"{{ ' a '.strip(1) }}", "{{ ' a '.strip([]) }}", "{{ 'a'.replace(1, 'b') }}",
                    "{{ 'a'.startswith([1]) }}", "{{ 'a'.upper(x=1) }}", "{{ {}.keys(x=1) }}"});
    EXPECT_NE(runtimeError("{{ ' a '.strip(1, 2) }}").find('2'), std::string::npos);
    // The quick test of a name against the object methods knows every one of them.
    for (const auto& [name, factory] : PropertyMembers::objectMembers()) {
        EXPECT_TRUE(PropertyMembers::hasObjectMember(name)) << name;
    }
    EXPECT_FALSE(PropertyMembers::hasObjectMember("item"));
}

}  // namespace
}  // namespace templates
