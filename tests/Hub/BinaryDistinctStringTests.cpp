#include "hub/BinaryDistinctString.h"

#include <gtest/gtest.h>

#include <string>
#include <unordered_map>

namespace hub {
namespace {

const BinaryDistinctString precomposed(u"\u00e9");  // é as one code unit
const BinaryDistinctString decomposed(u"e\u0301");  // e + combining acute accent

TEST(BinaryDistinctString, ComparesCodeUnitsNotCanonicalEquivalence) {
    EXPECT_NE(precomposed, decomposed);
    EXPECT_NE(precomposed.hashValue(), decomposed.hashValue());
    std::unordered_map<BinaryDistinctString, int> map{{precomposed, 1}, {decomposed, 2}};
    EXPECT_EQ(map.size(), 2u);
    EXPECT_EQ(map.at(precomposed), 1);
    EXPECT_EQ(map.at(decomposed), 2);

    // Equal code units are equal however they were built.
    EXPECT_EQ(BinaryDistinctString("caf\xC3\xA9"), BinaryDistinctString(u"caf\u00e9"));
    EXPECT_EQ(BinaryDistinctString("caf\xC3\xA9").hashValue(),
              BinaryDistinctString(u"caf\u00e9").hashValue());
    EXPECT_EQ(BinaryDistinctString(std::vector<BinaryDistinctCharacter>{"a", "\xF0\x9F\x98\x80"}),
              BinaryDistinctString(u"a\U0001F600"));
    EXPECT_EQ(BinaryDistinctString(std::vector<BinaryDistinctCharacter>{}), BinaryDistinctString());

    // Ill-formed text in either direction becomes U+FFFD rather than being dropped or misread.
    EXPECT_EQ(BinaryDistinctString("a\xFF"
                                   "b"),
              BinaryDistinctString(u"a\uFFFDb"));
    EXPECT_EQ(BinaryDistinctString(std::u16string(1, u'\xD800')).string(), "\xEF\xBF\xBD");
}

TEST(BinaryDistinctString, OrdersByUnsignedCodeUnits) {
    const struct {
        BinaryDistinctString lhs, rhs;
        bool less;
    } cases[] = {
        {"ab", "abc", true},
        {"abc", "abd", true},
        {"B", "a", true},
        {"abc", "abc", false},
        {"abc", "ab", false},
        {"", "a", true},
        // Code units above 0x7FFF sort as large unsigned numbers.
        {BinaryDistinctString(u"\u00ff"), BinaryDistinctString(u"\uffff"), true},
        {BinaryDistinctString(u"\U0001F600"), BinaryDistinctString(u"\uffff"), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lhs.string() + " < " + c.rhs.string());
        EXPECT_EQ(c.lhs < c.rhs, c.less);
        EXPECT_EQ(c.rhs > c.lhs, c.less);
        EXPECT_EQ(c.lhs >= c.rhs, !c.less);
        EXPECT_EQ(c.rhs <= c.lhs, !c.less);
    }
}

TEST(BinaryDistinctString, PrefixSuffixAndConcatenation) {
    const BinaryDistinctString abc = "abc";
    EXPECT_TRUE(abc.hasPrefix("ab"));
    EXPECT_TRUE(abc.hasPrefix(""));
    EXPECT_TRUE(abc.hasPrefix("abc"));
    EXPECT_FALSE(abc.hasPrefix("abcd"));
    EXPECT_FALSE(abc.hasPrefix("b"));
    EXPECT_TRUE(abc.hasSuffix("bc"));
    EXPECT_TRUE(abc.hasSuffix(""));
    EXPECT_FALSE(abc.hasSuffix("zabc"));
    EXPECT_FALSE(BinaryDistinctString("e").hasPrefix(decomposed));
    EXPECT_EQ(BinaryDistinctString("e") + BinaryDistinctString(u"\u0301"), decomposed);
}

TEST(BinaryDistinctString, CharactersAreGraphemeClusters) {
    EXPECT_EQ(decomposed.count(), 1);
    EXPECT_EQ(decomposed.value().size(), 2u);
    EXPECT_EQ(decomposed.endIndex(), 1);
    EXPECT_EQ(BinaryDistinctString().count(), 0);

    const BinaryDistinctString text(u"a\U0001F600");
    const auto characters = text.characters();
    ASSERT_EQ(characters.size(), 2u);
    EXPECT_EQ(characters[0].bytes(), u"a");
    EXPECT_EQ(characters[1].bytes(), std::u16string(u"\xD83D\xDE00"));
    EXPECT_EQ(characters[0].description(), "BinaryDistinctCharacter('a', bytes: [\"0x61\"])");
    EXPECT_EQ(characters[1].description(),
              "BinaryDistinctCharacter('\xF0\x9F\x98\x80', bytes: [\"0xD83D\", \"0xDE00\"])");
    EXPECT_EQ(BinaryDistinctCharacter(decomposed.value()).description(),
              "BinaryDistinctCharacter('e\xCC\x81', bytes: [\"0x65\", \"0x301\"])");
    EXPECT_NE(BinaryDistinctCharacter(precomposed.value()),
              BinaryDistinctCharacter(decomposed.value()));
}

TEST(BinaryDistinctString, PositionsAndSlices) {
    const BinaryDistinctString abc = "abc";
    EXPECT_EQ(abc.index(0, 3), 3);
    EXPECT_EQ(abc.index(2, -2), 0);
    EXPECT_EQ(abc.index(0, 5, 3), std::nullopt);
    EXPECT_EQ(abc.index(0, 3, 3), 3);
    EXPECT_EQ(abc.slice(1, 3), BinaryDistinctString("bc"));
    EXPECT_EQ(abc.slice(1), BinaryDistinctString("bc"));
    EXPECT_EQ(abc.slice(0, 3), abc);
    EXPECT_EQ(abc.slice(3), BinaryDistinctString());
    // Positions count characters, so a slice never splits one.
    const BinaryDistinctString mixed(u"xe\u0301\U0001F600y");
    EXPECT_EQ(mixed.slice(1, 3), BinaryDistinctString(u"e\u0301\U0001F600"));
    EXPECT_EQ(mixed.slice(3), BinaryDistinctString("y"));
}

TEST(BinaryDistinctStringDeathTest, OutOfBoundsPositionsStop) {
    const BinaryDistinctString abc = "abc";
    EXPECT_DEATH(abc.index(0, abc.count() + 1),
                 "Hub/BinaryDistinct:128: Fatal error: Index out of bounds");
    EXPECT_DEATH(abc.index(1, -2), "Index out of bounds");
    EXPECT_DEATH(abc.slice(1, 4), "Hub/BinaryDistinct:159: Fatal error: Index out of bounds");
    EXPECT_DEATH(abc.slice(-1, 2), "Index out of bounds");
}

TEST(BinaryDistinctString, TextOperations) {
    EXPECT_EQ(BinaryDistinctString("\xC3\x80"
                                   "BC")
                  .lowercased(),
              BinaryDistinctString(u"\u00e0bc"));
    // Scalar by scalar: a capital sigma always maps to the medial form.
    EXPECT_EQ(BinaryDistinctString(u"\u039F\u03A3").lowercased(),
              BinaryDistinctString(u"\u03BF\u03C3"));
    // Full mapping: one scalar may become two.
    EXPECT_EQ(BinaryDistinctString(u"\u0130").lowercased(), BinaryDistinctString(u"i\u0307"));

    const struct {
        BinaryDistinctString text, target, replacement, expected;
    } replacements[] = {
        {"a-b-c", "-", "+", "a+b+c"},
        {"aaa", "aa", "b", "ba"},
        {"abc", "", "x", "abc"},
        {"abc", "z", "x", "abc"},
        // Canonically equivalent spellings match each other...
        {BinaryDistinctString(u"caf\u00e9!"), decomposed, "E", "cafE!"},
        {BinaryDistinctString(u"cafe\u0301!"), precomposed, "E", "cafE!"},
        // ...but a base letter does not match inside a letter with a combining mark.
        {BinaryDistinctString(u"e\u0301e"), "e", "x", BinaryDistinctString(u"e\u0301x")},
    };
    for (const auto& c : replacements) {
        SCOPED_TRACE(c.text.string());
        EXPECT_EQ(c.text.replacingOccurrences(c.target, c.replacement), c.expected);
    }
}

TEST(BinaryDistinctString, MergeAppliesTheStrategyToSharedKeys) {
    using Map = std::unordered_map<BinaryDistinctString, int>;
    const Map other{{"a", 1}, {"b", 5}};
    Map receiver{{"a", 2}};
    merge(receiver, other, [](int stored, int incoming) { return stored + incoming; });
    EXPECT_EQ(receiver, (Map{{"a", 3}, {"b", 5}}));

    const Map original{{"a", 2}};
    const Map kept = merging(original, other, [](int stored, int) { return stored; });
    EXPECT_EQ(kept, (Map{{"a", 2}, {"b", 5}}));
    EXPECT_EQ(original, (Map{{"a", 2}}));

    // Text keys are converted to code units first.
    Map fromText{{"caf\xC3\xA9", 1}};
    merge(fromText, std::unordered_map<std::string, int>{{"caf\xC3\xA9", 1}},
          [](int stored, int incoming) { return stored + incoming; });
    EXPECT_EQ(fromText.at(BinaryDistinctString(u"caf\u00e9")), 2);
}

}  // namespace
}  // namespace hub
