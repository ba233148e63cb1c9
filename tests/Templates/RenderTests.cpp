// Golden renders of every statement and expression form, and the exact runtime messages.
#include <gtest/gtest.h>

#include <string>

#include "GoldenRenders.h"
#include "templates/ControlFlow.h"
#include "templates/Environment.h"
#include "templates/Interpreter.h"
#include "templates/Template.h"
#include "templates/TemplateError.h"
#include "templates/TemplateException.h"

namespace templates {
namespace {

using Args = std::vector<Value>;
using Scope = std::shared_ptr<Environment>;

Value function(std::function<Value(const Args&, const KeywordValues&)> body) {
    return Value::function([body](const Args& args, const KeywordValues& kwargs, const Scope&) {
        return body(args, kwargs);
    });
}

// Functions the templates below call: `args` gives back its positional values, `kw` its
// keyword names and values in name order, `shout` upper-cases ASCII, `wrap` puts its second
// value around its first, `zero` answers 0 whatever it is given.
Template::Context standardContext() {
    return {
        {"args", function([](const Args& args, const KeywordValues&) { return Value(args); })},
        {"kw", function([](const Args&, const KeywordValues& kwargs) {
             std::map<std::string, Value> sorted(kwargs.begin(), kwargs.end());
             std::string text;
             for (const auto& [name, value] : sorted) {
                 text += name + "=" + value.description() + ";";
             }
             return Value(text);
         })},
        {"shout", function([](const Args& args, const KeywordValues&) {
             std::string text = args.at(0).asString();
             for (char& c : text) {
                 c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
             }
             return Value(text);
         })},
        {"wrap", function([](const Args& args, const KeywordValues&) {
             return Value(args.at(1).asString() + args.at(0).asString() + args.at(1).asString());
         })},
        {"zero", function([](const Args&, const KeywordValues&) { return Value(0); })},
        // A function variable named like a built-in test replaces the test.
        {"mapping", function([](const Args& args, const KeywordValues&) {
             return Value(args.at(0).isString());
         })},
        {"items", Value(Args{1, 2, 3})},
        {"user", Value::dictionaryLiteral({{"name", "Ada"}, {"role", "admin"}})},
    };
}

std::string render(const std::string& source, const Template::Context& context) {
    return Template(source, {}).render(context);
}

std::string render(const std::string& source) {
    return render(source, standardContext());
}

// The message of the runtime error the rendering ends with.
std::string runtimeError(const std::string& source,
                         const std::shared_ptr<Environment>& environment = nullptr) {
    try {
        const std::string text = Template(source, {}).render(standardContext(), environment);
        return "rendered: " + text;
    } catch (const TemplateError& error) {
        EXPECT_EQ(error.errorCase(), TemplateError::Case::runtime) << error.what();
        return error.message();
    }
}

void expectRenders(std::initializer_list<Golden> cases) {
    expectGoldens(cases, [](const std::string& source) { return render(source); });
}

TEST(RenderTest, OutputAndSet) {
    expectRenders({
        {"", ""},
        {"plain text", "plain text"},
        {"[{{ missing }}|{{ none }}|{{ true }}|{{ false }}]", "[||true|false]"},
        {"{{ 'it''s' if false }}", ""},
        {"{% set x = 1 %}{{ x }}", "1"},
        {"{% set a, b = [1, 2] %}{{ b }}{{ a }}", "21"},
        {"{% set (a, (b, c)) = [1, [2, 3]] %}{{ a }}{{ b }}{{ c }}", "123"},
        {"{% set x %}a{% set y = 2 %}b{% endset %}{{ x }}{{ y }}", "ab2"},
        {"{% set x %}{{ user.name }}{% endset %}{{ x ~ '!' }}", "Ada!"},
        {"{% if true %}{% set x = 5 %}{% endif %}{{ x }}", "5"},
        {"{% generation %}kept{% endgeneration %}", "kept"},
        {"a{# note #}b", "ab"},
    });
}

TEST(RenderTest, Conditionals) {
    expectRenders({
        {"{% for n in [1, 2, 3] %}{% if n == 1 %}one{% elif n == 2 %}two{% else %}many{% endif "
         "%},{% endfor %}",
         "one,two,many,"},
        {"{% if [] %}x{% endif %}{% if {} %}y{% endif %}{% if ' ' %}z{% endif %}", "z"},
        {"{{ 'yes' if items else 'no' }}|{{ 'yes' if [] else 'no' }}", "yes|no"},
        {"{{ 0 and nosuch() }}|{{ '' or 'd' }}|{{ [] or none }}|{{ 'a' and 'b' }}", "0|d||b"},
        {"{{ 1 == 1.0 }}{{ 1 != 1.0 }}{{ true == 1 }}{{ none == none }}", "truefalsefalsetrue"},
        {"{{ not 0 }}{{ not 'x' }}", "truefalse"},
    });
}

TEST(RenderTest, Assignment) {
    expectRenders({
        // A name set inside a loop body lives in the loop's scope.
        {"{% set x = 'out' %}{% for i in [1] %}{% set x = 'in' %}{{ x }}{% endfor %}{{ x }}",
         "inout"},
        {"{% for i in [1] %}{% set fresh = 1 %}{% endfor %}[{{ fresh }}]", "[]"},
        // A member set writes the object back where the variable lives.
        {"{% set ns = {'n': 0} %}{% for i in [1, 2, 3] %}{% set ns.n = ns.n + i %}{% endfor "
         "%}{{ ns.n }}",
         "6"},
        {"{% set o = {'a': 1} %}{% set o['b'] = 2 %}{% set o[3] = 'c' %}{% set o.a = 0 %}{{ o }}",
         "{'a': 0, 'b': 2, 3: 'c'}"},
        {"{% set s = 'x' %}{% set s.a = 1 %}{{ s }}", "x"},
        {"{% set o = {'i': {'v': 1}} %}{% set o.i.v = 2 %}{{ o.i.v }}", "1"},
        // An object changed where it is bound is one nothing else holds: every other holder
        // (a variable, an array, a macro's parameter, the object itself) keeps what it saw.
        {"{% set a = namespace(n=1) %}{% set b = a %}{% set a.n = 2 %}{% set l = [a] %}"
         "{% set a.n = 3 %}{% set a.me = a %}{% set a.n = 4 %}{{ b.n }}{{ l[0].n }}{{ a.me.n }}"
         "{{ a.n }}",
         "1234"},
        {"{% macro m(o) %}{% set o.n = 9 %}{{ o.n }}{% endmacro %}{% set a = namespace(n=1) %}"
         "{{ m(a) }}{{ a.n }}",
         "91"},
    });
}

TEST(RenderTest, ExpressionForms) {
    expectRenders({
        {"{{ items[-1] }}|{{ items[3] }}|{{ items[0] }}", "3||1"},
        {"{{ 'abc'[1] }}|{{ 'abc'[-1] }}|{{ 'abc'[-4] }}|{{ 'abc'['x'] }}", "b|c||"},
        {"{{ 'e\xCC\x81x'[0] }}|{{ 'e\xCC\x81x'[1] }}", "e\xCC\x81|x"},
        {"{{ {'a': 1}[0] }}|{{ {0: 'zero'}[0] }}|{{ {'1': 'text'}[1] }}", "|zero|"},
        {"{{ {'items': 1}['items'] }}|{{ [1, 2].length }}|{{ user.name }}|{{ user.missing }}",
         "1||Ada|"},
        {"{{ items.x }}|{{ none.x }}|{{ nothing.x }}|{{ true.x }}", "|||"},
        // One expression reading objects of different layouts finds each key wherever it is,
        // and an object's method still comes before a key of that name.
        {"{% for o in [{'a': 1, 'b': 2}, {'b': 3, 'a': 4}, {'a': 5}, {'items': 6, 'a': 7}, {}] %}"
         "{{ o.b }}{{ o['a'] }}{{ o.items is number }};{% endfor %}",
         "21false;34false;5false;7false;false;"},
        {"{{ 'abcdef'[::-1] }}|{{ 'abcdef'[1:4] }}|{{ 'abcdef'[-2:] }}|{{ 'abcdef'[:-4] }}",
         "fedcba|bcd|ef|ab"},
        {"{{ [1, 2, 3, 4, 5][-7::3] }}|{{ [1, 2, 3][10::-1] }}|{{ [1, 2, 3][::2] }}",
         "[2, 5]|[3, 2, 1]|[1, 3]"},
        {"{{ 'abc'[1.5:] }}|{{ 'abc'[::'x'] }}|{{ 'abc'[5:] }}|{{ 'abc'[-9223372036854775807:] }}",
         "abc|abc||abc"},
        {"{{ 'e\xCC\x81xy'[::-1] }}", "yxe\xCC\x81"},
        {"{{ (1, 2) }}|{{ {'b': 1, 'a': 2} }}|{{ [] }}", "[1, 2]|{'b': 1, 'a': 2}|[]"},
        {"{{ -(-5) }}|{{ -0.0 }}|{{ +2.5 }}|{{ -items[0] }}", "5|-0.0|2.5|-1"},
        {"{{ args(*[1, 2], 3) }}|{{ args(*items) }}|{{ args() }}", "[1, 2, 3]|[1, 2, 3]|[]"},
        {"{{ kw(b=2, a='x') }}", "a=x;b=2;"},
        {"{{ 'abc' | shout }}|{{ 'x' | wrap('*') }}", "ABC|*x*"},
        {"{{ 1 is zero }}|{{ 1 is not zero }}", "false|true"},
        {"{{ 'x' is mapping }}|{{ user is mapping }}|{{ user is not mapping }}", "true|false|true"},
        // Bound in an inner scope only, such a function replaces the test there only.
        {"{% for string in [zero] %}{{ 'a' is string }}{% endfor %}|{{ 'a' is string }}",
         "false|true"},
    });
}

TEST(RenderTest, Operators) {
    expectRenders({
        {"{{ 'a' + 1 }}|{{ 1 + 'a' }}|{{ 1.5 + 'x' }}|{{ [1] + 'x' }}|{{ none + 'x' }}",
         "a1|1a|1.5x|[1]x|x"},
        {"{{ [1] + [2] }}|{{ 1 + 1.0 }}|{{ 3 - 1 }}|{{ 3 - 1.0 }}|{{ 2 * 3 }}|{{ 2 * 1.5 }}",
         "[1, 2]|2.0|2|2.0|6|3.0"},
        {"{{ 'ab' * 3 }}|{{ 3 * 'ab' }}|[{{ 'ab' * 0 }}]|[{{ 'ab' * -2 }}]", "ababab|ababab|[]|[]"},
        {"{{ 7 / 2 }}|{{ 4 / 2 }}|{{ -7 // 2 }}|{{ -7.0 // 2 }}|{{ 7.0 // 2.0 }}|{{ 7.5 // 2 }}",
         "3.5|2.0|-3|-4|3|3"},
        {"{{ 7 % 3 }}|{{ -7 % 3 }}|{{ 7 % -3 }}", "1|-1|1"},
        {"{{ 2 ** 10 }}|{{ 2 ** -1 }}|{{ 2.0 ** 3 }}|{{ 0 ** -1 }}|{{ (-2) ** 63 }}",
         "1024|0.5|8.0|inf|-9223372036854775808"},
        // Integer powers are exact.
        {"{{ 3 ** 39 }}", "4052555153018976267"},
        {"{{ 1 ~ '' }}|{{ 'a' ~ 1 ~ none ~ [2] }}", "1|a1[2]"},
        // Runs longer than the links gathered on the stack.
        {"{{ 'a' ~ 1 ~ 2 ~ 3 ~ 4 ~ 5 ~ 6 ~ 7 ~ 8 ~ 9 ~ 10 ~ 11 ~ 12 ~ 13 ~ 14 ~ 15 ~ 16 ~ 17 ~ 18 "
         "}}|"
         "{% set s = 'b' + 'c' ~ 1 ~ 2 ~ 3 ~ 4 ~ 5 ~ 6 ~ 7 ~ 8 ~ 9 ~ 10 ~ 11 ~ 12 ~ 13 ~ 14 ~ 15 ~ "
         "16 ~ 17 ~ "
         "18 %}{{ s }}",
         "a123456789101112131415161718|bc123456789101112131415161718"},
        // The same tests deciding an if statement.
        {"{% if 'b' in 'abc' %}1{% endif %}{% if 'x' not in {'x': 1} %}2{% endif %}{% if 'a' in "
         "['a'] %}3{% endif %}{% if 'q' in none %}4{% endif %}{% if 'e' in 'e\xCC\x81' %}5{% "
         "endif %}",
         "13"},
        {"{{ '' in 'abc' }}{{ 'b' in 'abc' }}{{ 1 in 'a1' }}{{ 'a' in {'a': 1} }}",
         "truetruefalsetrue"},
        {"{{ 1 in {'1': 1} }}{{ 1 in [1.0] }}{{ 'x' in none }}{{ 'x' not in 'abc' }}",
         "falsefalsefalsetrue"},
        {"{{ '\n' in 'a\r\nb' }}{{ 'e' in 'e\xCC\x81' }}{{ 'e\xCC\x81' in 'caf\xC3\xA9' }}",
         "falsefalsetrue"},
        // A text needle against containers read from variables and members.
        {"{% set t = 'caf\xC3\xA9' %}{% set d = {'l': ['a', 'e\xCC\x81'], 'o': {'b': 1}} %}"
         "{{ '\xC3\xA9' in d.l }}{{ 'a' not in d.l }}{{ '1' in [1] }}{{ 'b' in d.o }}"
         "{{ 'e\xCC\x81' in t }}{{ 'x' in d.missing }}",
         "truefalsefalsetruetruefalse"},
        {"{{ 1 < 2.5 }}{{ 'B' < 'a' }}{{ 2 >= 2 }}{{ 2 <= 1 }}{{ 3 > 2 }}",
         "truetruetruefalsetrue"},
    });
}

TEST(RenderTest, Loops) {
    expectRenders({
        {"{% for x in [10, 20, 30] %}{{ loop.index }}{{ loop.index0 }}{{ loop.revindex }}{{ "
         "loop.revindex0 }} {{ loop.first }} {{ loop.last }} {{ loop.length }} ({{ loop.previtem "
         "}},{{ loop.nextitem }});{% endfor %}",
         "1032 true false 3 (,20);2121 false false 3 (10,30);3210 false true 3 (20,);"},
        {"{% for x in [1, 2, 3] %}{{ loop.cycle('a', 'b') }}[{{ loop.cycle() }}]{% endfor %}",
         "a[]b[]a[]"},
        // A loop object kept, changed or replaced by the body: the next item gets a loop object of
        // its own, and what was kept keeps the values it had.
        {"{% for x in [1, 2, 3] %}{% if loop.first %}{% set l = loop %}{% endif %}{{ l.index }}"
         "{{ loop.index }}{% endfor %}|{% for x in [1, 2] %}{% set loop.extra = x %}"
         "{{ loop.index }}{{ loop.extra }}{% endfor %}|{% for x in 'ab' %}{% set loop = 5 %}"
         "{{ loop }}{% endfor %}{% for x in [7, 8] %}{{ loop.previtem }}{{ loop.index }}{% endfor "
         "%}",
         "111213|1122|55172"},
        // An object's items() as the loop sees them, pairs included; on anything else items is
        // whatever the value's member of that name is.
        {"{% set o = {'a': 1, 'b': {'c': 2}} %}{% for k, v in o.items() %}{{ k }}={{ v }} {{ "
         "loop.previtem }}|{% endfor %}{% for p in o.b.items() %}{{ p }}{% endfor %}{% for k in "
         "{}.items() %}{% else %}empty{% endfor %}",
         "a=1 |b={'c': 2} ['a', 1]|['c', 2]empty"},
        // A loop object kept from an earlier position keeps its values.
        {"{% set keep = {} %}{% for x in [1, 2, 3] %}{% if loop.first %}{% set keep.loop = loop "
         "%}{% set keep.cycle = loop.cycle %}{% endif %}{% endfor %}{{ keep.loop.index }}{{ "
         "keep.loop.last }}{{ keep.cycle('a', 'b') }}",
         "1falsea"},
        // ... and so does one kept after its loop ended, while later loops run.
        {"{% set keep = {} %}{% for x in [1, 2] %}{% if loop.last %}{% set keep.loop = loop %}{% "
         "endif %}{% endfor %}{% for x in [1, 2] %}{% if loop.last %}{% set keep.cycle = "
         "loop.cycle %}{% endif %}{% endfor %}{% for y in [7, 8, 9] %}{{ loop.index }}{{ "
         "loop.cycle('a', 'b', 'c') }}{% endfor %}{{ keep.loop.index }}{{ keep.loop.last }}{{ "
         "keep.cycle('a', 'b') }}",
         "1a2b3c2trueb"},
        {"{% for x in [1, 2] %}{{ loop.index }}{% set loop = {'index': 'x'} %}{{ loop.index }}{% "
         "endfor %}",
         "1x2x"},
        // The items around the current one whatever the body does to the loop's name: rebinds
        // it, binds names beside it, or the items are one shared value.
        {"{% for x in ['a', 'b', 'c'] %}{{ loop.previtem }}{{ x }}{% set x = 'z' %}{{ "
         "loop.nextitem }};{% endfor %}|{% for x in [1, 2, 3] %}{% set y = x %}{% set z = y %}{{ "
         "loop.previtem }}{{ z }}{{ loop.nextitem }};{% endfor %}|{% set o = {'k': 1} %}{% for x "
         "in [o, o] %}{{ loop.previtem.k }}{{ x.k }}{{ loop.nextitem.k }};{% endfor %}",
         "ab;abc;bc;|12;123;23;|11;11;"},
        {"{% for x in [] %}a{% else %}empty[{{ loop }}]{% endfor %}", "empty[]"},
        {"{% for x in {} %}a{% else %}e{% endfor %}{% for x in '' %}a{% else %}e{% endfor %}",
         "ee"},
        {"{% for k in {'a': 1, 2: 'b'} %}{{ k }};{% endfor %}", "a;2;"},
        {"{% for k, v in {'a': 1, 'b': 2} %}{{ k }}={{ v }};{% endfor %}", "a=1;b=2;"},
        {"{% for k, v, w in {'a': 1} %}{{ k }}{{ v }}[{{ w }}]{% endfor %}", "a1[]"},
        {"{% for c in 'ae\xCC\x81' %}{{ c }}.{% endfor %}", "a.e\xCC\x81."},
        {"{% for c, d in 'ab' %}{{ c }}[{{ d }}]{% endfor %}", "a[]b[]"},
        {"{% for a, b in [[1, 2], [3]] %}{{ a }}[{{ b }}]{% endfor %}", "1[2]3[]"},
        {"{% for a, b in [1, [2, 3]] %}[{{ a }}{{ b }}]{% endfor %}", "[][23]"},
        {"{% set a = 'outer' %}{% for a, b in [1, [2, 3]] %}[{{ a }}{{ b }}]{% endfor %}",
         "[outer][23]"},
        {"{% for i in [1, 2] %}[{{ seen }}]{% set seen = i %}{% endfor %}[{{ seen }}]", "[][1][]"},
        {"{% for a in [1, 2] %}{% for b in [1] %}{{ loop.length }}{% endfor %}{{ loop.length }}{% "
         "endfor %}",
         "1212"},
        {"{% set xs = [1, 2] %}{% for x in xs %}{% set xs = [] %}{{ x }}{% endfor %}", "12"},
        {"{% for i in [1, 2, 3, 4] %}{% if i == 2 %}{% continue %}{% endif %}{% if i == 4 %}{% "
         "break %}{% endif %}{{ i }}{% endfor %}",
         "13"},
        {"{% for k in {'a': 1, 'b': 2} %}{{ k }}{% break %}{% endfor %}|{% for c in 'xyz' %}{% if "
         "c == 'y' %}{% continue %}{% endif %}{{ c }}{% endfor %}",
         "a|xz"},
        {"{% for i in [1, 2] %}{% for j in [1, 2] %}{% break %}{% endfor %}{{ i }}{% endfor %}",
         "12"},
        // A break inside a captured block ends the loop without assigning.
        {"{% for i in [1, 2] %}{% set t %}{{ i }}{% break %}{% endset %}{% endfor %}[{{ t }}]",
         "[]"},
        // break and continue in a macro body belong to the loop the macro is called from.
        {"{% macro stop() %}{% break %}{% endmacro %}{% for i in [1, 2] %}{{ i }}{{ stop() }}{% "
         "endfor %}",
         "1"},
        // An output tag that fails halfway adds nothing.
        {"{% macro stop() %}{% break %}{% endmacro %}{% for i in [1, 2] %}{{ i }}{{ 'a' ~ i ~ "
         "stop() }}{% endfor %}",
         "1"},
        // else bodies belong to the enclosing loop.
        {"{% for i in [1, 2] %}{% for j in [] %}{% else %}{% continue %}{% endfor %}{{ i }}{% "
         "endfor %}",
         ""},
    });
}

TEST(RenderTest, LoopFilterCountsOnlyKeptItems) {
    expectRenders({
        {"{% for x in [1, 2, 3] if x == 2 %}{{ x }}:{{ loop.index }}/{{ loop.length }}/{{ "
         "loop.first }}/{{ loop.last }}{% endfor %}",
         "2:1/1/true/true"},
        {"{% for x in [1, 2, 3, 4] if x is not zero and x % 2 == 0 %}{{ loop.index }}:{{ "
         "loop.previtem }};{% endfor %}",
         "1:;2:2;"},
        {"{% for x in [1] if false %}a{% else %}none passed{% endfor %}", "none passed"},
        {"{% for k, v in {'a': 1, 'b': 2} if v > 1 %}{{ k }}{{ loop.length }}{% endfor %}", "b1"},
        {"{% for a in [1, 2] %}{% for b in [5, 6] if loop.index == 2 %}{{ b }}{% endfor %}{% "
         "endfor %}",
         "56"},
    });
}

TEST(RenderTest, Macros) {
    expectRenders({
        {"{% macro m(a, b=1) %}{{a}}-{{b}}{% endmacro %}{{ m(5) }}|{{ m(5, b=7) }}", "5-1|5-7"},
        {"{% set b = 'outer' %}{% macro m(a, b) %}{{ a }}{{ b }}{% endmacro %}{{ m(1) }}|{{ m() "
         "}}",
         "1outer|outer"},
        {"{% macro m(a) %}{{ a }}{{ extra }}{% endmacro %}{{ m(1, 2, extra='e') }}", "1e"},
        {"{% macro m(a) %}{{ a }}{% endmacro %}{{ m(1, a=2) }}", "2"},
        {"{% set v = 'def' %}{% macro m(a=v) %}{{ a }}{% endmacro %}{% for v in ['site'] %}{{ "
         "m() }}{% endfor %}",
         "site"},
        {"{% macro m(a, b=a) %}[{{ b }}]{% endmacro %}{{ m(1) }}", "[]"},
        {"{% macro m() %}{{ who }}{% endmacro %}{% set who = 'me' %}{{ m() }}", "me"},
        {"{% macro m() %}{% endmacro %}[{{ m() }}]{{ m }}", "[][Macro m]"},
        {"{% macro m() %}{% set inner = 1 %}{% endmacro %}{{ m() }}[{{ inner }}]", "[]"},
        // Every call and loop starts from an empty scope, whatever the one before bound.
        {"{% macro m(a) %}{% if a %}{% set x = 1 %}{% endif %}[{{ x }}]{% endmacro %}{{ m(true) "
         "}}{{ m(false) }}{% for i in [1] %}{% set y = 2 %}{% endfor %}{% for i in [1] %}[{{ y "
         "}}]{% endfor %}",
         "[1][][]"},
        {"{% macro count(n) %}{% if n > 0 %}{{ n }}{{ count(n - 1) }}{% endif %}{% endmacro %}{{ "
         "count(3) }}",
         "321"},
        {"{% macro m() %}a{% endmacro %}{% macro m() %}b{% endmacro %}{{ m() }}", "b"},
        // Repeated parameter names: the last argument given wins; one not given keeps what a
        // default or an earlier parameter bound, or else takes the caller's variable.
        {"{% macro m(a, a) %}{{ a }}{% endmacro %}{{ m(1, 2) }}{{ m(1) }}{% set a = 9 %}{{ m() }}",
         "219"},
        {"{% macro m(a, b=2, a=3) %}{{ a }}{{ b }}{% endmacro %}{{ m() }}{{ m(5) }}{{ m(5, 6, 7) "
         "}}",
         "325276"},
        // One name read in scopes of different depths finds the nearest binding every time.
        {"{% macro m(p) %}{{ q }}{% endmacro %}{% set q = 'outer' %}{{ m(1) }}{% for q in [1, 2] "
         "%}{{ m(2) }}{% endfor %}{{ m(3) }}",
         "outer12outer"},
        {"{% macro f(a) %}{{ a }}{% endmacro %}{% for x in [1, 2] %}{{ f }}{% set f = x %}{{ f }}"
         "{% endfor %}{{ f(3) }}",
         "[Macro f]1123"},
        // A macro that ends in a loop's continue or break prints nothing of what it rendered.
        {"{% macro m(i) %}[{{ i }}{% if i == 2 %}{% continue %}{% endif %}{% if i == 4 %}{% "
         "break %}{% endif %}]{% endmacro %}{% for i in [1, 2, 3, 4, 5] %}{{ m(i) }}{% endfor %}",
         "[1][3]"},
    });
}

TEST(RenderTest, CallBlocks) {
    expectRenders({
        {"{% macro box(t) %}<{{ t }}:{{ caller() }}>{% endmacro %}{% call box('x') %}inner{% "
         "endcall %}",
         "<x:inner>"},
        {"{% macro each(xs) %}{% for i in xs %}{{ caller(i, 'z') }}{% endfor %}{% endmacro %}{% "
         "call(a, b) each([1, 2]) %}{{ a }}{{ b }};{% endcall %}",
         "1z;2z;"},
        {"{% macro m() %}{{ caller(1) }}{% endmacro %}{% set b = 'B' %}{% call(a, b) m() %}{{ a "
         "}}{{ b }}{% endcall %}",
         "1B"},
        // The body sees the scope the block ran in, not the macro's.
        {"{% macro m() %}{% set local = 'macro' %}{{ caller() }}{% endmacro %}{% set local = "
         "'site' %}{% call m %}{{ local }}{% endcall %}",
         "site"},
        {"{% call args(1) %}ignored{% endcall %}", "[1]"},
        // A call block's result is printed; the body may be rendered any number of times.
        {"{% macro twice() %}{{ caller() }}{{ caller() }}{% endmacro %}{% call twice() %}x{% "
         "endcall %}",
         "xx"},
    });
}

TEST(RenderTest, FilterBlocks) {
    expectRenders({
        {"{% filter shout %}ab{{ 'c' }}{% endfilter %}", "ABC"},
        // Calls and chains apply from the left, with their own arguments.
        {"{% filter shout | wrap('*') %}ab{% endfilter %}", "*AB*"},
        {"{% filter wrap('*') %}x{% endfilter %}", "*x*"},
        {"{% filter replace('a', 'o') | upper %}banana{% endfilter %}", "BONONO"},
        {"{% filter shout %}{% set inside = 'set' %}{% endfilter %}{{ inside }}", "set"},
        {"{{ {'a': [1, 2.0, 'x']}|tojson }}", "{\"a\": [1, 2.0, \"x\"]}"},
    });
}

TEST(RenderTest, ToJSONFilter) {
    expectRenders({
        {"{{ [1, 'a']|tojson(indent=2) }}", "[\n  1,\n  \"a\"\n]"},
        {"{{ [1, 'a']|tojson(1) }}", "[\n 1,\n \"a\"\n]"},
        {"{{ '\xC3\xA9'|tojson }}|{{ '\xC3\xA9'|tojson(ensure_ascii=true) }}",
         "\"\xC3\xA9\"|\"\\u00e9\""},
        {"{{ 'say \"hi\"'|tojson }}", "\"say \\\"hi\\\"\""},
        {"{{ none|tojson }}|{{ 1.0|tojson }}", "null|1.0"},
    });
    // With the classic policies the serialiser is HTML-safe, ASCII-only and sorts keys.
    const auto classic = Environment::make();
    classic->setPolicies(Environment::Policies::classic());
    EXPECT_EQ(Template("{{ {'b': '<\xC3\xA9', 'a': 1}|tojson }}", {}).render({}, classic),
              "{\"a\": 1, \"b\": \"\\u003c\\u00e9\"}");
}

struct Failure {
    const char* source;
    const char* message;
};

void expectFailures(std::initializer_list<Failure> cases) {
    for (const Failure& c : cases) {
        EXPECT_EQ(runtimeError(c.source), c.message) << c.source;
    }
}

TEST(RenderTest, OperatorMessages) {
    expectFailures({
        {"{{ [1] + 1 }}", "Cannot add values of different types ([1] and 1)"},
        {"{{ true + true }}", "Cannot add values of different types (true and true)"},
        {"{{ none + 1 }}", "Cannot add values of different types ( and 1)"},
        {"{{ {'a': 1} + {} }}", "Cannot add values of different types ({'a': 1} and {})"},
        {"{{ 'a' - 1 }}", "Cannot subtract non-numeric values (a and 1)"},
        {"{{ 'ab' * 1.5 }}", "Cannot multiply values of these types (ab and 1.5)"},
        {"{{ [1] * 2 }}", "Cannot multiply values of these types ([1] and 2)"},
        {"{{ 1 / 0 }}", "Division by zero"},
        {"{{ 1 / 0.0 }}", "Division by zero"},
        {"{{ 1.0 / -0.0 }}", "Division by zero"},
        {"{{ 1 // 0 }}", "Division by zero"},
        {"{{ 1.5 // 0 }}", "Division by zero"},
        {"{{ 'a' / 0 }}", "Cannot divide non-numeric values (a and 0)"},
        {"{{ 'a' // 2 }}", "Cannot floor divide non-numeric values (a and 2)"},
        {"{{ 'a' ** 2 }}", "Cannot raise non-numeric values to a power (a and 2)"},
        {"{{ 5 % 0 }}", "Modulo by zero"},
        {"{{ 5.0 % 2 }}", "Modulo operation requires integers (5.0 and 2)"},
        {"{{ 1 ~ 2 }}", "Cannot concatenate values of different types (1 and 2)"},
        {"{{ 1 in 5 }}", "'in' operator requires iterable on right side (5)"},
        {"{{ 1 in true }}", "'in' operator requires iterable on right side (true)"},
        {"{% set n = 5 %}{{ 'a' in n }}", "'in' operator requires iterable on right side (5)"},
        {"{{ true < false }}", "Cannot compare values of different types (true and false)"},
        {"{{ [1] < [2] }}", "Cannot compare values of different types ([1] and [2])"},
        {"{{ 1 < 'a' }}", "Cannot compare values of different types (1 and a)"},
        {"{{ none >= none }}", "Cannot compare values of different types ( and )"},
        {"{{ -true }}", "Cannot negate non-numeric value"},
        {"{{ +'1' }}", "Cannot apply unary plus to non-numeric value"},
        {"{{ *items }}", "Unpacking operator can only be used in function calls"},
    });
}

TEST(RenderTest, IntegerOverflowFails) {
    expectFailures({
        {"{{ 9223372036854775807 + 1 }}",
         "Integer overflow in addition (9223372036854775807 and 1)"},
        {"{{ -9223372036854775807 - 2 }}",
         "Integer overflow in subtraction (-9223372036854775807 and 2)"},
        {"{{ 4294967296 * 4294967296 }}",
         "Integer overflow in multiplication (4294967296 and 4294967296)"},
        {"{{ 2 ** 63 }}", "Integer overflow in power (2 and 63)"},
        {"{{ 3 ** 100 }}", "Integer overflow in power (3 and 100)"},
        {"{% set m = -9223372036854775807 - 1 %}{{ -m }}",
         "Integer overflow in negation (-9223372036854775808)"},
        {"{% set m = -9223372036854775807 - 1 %}{{ m // -1 }}",
         "Integer overflow in floor division (-9223372036854775808 and -1)"},
        {"{{ (10.0 ** 300) // 1 }}", "Integer overflow in floor division (1e+300 and 1)"},
        {"{{ (0.0 / 1) ** -1 // 1 }}", "Integer overflow in floor division (inf and 1)"},
    });
    expectRenders({
        {"{% set m = -9223372036854775807 - 1 %}{{ m % -1 }}|{{ m // 1 }}",
         "0|-9223372036854775808"},
        {"{{ 10 ** 18 }}|{{ (-1) ** 9223372036854775807 }}|{{ 0 ** 0 }}",
         "1000000000000000000|-1|1"},
    });
}

TEST(RenderTest, ExpressionMessages) {
    expectFailures({
        {"{{ 'abc'[::0] }}", "Slice step cannot be zero"},
        {"{{ 5[::0] }}", "Slice step cannot be zero"},
        {"{{ 5[1:] }}", "Slice requires array or string"},
        {"{{ 'x'() }}", "Cannot call non-function value"},
        // The arguments are evaluated before the callee is found not to be callable.
        {"{{ 'x'(1 + 'a' - 1) }}", "Cannot subtract non-numeric values (1a and 1)"},
        {"{{ args(*'ab') }}", "Cannot unpack non-array value"},
        {"{{ 'a' | nosuch }}", "Unknown filter: nosuch"},
        {"{{ 'a' | user }}", "Unknown filter: user"},
        {"{{ x is nosuch }}", "Unknown test: nosuch"},
        {"{{ 1|tojson(foo=1) }}", "Unexpected keyword argument 'foo' for filter."},
        {"{{ 1|tojson(2, indent=2) }}",
         "Argument 'indent' passed both positionally and as keyword."},
        {"{{ 1|tojson(indent='2') }}", "tojson indent must be an integer or none"},
        {"{{ [missing]|tojson }}", "Object of type Undefined is not JSON serializable"},
        {"{{ {'f': args}|tojson }}", "Object of type function is not JSON serializable"},
    });
}

TEST(RenderTest, StatementMessages) {
    expectFailures({
        {"{% set a, b = [1, 2, 3] %}", "Tuple assignment mismatch: 2 variables and 3 values."},
        {"{% set a, b = 1 %}", "Cannot unpack non-array value for tuple assignment."},
        {"{% set o = {} %}{% set o[1.5] = 1 %}",
         "Computed property key must be a string or integer"},
        {"{% set f() = 1 %}", "Invalid target for assignment: call(identifier(\"f\"), [], [:])"},
        {"{% set 'x' = 1 %}", "Invalid target for assignment: string(\"x\")"},
        {"{% call 'x' %}{% endcall %}", "Cannot call non-function value"},
        {"{% filter 1 %}x{% endfilter %}", "Invalid filter expression in filter statement"},
        {"{% filter nosuch %}x{% endfilter %}", "Unknown filter: nosuch"},
        {"{% macro m() %}{{ caller(1) }}{% endmacro %}{% call('a') m() %}{% endcall %}",
         "Caller parameter must be an identifier"},
        {"{% for x in 5 %}{% endfor %}", "Cannot iterate over non-iterable value"},
        {"{% for x in none %}{% endfor %}", "Cannot iterate over non-iterable value"},
        {"{% for c in 'x'.items() %}{% endfor %}", "Cannot call non-function value"},
        {"{% for x in missing %}{% else %}e{% endfor %}", "Cannot iterate over non-iterable value"},
        {"{% for x in [1, 2] %}{{ x }}{{ x + 'a' - 1 }}{% endfor %}",
         "Cannot subtract non-numeric values (1a and 1)"},
        // A caller kept past its call block no longer has a scope to render in.
        {"{% set keep = {} %}{% macro m() %}{% set keep.c = caller %}{% endmacro %}{% for i in [1] "
         "%}{% call m() %}x{% endcall %}{% endfor %}{{ keep.c() }}",
         "caller called after its call block ended"},
    });
}

TEST(RenderTest, TreesTheParserNeverBuilds) {
    const auto env = Environment::make();
    const Expression dottedNumber =
        Expression::member(Expression::identifier("x"), Expression::integer(1), false);
    try {
        Interpreter::evaluateExpression(dottedNumber, env);
        FAIL();
    } catch (const TemplateError& error) {
        EXPECT_EQ(error.message(), "Property access requires identifier");
    }
    env->set("o", Value(Value::Object{}));
    const Expression target =
        Expression::member(Expression::identifier("o"), Expression::integer(1), false);
    try {
        Interpreter::assign(target, Value(1), env);
        FAIL();
    } catch (const TemplateError& error) {
        EXPECT_EQ(error.message(), "Property assignment requires identifier");
    }
}

TEST(RenderTest, ControlFlowOutsideLoops) {
    try {
        render("a{% break %}b");
        FAIL();
    } catch (const ControlFlow& signal) {
        EXPECT_EQ(signal, ControlFlow::break_());
    }
    EXPECT_THROW(render("{% macro m() %}{% continue %}{% endmacro %}{{ m() }}"), ControlFlow);
}

TEST(RenderTest, ResourceBounds) {
    EXPECT_EQ(runtimeError("{% macro r(n) %}{{ r(n + 1) }}{% endmacro %}{{ r(0) }}"),
              "Macro calls nested deeper than the limit of 100");
    EXPECT_EQ(runtimeError("{% macro m() %}{{ caller() }}{% endmacro %}{% macro r() %}{% call m() "
                           "%}{{ r() }}{% endcall %}{% endmacro %}{{ r() }}"),
              "Macro calls nested deeper than the limit of 100");
    EXPECT_EQ(runtimeError("{{ 'ab' * 100000000 }}"),
              "Text would exceed the limit of 67108864 bytes");
    EXPECT_EQ(runtimeError("{{ 'ab' * 9223372036854775807 }}"),
              "Text would exceed the limit of 67108864 bytes");

    RenderLimits small;
    small.maximumTextLength = 1000;
    small.maximumArrayLength = 100;
    small.maximumSteps = 50;
    const auto limited = [&] {
        const auto env = Environment::make();
        env->setLimits(small);
        return env;
    };
    const std::string sixty = "'" + std::string(60, 'x') + "'";
    EXPECT_EQ(runtimeError("{% set s = 'x' %}{% for i in 'xxxxxxxxxxxx' %}{% set s = s ~ s %}{% "
                           "endfor %}",
                           limited()),
              "Text would exceed the limit of 1000 bytes");
    EXPECT_EQ(runtimeError("{% set a = [1] %}{% for i in 'xxxxxxxxxxxx' %}{% set a = a + a %}{% "
                           "endfor %}",
                           limited()),
              "Array would exceed the limit of 100 elements");
    EXPECT_EQ(runtimeError("{% for i in 'xxxxx' %}{{ 'y' * 300 }}{% endfor %}", limited()),
              "Rendered text would exceed the limit of 1000 bytes");
    // A macro's text counts against the limit on its own until the macro returns it.
    const std::string printsThenFails =
        "{% macro m() %}{{ 'z' * 20 }}{{ 1 | nosuch }}{% endmacro %}";
    EXPECT_EQ(runtimeError(printsThenFails + "{{ 'y' * 990 }}{{ m() }}", limited()),
              "Unknown filter: nosuch");
    EXPECT_EQ(runtimeError(printsThenFails + "{{ 'y' * 990 }}{{ m }}{{ 'z' * 20 }}", limited()),
              "Rendered text would exceed the limit of 1000 bytes");
    EXPECT_EQ(runtimeError("{% for i in " + sixty + " %}{% endfor %}", limited()),
              "Rendering exceeded the limit of 50 loop iterations and calls");
    EXPECT_EQ(runtimeError("{% for i in " + sixty + " if false %}{% endfor %}", limited()),
              "Rendering exceeded the limit of 50 loop iterations and calls");

    const std::string many = "'" + std::string(Value::maximumDepth + 5, 'x') + "'";
    EXPECT_EQ(
        runtimeError("{% set a = [] %}{% for i in " + many + " %}{% set a = [a] %}{% endfor %}"),
        "Values cannot nest more than 512 levels deep");
}

// Templates come with downloaded models: each of these must end quickly, in bounded memory,
// with the limit's error (or render, when it stays within the limits).
TEST(RenderTest, HostileTemplatesStopAtTheirLimit) {
    const auto repeated = [](std::string_view piece, int count) {
        std::string out;
        for (int i = 0; i < count; ++i) {
            out += piece;
        }
        return out;
    };
    std::string elifs = "{% if x == 0 %}0";
    for (int i = 1; i < 300; ++i) {
        elifs += "{% elif x == " + std::to_string(i) + " %}" + std::to_string(i);
    }
    elifs += "{% endif %}";

    const std::string arrayLimit = "Array would exceed the limit of 4194304 elements";
    const std::string textLimit = "Text would exceed the limit of 67108864 bytes";
    const struct {
        std::string source;
        std::string outcome;
    } defaults[] = {
        {"{% for i in range(1000000000) %}{% endfor %}", arrayLimit},
        {"{{ range(1000000000) | list }}", arrayLimit},
        {"{{ range(1000000000) | join }}", arrayLimit},
        {"{{ 5 in range(1000000000) }}", arrayLimit},
        {"{{ range(0, -9223372036854775807, -1) | length }}", arrayLimit},
        {"{{ range(0, 1000000000, 250) | length }}", "rendered: 4000000"},
        {"{{ range(10, 0, -3) | list }}", "rendered: [10, 7, 4, 1]"},
        // A text just under the text limit gives one value per character or piece.
        {"{% for c in 'a' * 60000000 %}{% endfor %}", arrayLimit},
        {"{{ ('a' * 60000000) | list | length }}", arrayLimit},
        {"{{ ('a,' * 30000000).split(',') | length }}", arrayLimit},
        {"{{ ('a ' * 30000000).split() | length }}", arrayLimit},
        {"{% for i in range(100000) %}{% for j in range(100000) %}{% endfor %}{% endfor %}",
         "Rendering exceeded the limit of 10000000 loop iterations and calls"},
        {"{{ ('a' * 1000) | replace('a', 'a' * 1000000) }}", textLimit},
        {"{{ ('a' * 1000).replace('a', 'a' * 1000000) }}", textLimit},
        {"{{ ('a' * 1000) | replace('', 'b' * 1000000) }}", textLimit},
        {"{{ 'a' | center(100000000) }}", "center filter width is too large"},
        {"{{ 'a\nb' | indent(100000000) }}", "indent filter width is too large"},
        {"{{ 'a\nb' | indent(5000) | length }}", "rendered: 5003"},
        // Flat chains are not nesting.
        {"{{ 1" + repeated(" + 1", 128) + " }}", "rendered: 129"},
        {"{{ ('a'" + repeated(" ~ 'a'", 199) + ") | length }}", "rendered: 200"},
        {"{{ 'A'" + repeated(" | lower | upper", 100) + " }}", "rendered: A"},
        {"{% set x = 299 %}" + elifs, "rendered: 299"},
        {"{% set x = 1000 %}" + elifs + "!", "rendered: !"},
    };
    for (const auto& c : defaults) {
        EXPECT_EQ(runtimeError(c.source), c.outcome) << c.source.substr(0, 80);
    }

    // Printed forms and text filters that outgrow their input, under small limits.
    RenderLimits small;
    small.maximumTextLength = 1000;
    small.maximumArrayLength = 100;
    const auto limited = [&] {
        const auto env = Environment::make();
        env->setLimits(small);
        return env;
    };
    const std::string smallText = "Text would exceed the limit of 1000 bytes";
    const struct {
        std::string source;
        std::string outcome;
    } tight[] = {
        {"{{ ['x' * 600, 'y' * 600] }}", smallText},
        {"{{ {'k': 'x' * 600, 'l': 'y' * 600} }}", smallText},
        {"{{ ['x' * 600, 'y' * 600] | string }}", smallText},
        {"{{ ['x' * 600, 'y' * 600] | join }}", smallText},
        {"{{ ['x' * 600, 'y' * 600] ~ '' }}", smallText},
        {"{{ 'x' ~ ['y' * 600, 'z' * 600] }}", smallText},
        {"{% set s = 'x' * 600 %}{{ [[s], [s]] + [] }}", smallText},
        {"{{ '%s%s' | format('x' * 600, ['y' * 600]) }}", smallText},
        {"{{ ('a' * 10) | replace('a', 'b' * 200) }}", smallText},
        {"{{ ('a' * 10).replace('a', 'b' * 200) }}", smallText},
        {"{{ ('a\n' * 100) | indent(20) }}", smallText},
        {"{{ ('word ' * 100) | wordwrap(1, wrapstring='-' * 50) }}", smallText},
        {"{{ lipsum(10, false, 100, 100) }}", smallText},
        // Filters and methods that grow a text by a small factor.
        {"{% set x = ('<' * 300) | escape %}{{ x | length }}", smallText},
        {"{% set x = ('\u0149' * 400).upper() %}{{ x | length }}", smallText},
        {"{{ 'a' | center(2000) }}", "center filter width is too large"},
        {"{{ 'a' | indent(2000) }}", "indent filter width is too large"},
        {"{{ range(101) | length }}", "Array would exceed the limit of 100 elements"},
        {"{{ range(100) | length }}", "rendered: 100"},
        {"{% for c in 'a' * 101 %}{% endfor %}", "Array would exceed the limit of 100 elements"},
        {"{{ ('a' * 101) | list | length }}", "Array would exceed the limit of 100 elements"},
        {"{{ ('\u00e9' * 101) | list | length }}", "Array would exceed the limit of 100 elements"},
        {"{{ ('a,' * 100).split(',') | length }}", "Array would exceed the limit of 100 elements"},
        {"{{ ('a ' * 101).split() | length }}", "Array would exceed the limit of 100 elements"},
        // Longer texts than the limit are counted, not refused by their bytes.
        {"{{ ('\u00e9' * 100) | list | length }}", "rendered: 100"},
        {"{% for c in '\r\n' * 100 %}{{ loop.length if loop.last }}{% endfor %}", "rendered: 100"},
        {"{{ ('a,' * 99).split(',') | length }}", "rendered: 100"},
        {"{{ ('a,' * 200).split(',', 5) | length }}", "rendered: 6"},
        {"{{ ('a' * 10) | replace('a', 'b' * 99) | length }}", "rendered: 990"},
    };
    for (const auto& c : tight) {
        EXPECT_EQ(runtimeError(c.source, limited()), c.outcome) << c.source;
    }
}

TEST(RenderTest, DeepestTemplatesStayWithinTheStack) {
    // Every macro level nests its call as deep as the parser allows, and the calls recurse up
    // to the depth limit: the rendering must end with the limit's error, not exhaust the stack.
    std::string nested = "r(n + 1)";
    for (int i = 0; i < 120; ++i) {
        nested = "[" + nested + "]";
    }
    EXPECT_EQ(runtimeError("{% macro r(n) %}{{ " + nested + " }}{% endmacro %}{{ r(0) }}"),
              "Macro calls nested deeper than the stack allows");
    // So does a call at the bottom of the longest chains the parser takes.
    std::string subtracted = "r(n + 1)";
    std::string filtered = "r(n + 1)";
    for (int i = 0; i < 1000; ++i) {
        subtracted += " - 1";
        filtered += " | abs";
    }
    for (const std::string& chain : {subtracted, filtered}) {
        EXPECT_EQ(runtimeError("{% macro r(n) %}{{ " + chain + " }}{% endmacro %}{{ r(0) }}"),
                  "Macro calls nested deeper than the stack allows");
    }
}

TEST(TemplateTest, WhitespaceOptions) {
    const Template::Options lstrip{true, false};
    const Template::Options trim{false, true};
    const Template::Options both{true, true};
    const struct {
        const char* source;
        Template::Options options;
        const char* text;
    } cases[] = {
        {"\t  {% if x %}", lstrip, "{% if x %}"},
        {"  {# c #}\n  {{ x }}\na {% if x %}", lstrip, "{# c #}\n  {{ x }}\na {% if x %}"},
        // Line separators are kept as they were.
        {"a\r\n  {% if x %}\r\n\t{%\xE2\x80\xA8 {#\x0B {{", lstrip,
         "a\r\n{% if x %}\r\n{%\xE2\x80\xA8{#\x0B {{"},
        {"{% if x %}\nx{% endif %}\ny{{ z }}\n ", trim, "{% if x %}x{% endif %}y{{ z }}\n "},
        {"{# c #}\n%}\r\n ", trim, "{# c #}%}\r\n "},
        {"%}\n\n ", trim, "%}\n "},
        {"  {% if x %}\n  text", both, "{% if x %}  text"},
        {"  {% if x %}\r\n ", {}, "  {% if x %}\r\n "},
        // One line break ends the source and is not part of it.
        {"a\n", {}, "a"},
        {"a\r\n", {}, "a"},
        {"a\n\n", {}, "a\n"},
        {"a\r", {}, "a\r"},
        {"{% if x %}\n\n", trim, "{% if x %}"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Template::applyOptions(c.source, c.options), c.text) << c.source;
    }
    EXPECT_EQ(
        Template("<ul>\n  {% for i in [1, 2] %}\n  <li>{{ i }}</li>\n  {% endfor %}\n</ul>", both)
            .render({}),
        "<ul>\n  <li>1</li>\n  <li>2</li>\n</ul>");
    EXPECT_EQ(Template("a\r\n  {% if true %}b{% endif %}\r\nc", lstrip).render({}), "a\r\nb\r\nc");
    EXPECT_EQ(Template("{{ x }}\n", {}).render({{"x", "y"}}), "y");
    EXPECT_EQ(Template::Options({true, false}), lstrip);
    EXPECT_NE(lstrip.hashValue(), trim.hashValue());
}

TEST(TemplateTest, CompilationAndEquality) {
    EXPECT_TRUE(Template("", {}).nodes().empty());
    EXPECT_EQ(Template("a{{ b }}", {}), Template("a{{ b }}", {}));
    EXPECT_EQ(Template("a{{ b }}", {}).hashValue(), Template("a{{ b }}", {}).hashValue());
    EXPECT_FALSE(Template("a{{ b }}", {}) == Template("a{{ c }}", {}));
    try {
        Template("{% if x %}", {});
        FAIL();
    } catch (const TemplateError& error) {
        EXPECT_EQ(error.errorCase(), TemplateError::Case::parser);
    }
    EXPECT_THROW(Template("{{ 'open", {}), TemplateError);
}

TEST(TemplateTest, RenderingScopes) {
    const Template tmpl("{{ x }}{% set y = 'set' %}{{ y }}{{ fromParent }}", {});
    const auto parent = Environment::make();
    parent->set("fromParent", "P");
    const auto env = Environment::make(parent);
    EXPECT_EQ(tmpl.render({{"x", "1"}}, env), "1set");
    // The context stays in the given environment; the template's own set does not reach it.
    EXPECT_EQ((*env)["x"], Value("1"));
    EXPECT_TRUE((*env)["y"].isUndefined());
    EXPECT_EQ(tmpl.render({{"x", "2"}}), "2set");
    EXPECT_EQ(tmpl.render({}), "set");

    // The given environment's policies carry into the rendering.
    const auto sorted = Environment::make();
    sorted->ownPolicies().jsonDumpsOptions.sortKeys = true;
    EXPECT_EQ(Template("{{ {'b': 1, 'a': 2}|tojson }}", {}).render({}, sorted),
              "{\"a\": 2, \"b\": 1}");

    // A failing rendering returns nothing; the context values stay.
    const auto failing = Environment::make();
    EXPECT_THROW(Template("ok{{ 1 / 0 }}", {}).render({{"kept", 1}}, failing), TemplateError);
    EXPECT_EQ((*failing)["kept"], Value(1));
}

// Renderings one after the other on one thread, which hand their storage on: nothing a
// rendering bound, kept or failed halfway through reaches the next.
TEST(TemplateTest, RenderingsInTurnShareNoBindings) {
    const Template binds(
        "{% set x = 1 %}{% macro m() %}{% endmacro %}{% set keep = {} %}{% for i in [1, 2] %}{% "
        "set keep.loop = loop %}{% endfor %}{{ y }}{{ keep.loop.index }}{% if fail %}{{ "
        "raise_exception('stop') }}{% endif %}",
        {});
    const Template reads(
        "[{{ x }}][{{ y }}][{{ m is defined }}][{{ fail }}]{% for i in 'ab' %}{{ loop.index }}{{ "
        "loop.previtem }}{% endfor %}[{{ range(2)|list }}]",
        {});
    const std::string expected = "[][][false][]12a[[0, 1]]";
    EXPECT_EQ(binds.render({{"y", 2}}), "22");
    EXPECT_EQ(reads.render({}), expected);
    EXPECT_THROW(binds.render({{"y", 3}, {"fail", true}}), TemplateException);
    EXPECT_EQ(reads.render({}), expected);
    // What the thread keeps for its next rendering holds none of this one's values.
    auto token = std::make_shared<int>(0);
    {
        const Value held = function([token](const Args&, const KeywordValues&) { return Value(); });
        EXPECT_EQ(Template("{% for f in [1, g, 2] %}{% endfor %}{% set h = g %}", {})
                      .render({{"g", held}}),
                  "");
    }
    EXPECT_EQ(token.use_count(), 1);
    // A context value named as a global function gives way to the function, rendering after
    // rendering.
    const Template callsRange("{{ range(1)|list }}", {});
    EXPECT_EQ(callsRange.render({{"range", 5}}), "[0]");
    EXPECT_EQ(callsRange.render({}), "[0]");
}

TEST(TemplateTest, ChatTemplate) {
    const Template chat(
        "{{ bos_token }}{% for message in messages %}{% if message['role'] == 'system' %}{% set "
        "ns = message['content'] %}{% else %}<|{{ message.role }}|>\n{{ message['content'] | "
        "tojson if message.content is not string_like else message.content }}<|end|>\n{% endif "
        "%}{% endfor %}{% if add_generation_prompt %}<|assistant|>\n{% endif %}",
        {});
    const auto message = [](const char* role, Value content) {
        return Value::dictionaryLiteral({{"role", role}, {"content", std::move(content)}});
    };
    Template::Context context{
        {"bos_token", "<s>"},
        {"add_generation_prompt", true},
        {"string_like", function([](const Args& args, const KeywordValues&) {
             return Value(args.at(0).isString());
         })},
        {"messages", Value(Args{message("system", "Be brief."), message("user", "Hi"),
                                message("assistant", Value(Args{1, "two"}))})},
    };
    EXPECT_EQ(chat.render(context),
              "<s><|user|>\nHi<|end|>\n<|assistant|>\n[1, \"two\"]<|end|>\n<|assistant|>\n");
}

}  // namespace
}  // namespace templates
