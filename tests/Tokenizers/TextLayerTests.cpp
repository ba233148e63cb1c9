#include <unicode/uchar.h>
#include <unicode/unorm2.h>

#include <gtest/gtest.h>

#include <random>

#include "tokenizers/ByteTables.h"
#include "tokenizers/Regex.h"
#include "tokenizers/StringSplitting.h"
#include "tokenizers/UnicodeText.h"
#include "tokenizers/Utf8.h"

using namespace tokenizers;

namespace {

std::vector<std::string> texts(std::string_view text, const std::vector<TextRange>& ranges) {
    std::vector<std::string> out;
    for (const TextRange& r : ranges)
        out.emplace_back(r.of(text));
    return out;
}

Regex compiled(std::string_view pattern) {
    auto re = Regex::compile(pattern);
    if (!re)
        throw std::runtime_error("pattern does not compile");
    return *re;
}

}  // namespace

TEST(Utf8, IllFormedInputBecomesOneReplacementPerMaximalSubpart) {
    const std::string fffd = "\xEF\xBF\xBD";
    struct Case {
        std::string input, expected;
    } cases[] = {
        {"abc", "abc"},
        {"\xC3\xA9", "\xC3\xA9"},                  // é stays
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},  // emoji stays
        {"a\x80"
         "b",
         "a" + fffd + "b"},  // lone continuation byte
        {"\xE2\x82", fffd},  // truncated three-byte sequence: one
        {"\xE2\x82"
         "A",
         fffd + "A"},
        {"\xF0\x9F\x98", fffd},                           // truncated four-byte sequence: one
        {"\xC0\xAF", fffd + fffd},                        // overlong lead: each byte alone
        {"\xED\xA0\x80", fffd + fffd + fffd},             // surrogate: E D then two strays
        {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},  // above U+10FFFF
        {"\xFF\xFE", fffd + fffd},
        {fffd, fffd},  // a real U+FFFD is valid
    };
    for (const Case& c : cases) {
        EXPECT_EQ(utf8::sanitized(c.input), c.expected) << testing::PrintToString(c.input);
        EXPECT_EQ(utf8::isValid(c.input), c.input == c.expected);
    }
}

TEST(UnicodeText, GraphemeClustersAndNormalizationForms) {
    using V = std::vector<std::string_view>;
    EXPECT_EQ(unicode::graphemeClusters("ab"), (V{"a", "b"}));
    EXPECT_EQ(unicode::graphemeClusters("a\r\nb"), (V{"a", "\r\n", "b"}));
    EXPECT_EQ(unicode::graphemeClusters("e\u0301x"), (V{"e\u0301", "x"}));
    // A family emoji joined by ZWJ and a flag are one character each.
    EXPECT_EQ(
        unicode::graphemeCount("\U0001F468\u200D\U0001F469\u200D\U0001F467\U0001F1F3\U0001F1F4"),
        2u);
    EXPECT_TRUE(unicode::graphemeClusters("").empty());

    using F = unicode::NormalizationForm;
    EXPECT_EQ(unicode::normalized("e\u0301", F::nfc), "\u00E9");
    EXPECT_EQ(unicode::normalized("\u00E9", F::nfd), "e\u0301");
    EXPECT_EQ(unicode::normalized("\uFB01\u00BD", F::nfkc), "fi1\u20442");
    EXPECT_EQ(unicode::normalized("\u00A0", F::nfkd), " ");
    EXPECT_EQ(unicode::normalized("\u00A0", F::nfc), "\u00A0");
    EXPECT_EQ(unicode::lowercased("\u0130STANBUL \u00C9"), "i\u0307stanbul \u00E9");
}

// The shortcuts for text below U+0300 (no segmentation, no NFC work) rest on properties of those
// characters; check them against ICU's data.
TEST(UnicodeText, CharactersBelowCombiningMarksNeitherCombineNorExtend) {
    for (UChar32 c = 0; c < 0x300; ++c) {
        const auto gcb = u_getIntPropertyValue(c, UCHAR_GRAPHEME_CLUSTER_BREAK);
        EXPECT_TRUE(gcb == U_GCB_OTHER || gcb == U_GCB_CONTROL || gcb == U_GCB_CR ||
                    gcb == U_GCB_LF)
            << std::hex << c;
        EXPECT_EQ(u_getIntPropertyValue(c, UCHAR_NFC_QUICK_CHECK), UNORM_YES) << std::hex << c;
    }
}

TEST(ByteTables, AlphabetIsABijectionWithTheFixedShifts) {
    const auto& encoder = byteEncoder();
    std::set<std::string> distinct(encoder.begin(), encoder.end());
    EXPECT_EQ(distinct.size(), 256u);
    for (int b = 0; b < 256; ++b) {
        EXPECT_EQ(byteDecoder(std::string_view(encoder[b])), b);
    }
    EXPECT_EQ(encoder[0x20], "\u0120");
    EXPECT_EQ(encoder[0x0A], "\u010A");
    EXPECT_EQ(encoder[0x7F], "\u0121");
    EXPECT_EQ(encoder[0xA0], "\u0142");
    EXPECT_EQ(encoder[0xAD], "\u0143");
    EXPECT_EQ(encoder['a'], "a");
    EXPECT_EQ(encoder[0xE9], "\u00E9");
    EXPECT_FALSE(byteDecoder(U'\u0144'));
    EXPECT_FALSE(byteDecoder(std::string_view("ab")));
}

TEST(Regex, FollowsIcuSemantics) {
    // \s is White_Space (U+0085 and U+3000 included); \d is Nd only.
    EXPECT_EQ(texts("a\u0085b\u3000c", compiled(R"(\S+)").ranges("a\u0085b\u3000c")),
              (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(texts("1\u0663\u00BD", compiled(R"(\d+)").ranges("1\u0663\u00BD")),
              (std::vector<std::string>{"1\u0663"}));
    // An empty match moves on by one code point, not one grapheme or one byte.
    EXPECT_EQ(compiled("x*").ranges("e\u0301").size(), 3u);
    EXPECT_EQ(compiled("a").replacingMatches("banana", "<$0>"), "b<a>n<a>n<a>");
    EXPECT_EQ(compiled("(a)(n)").replacingMatches("banana", "$2\\$1"), "bn$1n$1a");
    // A template that names a missing group leaves the text alone.
    EXPECT_EQ(compiled("a").replacingMatches("banana", "$3"), "banana");
    EXPECT_FALSE(Regex::compile("(unclosed"));
}

TEST(Regex, EscapedPatternMatchesItselfLiterally) {
    for (std::string literal : {"<|endoftext|>", "a.b*c+?(x)[y]{2}^$\\", "[INST]", "▁|▁", " #~"}) {
        const Regex re = compiled("(" + Regex::escapedPattern(literal) + ")");
        const std::string text = "x" + literal + "y";
        const auto m = re.firstMatch(text);
        ASSERT_TRUE(m) << literal;
        EXPECT_EQ(m->range().of(text), literal);
    }
}

TEST(Regex, Gpt2PatternPieces) {
    const Regex re = compiled(Regex::gpt2Pattern());
    struct Case {
        std::string text;
        std::vector<std::string> pieces;
    } cases[] = {
        {"Hello world's", {"Hello", " world", "'s"}},
        {"a  b", {"a", " ", " b"}},
        {"I'll  go\n\nnow  ", {"I", "'ll", " ", " go", "\n", "\n", "now", "  "}},
        {"x'S 'sa", {"x", "'", "S", " '", "sa"}},
        {"42 ½ \u0663!?", {"42", " ½", " \u0663", "!?"}},
        {"\t\ta", {"\t", "\t", "a"}},
        {"", {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(texts(c.text, re.ranges(c.text)), c.pieces) << c.text;
}

// The hand-written matcher of the GPT-2 pattern must find exactly what ICU finds.
TEST(Regex, Gpt2FastPathEqualsIcuOnRandomText) {
    const Regex fast = compiled(Regex::gpt2Pattern());
    const Regex icu = fast.withoutFastPath();
    const std::vector<char32_t> pool = {
        'a',    'b',    's',    't',    'r',     'e',     'v',     'm',     'l',    'd',    'S',
        'T',    '\'',   ' ',    ' ',    ' ',     '\t',    '\n',    '\r',    0x0B,   0x0C,   0x85,
        0xA0,   0x1680, 0x2009, 0x200B, 0x2028,  0x3000,  '0',     '7',     0x0663, 0xBD,   0x2167,
        '!',    '.',    ',',    '-',    '"',     '<',     '|',     '>',     0xE9,   0x0301, 0x200D,
        0x4E2D, 0x65E5, 0x0627, 0x0E01, 0x1F600, 0x1F1F3, 0x10400, 0x1D7D8, 0xFFFD, 0x00,
    };
    std::mt19937 rng(12345);
    std::uniform_int_distribution<std::size_t> pick(0, pool.size() - 1);
    std::uniform_int_distribution<int> length(0, 40);
    std::string all;
    for (int n = 0; n < 3000; ++n) {
        std::string text;
        for (int i = length(rng); i > 0; --i)
            utf8::append(text, pool[pick(rng)]);
        ASSERT_EQ(fast.ranges(text), icu.ranges(text)) << testing::PrintToString(text);
        all += text;
    }
    EXPECT_EQ(fast.ranges(all), icu.ranges(all));
}

TEST(StringSplitting, RangesAndSplits) {
    const auto dash = SearchPattern::literal("-");
    using S = std::vector<std::string>;
    EXPECT_EQ(split("the-final--countdown", dash, SplitDelimiterBehavior::mergedWithNext),
              (S{"the", "-final", "-", "-countdown"}));
    EXPECT_EQ(split("the-final--countdown", dash, SplitDelimiterBehavior::mergedWithPrevious),
              (S{"the-", "final-", "-", "countdown"}));
    EXPECT_EQ(split("-a-", dash, SplitDelimiterBehavior::mergedWithNext), (S{"-a", "-"}));
    EXPECT_EQ(split("-a-", dash, SplitDelimiterBehavior::mergedWithPrevious), (S{"-", "a-"}));
    EXPECT_EQ(split("-a--b-", dash, SplitDelimiterBehavior::isolated),
              (S{"-", "a", "-", "-", "b", "-"}));
    EXPECT_EQ(split("-a--b-", dash, SplitDelimiterBehavior::removed), (S{"a", "b"}));
    // A pattern that matches the empty text neither loops nor loses characters.
    EXPECT_EQ(split("abc", SearchPattern::regex(compiled("x*")), true), (S{"abc"}));
    EXPECT_EQ(split("axb", SearchPattern::regex(compiled("x*")), true), (S{"a", "x", "b"}));
    EXPECT_EQ(split("ab", SearchPattern::literal(""), false), (S{"ab"}));
    EXPECT_EQ(ranges("aXbX", SearchPattern::literal("X")),
              (std::vector<TextRange>{{1, 2}, {3, 4}}));
}

TEST(StringSplitting, RegexSplitYieldsTheLastParticipatingGroup) {
    using S = std::vector<std::string>;
    EXPECT_EQ(split("a<b>c", compiled(R"(<(b)>)")), (S{"a", "b", "c"}));
    EXPECT_EQ(split("<b>", compiled(R"(<(b)>)")), (S{"b"}));
    EXPECT_EQ(split("xAyBz", compiled("(A)|(B)")), (S{"x", "A", "y", "B", "z"}));
    EXPECT_EQ(split("abc", compiled("q")), (S{"abc"}));
    EXPECT_EQ(split("", compiled("q")), (S{""}));
}
