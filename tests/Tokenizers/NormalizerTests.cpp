#include <gtest/gtest.h>

#include "TestSupport.h"
#include "tokenizers/Normalizer.h"

using namespace tokenizers;
using tokenizers::testing::json;
using tokenizers::testing::thrownMessage;

namespace {

std::unique_ptr<Normalizer> normalizer(std::string_view description) {
    const hub::Config c = json(description);
    return NormalizerFactory::fromConfig(&c);
}

}  // namespace

TEST(Normalizer, KindsOnTheirEdgeCases) {
    struct Case {
        const char* description;
        std::string text;
        std::string normalized;
    } cases[] = {
        // Unicode forms and case.
        {R"({"type":"NFD"})", "\u00E9", "e\u0301"},
        {R"({"type":"NFC"})", "e\u0301", "\u00E9"},
        {R"({"type":"NFKD"})", "\uFB01\u00E9", "fie\u0301"},
        {R"({"type":"NFKC"})", "\uFB01e\u0301\u2460", "fi\u00E91"},
        {R"({"type":"Lowercase"})", "\u00C0B\u0130", "\u00E0bi\u0307"},  // İ becomes two scalars
        // Bert, with the defaults and each switch.
        {R"({"type":"Bert"})", "H\u00E9llo\tW\u00F6rld", "hello world"},
        {R"({"type":"BertNormalizer"})", "H\u00E9llo\tW\u00F6rld", "hello world"},
        {R"({"type":"Bert","lowercase":false})", "H\u00E9llo", "H\u00E9llo"},
        {R"({"type":"Bert","lowercase":false,"strip_accents":true})", "\u00C9", "E"},
        {R"({"type":"Bert","strip_accents":false})", "\u00C9", "\u00E9"},
        {R"({"type":"Bert"})", "a\r\nb\tc\nd", "a b c d"},
        {R"({"type":"Bert"})", "\u4F60\u597D", " \u4F60  \u597D "},
        {R"({"type":"Bert","handle_chinese_chars":false})", "\u4F60\u597D", "\u4F60\u597D"},
        // Clean-up removes what carries no text: NUL, U+FFFD, controls, format characters,
        // private use and unassigned code points; a joiner inside an emoji sequence stays.
        {R"({"type":"Bert","lowercase":false})",
         std::string("a\0b", 3) + "\uFFFDc\u0007d\u200Be\uE000f\U000E0080g", "abcdefg"},
        {R"({"type":"Bert"})", "\U0001F468\u200D\U0001F469\u200D\U0001F467",
         "\U0001F468\u200D\U0001F469\u200D\U0001F467"},
        {R"({"type":"Bert","clean_text":false,"lowercase":false})", "a\u0007\tb", "a\u0007\tb"},
        // Bert strips only the combining diacritical marks (U+0300-U+036F).
        {R"({"type":"Bert","lowercase":false,"strip_accents":true})", "\u1EA0\u0483", "A\u0483"},
        // Strip, Prepend, Replace.
        {R"({"type":"Strip"})", "  a b \n", "a b"},
        {R"({"type":"Strip","strip_right":false})", "  a b \n", "a b \n"},
        {R"({"type":"Strip","strip_left":false})", " \r\na ", " \r\na"},
        {R"({"type":"Strip"})", " \u3000\r\n", ""},
        {R"({"type":"Prepend","prepend":"\u2581"})", "", "\u2581"},
        {R"({"type":"Prepend","prepend":"\u2581"})", "x", "\u2581x"},
        {R"({"type":"Replace","pattern":{"String":" "},"content":"\u2581"})", "a b  c",
         "a\u2581b\u2581\u2581c"},
        {R"({"type":"Replace","pattern":{"Regex":" {2,}"},"content":" "})", "a    b", "a b"},
        {R"({"type":"Replace","pattern":{"String":" "}})", "a b", "a b"},
        // StripAccents removes every nonspacing mark after decomposition; compatibility forms
        // are left alone.
        {R"({"type":"StripAccents"})", "e\u0301 \u00E9 \u00C5 \u0915\u093F\u0941",
         "e e A \u0915\u093F"},
        {R"({"type":"StripAccents"})", "\uFB01", "\uFB01"},
        {R"({"type":"Sequence","normalizers":[{"type":"NFD"},{"type":"StripAccents"},)"
         R"({"type":"NFC"}]})",
         "Cr\u00E8me br\u00FBl\u00E9e", "Creme brulee"},
        {R"({"type":"Sequence","normalizers":[]})", "As is", "As is"},
        // Members without a type are skipped.
        {R"({"type":"Sequence","normalizers":[{"prepend":"x"},{"type":"Lowercase"}]})", "AB", "ab"},
        // Precompiled rules.
        {R"({"type":"Precompiled","precompiled_charsmap":"ignored"})", "a\u200Bb", "a b"},
        {R"({"type":"Precompiled"})", "\uFF5E\uFF5Ex\uFF5E", "x"},
        {R"({"type":"Precompiled"})", "a\uFF5E\uFF5Eb\uFF5E\u2460", "a\uFF5Eb\uFF5E1"},
        {R"({"type":"Precompiled"})", "a\uFF5Eb", "a\uFF5Eb"},
        {R"({"type":"Precompiled"})", "\u2460", "1"},
        {R"({"type":"Precompiled"})", "a\u0001b\u007F\tc\u2581d\uFEFFe", "ab c d e"},
        {R"({"type":"Precompiled"})", "\uFF48\uFF49 ~", "hi ~"},
    };
    for (const Case& c : cases) {
        const auto n = normalizer(c.description);
        ASSERT_NE(n, nullptr) << c.description;
        EXPECT_EQ((*n)(c.text), c.normalized) << c.description << " / " << c.text;
    }
}

TEST(Normalizer, FactoryErrorsAndAbsentDescriptions) {
    EXPECT_EQ(NormalizerFactory::fromConfig(nullptr), nullptr);
    EXPECT_EQ(normalizer("null"), nullptr);
    EXPECT_EQ(normalizer(R"({"lowercase":true})"), nullptr);
    EXPECT_EQ(normalizer(R"({"type":5})"), nullptr);
    struct Case {
        const char* description;
        const char* message;
    } cases[] = {
        {R"({"type":""})", "Unsupported Normalizer type: "},
        {R"({"type":"nfc"})", "Unsupported Normalizer type: nfc"},
        {R"({"type":"Sequence"})", "No normalizers in Sequence"},
        {R"({"type":"Sequence","normalizers":[{"type":"Nope"}]})",
         "Unsupported Normalizer type: Nope"},
        {R"({"type":"Replace","pattern":{"Regex":"(a"},"content":""})",
         "Cannot build regexp from (a"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(thrownMessage([&] { normalizer(c.description); }), c.message) << c.description;
    }
}
