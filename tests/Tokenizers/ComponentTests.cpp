#include <gtest/gtest.h>

#include "TestSupport.h"
#include "tokenizers/ByteTables.h"
#include "tokenizers/Decoder.h"
#include "tokenizers/PostProcessor.h"
#include "tokenizers/PreTokenizer.h"
#include "tokenizers/StringSplitting.h"
#include "tokenizers/Utf8.h"

using namespace tokenizers;
using tokenizers::testing::json;
using tokenizers::testing::thrownMessage;
using Strings = std::vector<std::string>;

namespace {

std::unique_ptr<PreTokenizer> preTokenizer(std::string_view description) {
    const hub::Config c = json(description);
    return PreTokenizerFactory::fromConfig(&c);
}

std::unique_ptr<Decoder> decoder(std::string_view description,
                                 const std::unordered_set<std::string>* added = nullptr) {
    const hub::Config c = json(description);
    return DecoderFactory::fromConfig(&c, added);
}

std::unique_ptr<PostProcessor> postProcessor(std::string_view description) {
    const hub::Config c = json(description);
    return PostProcessorFactory::fromConfig(&c);
}

// The byte-alphabet form of a text.
std::string alphabet(std::string_view text) {
    std::string out;
    for (char c : text)
        out += byteEncoder()[static_cast<unsigned char>(c)];
    return out;
}

}  // namespace

TEST(PreTokenizer, KindsOnTheirEdgeCases) {
    const PreTokenizerOptions first{PreTokenizerOption::firstSection};
    const PreTokenizerOptions later{};
    struct Case {
        const char* description;
        std::string text;
        PreTokenizerOptions options;
        Strings pieces;
    } cases[] = {
        {R"({"type":"ByteLevel"})", "Hello world's", later, {"Hello", alphabet(" world"), "'s"}},
        {R"({"type":"ByteLevel"})", "a  b", later, {"a", alphabet(" "), alphabet(" b")}},
        {R"({"type":"ByteLevel","add_prefix_space":true})",
         "Hello world",
         later,
         {alphabet(" Hello"), alphabet(" world")}},
        // One space in front of the text only, never in front of later pieces.
        {R"({"type":"ByteLevel","add_prefix_space":true})",
         "a-b c",
         later,
         {alphabet(" a"), "-", "b", alphabet(" c")}},
        {R"({"type":"ByteLevel","add_prefix_space":true})", " a", later, {alphabet(" a")}},
        {R"({"type":"ByteLevel","add_prefix_space":true})", "", later, {}},
        {R"({"type":"ByteLevel","add_prefix_space":true,"use_regex":false})",
         "Hello world",
         later,
         {alphabet(" Hello world")}},
        {R"({"type":"ByteLevel"})", "", later, {}},
        {R"({"type":"ByteLevel","use_regex":false})", "", later, {""}},
        {R"({"type":"ByteLevel"})", "\u00E9\n", later, {"\u00C3\u00A9", "\u010A"}},
        {R"({"type":"Digits"})", "abc123", later, {"abc", "123"}},
        {R"({"type":"Digits","individual_digits":true})", "abc123", later, {"abc", "1", "2", "3"}},
        {R"({"type":"Whitespace"})", "  a b ", later, {"a", "b"}},
        {R"({"type":"WhitespaceSplit"})", "  a b ", later, {"a", "b"}},
        {R"({"type":"BertPreTokenizer"})", "Hello, world!", later, {"Hello", ",", "world", "!"}},
        {R"({"type":"Punctuation"})", "Hello, world!", later, {"Hello", ",", " world", "!"}},
        {R"({"type":"Split","pattern":{"String":"-"}})", "a-b", later, {"a", "-", "b"}},
        {R"({"type":"Split","pattern":{"String":"-"},"invert":true})", "a-b", later, {"a", "b"}},
        {R"({"type":"Split","pattern":{"Regex":"-"},"invert":true})",
         "a-b",
         later,
         {"a", "-", "b"}},
        {R"({"type":"Split","pattern":{"Regex":"("}})", "a-b", later, {"a-b"}},
        {R"({"type":"Split"})", "a-b", later, {"a-b"}},
        {R"({"type":"Metaspace","replacement":"▁","prepend_scheme":"always"})",
         "Hey friend",
         later,
         {"▁Hey", "▁friend"}},
        {R"({"type":"Metaspace","replacement":"▁","prepend_scheme":"always"})",
         "▁Hey",
         later,
         {"▁Hey"}},
        {R"({"type":"Metaspace","replacement":"▁","prepend_scheme":"first"})",
         "Hey friend",
         later,
         {"Hey", "▁friend"}},
        {R"({"type":"Metaspace","replacement":"▁","prepend_scheme":"first"})",
         "Hey friend",
         first,
         {"▁Hey", "▁friend"}},
        {R"({"type":"Metaspace","replacement":"▁","add_prefix_space":false})",
         "Hey friend",
         first,
         {"Hey", "▁friend"}},
        {R"({"type":"Metaspace","replacement":"▁","prepend_scheme":"sometimes"})",
         "Hey",
         later,
         {"▁Hey"}},
        {R"({"type":"Metaspace","replacement":"▁","str_rep":"__"})", "a b", later, {"__a__b"}},
        {R"({"type":"Sequence","pretokenizers":[{"type":"Digits"},{"type":"ByteLevel"}]})",
         "ab 12",
         later,
         {"ab", alphabet(" "), "12"}},
        {R"({"type":"Sequence","pretokenizers":[{"no_type":1},{"type":"Whitespace"}]})",
         " a b",
         later,
         {"a", "b"}},
        {R"({"type":"Sequence","pretokenizers":[]})", "a b", later, {"a b"}},
    };
    for (const Case& c : cases) {
        const auto p = preTokenizer(c.description);
        ASSERT_TRUE(p) << c.description;
        EXPECT_EQ(p->preTokenize(std::string_view(c.text), c.options), c.pieces)
            << c.description << " on " << c.text;
    }
}

TEST(PreTokenizer, SplittersWithoutTheRegexEngineFindWhatItFinds) {
    // Every white-space code point and some that are easily mistaken for one.
    std::string text = "a";
    for (char32_t c : {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,   0xA0,
                       0x1680, 0x2000, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000,
                       0x1C,   0x1F,   0x180E, 0x200B, 0x2060, 0xFEFF, 0x2581}) {
        utf8::append(text, c);
        text += "b";
        utf8::append(text, c);
        utf8::append(text, c);
    }
    const auto whitespace = preTokenizer(R"({"type":"WhitespaceSplit"})");
    Strings expected;
    for (const TextRange& r : Regex::compile(R"(\S+)")->ranges(text))
        expected.emplace_back(r.of(text));
    EXPECT_EQ(whitespace->preTokenize(std::string_view(text), {}), expected);

    // Punctuation, ASCII symbols and symbols that are not punctuation.
    text += "x!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~\u00A1\u00A9\u00AB\u2014\uFE4F\U0001F600y";
    text += "\u0E5A\u3002z";
    const std::string p = R"(\p{P}\u0021-\u002F\u003A-\u0040\u005B-\u0060\u007B-\u007E)";
    const auto bert = preTokenizer(R"({"type":"BertPreTokenizer"})");
    expected.clear();
    for (const TextRange& r : Regex::compile(R"([^\s)" + p + "]+|[" + p + "]")->ranges(text))
        expected.emplace_back(r.of(text));
    EXPECT_EQ(bert->preTokenize(std::string_view(text), {}), expected);

    const auto metaspace =
        preTokenizer(R"({"type":"Metaspace","replacement":"▁","prepend_scheme":"never"})");
    EXPECT_EQ(
        metaspace->preTokenize(std::string_view(text), {}),
        split(replacingOccurrences(text, " ", "▁"), SearchPattern::regex(*Regex::compile("▁")),
              SplitDelimiterBehavior::mergedWithNext));
}

TEST(PreTokenizer, FactoryRejectsWhatItCannotBuild) {
    EXPECT_FALSE(PreTokenizerFactory::fromConfig(nullptr));
    EXPECT_FALSE(preTokenizer(R"({"kind":"ByteLevel"})"));
    EXPECT_FALSE(preTokenizer(R"({"type":3})"));
    EXPECT_FALSE(preTokenizer("null"));
    struct Case {
        const char* description;
        const char* message;
    } cases[] = {
        {R"({"type":""})", "Unsupported PreTokenizer type: "},
        {R"({"type":"bytelevel"})", "Unsupported PreTokenizer type: bytelevel"},
        {R"({"type":"Sequence"})", "No pretokenizers in Sequence"},
        {R"({"type":"Sequence","pretokenizers":[{"type":"Nope"}]})",
         "Unsupported PreTokenizer type: Nope"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(thrownMessage([&] { preTokenizer(c.description); }), c.message);
    }
}

TEST(Decoder, KindsOnTheirEdgeCases) {
    const std::unordered_set<std::string> added{"<|x|>"};
    struct Case {
        const char* description;
        Strings tokens;
        Strings decoded;
        const std::unordered_set<std::string>* added = nullptr;
    } cases[] = {
        {R"({"type":"ByteLevel"})",
         {"Hel", "lo", "<|x|>", "\u0120world"},
         {"Hello", "<|x|>", " world"},
         &added},
        {R"({"type":"ByteLevel"})", {"Hel", "lo", "<|x|>", "\u0120world"}, {"Hello<|x|> world"}},
        // é is C3 A9: cut after C3 it is incomplete, across two tokens of one run it is whole.
        {R"({"type":"ByteLevel"})", {"a\u00C3"}, {"a\uFFFD"}},
        {R"({"type":"ByteLevel"})", {"a\u00C3", "\u00A9"}, {"a\u00E9"}},
        // E2 82 is one maximal subpart: one U+FFFD; E2 then "A" is one, then the letter.
        {R"({"type":"ByteLevel"})", {"\u00E2\u0124"}, {"\uFFFD"}},
        {R"({"type":"ByteLevel"})", {"\u00E2A", "\u00FF"}, {"\uFFFDA\uFFFD"}},
        {R"({"type":"ByteLevel"})", {"\u4E2D"}, {"\u4E2D"}},  // outside the alphabet: kept
        {R"({"type":"ByteFallback"})", {"<0xE2>", "<0x82>", "<0xAC>"}, {"\u20AC"}},
        {R"({"type":"ByteFallback"})", {"a", "<0x41>", "b"}, {"a", "A", "b"}},
        {R"({"type":"ByteFallback"})", {"<0xFF>"}, {"\uFFFD"}},
        {R"({"type":"ByteFallback"})", {"<0xZZ>", "<0x414>"}, {"<0xZZ>", "<0x414>"}},
        {R"({"type":"Fuse"})", {}, {""}},
        {R"({"type":"Fuse"})", {"a", "b"}, {"ab"}},
        {R"({"type":"Strip","content":" ","start":1,"stop":0})", {"  a "}, {" a "}},
        {R"({"type":"Strip","content":" ","start":5,"stop":0})", {"  a"}, {"a"}},
        {R"({"type":"Strip","content":" ","start":0,"stop":2})", {"a   ", ""}, {"a ", ""}},
        {R"({"type":"Metaspace"})", {"a_b", "▁c"}, {"a b", "▁c"}},
        {R"({"type":"Metaspace","replacement":"▁","add_prefix_space":true})",
         {"▁Hello", "▁world"},
         {"Hello", " world"}},
        {R"({"type":"WordPiece","prefix":"##","cleanup":true})",
         {"I", "do", "not", "like", "it", "!"},
         {"I", " do", " not", " like", " it", "!"}},
        {R"({"type":"WordPiece","prefix":"##","cleanup":true})",
         {"un", "##aff", "##able"},
         {"un", "aff", "able"}},
        {R"({"type":"WordPiece","prefix":"##"})", {"a", "!"}, {"a", " !"}},
        {R"({"type":"Replace","pattern":{"String":"▁"},"content":" "})", {"▁a▁b"}, {" a b"}},
        {R"j({"type":"Replace","pattern":{"Regex":"(a)(b)"},"content":"$2$1"})j",
         {"abab"},
         {"baba"}},
        {R"({"type":"Replace","pattern":{"String":"a"}})", {"a"}, {"a"}},
        {R"({"type":"Sequence","decoders":[{"foo":1},{"type":"Fuse"}]})", {"a", "b"}, {"ab"}},
        {R"({"type":"Sequence","decoders":[]})", {"a", "b"}, {"a", "b"}},
    };
    for (const Case& c : cases) {
        const auto d = decoder(c.description, c.added);
        ASSERT_TRUE(d) << c.description;
        EXPECT_EQ(d->decode(c.tokens), c.decoded) << c.description;
    }
}

TEST(Decoder, FactoryRejectsWhatItCannotBuild) {
    EXPECT_FALSE(decoder(R"({"type":7})"));
    EXPECT_FALSE(DecoderFactory::fromConfig(nullptr));
    struct Case {
        const char* description;
        const char* message;
    } cases[] = {
        {R"({"type":""})", "Unsupported Decoder type: "},
        {R"({"type":"bytelevel"})", "Unsupported Decoder type: bytelevel"},
        {R"({"type":"Sequence","decoders":{}})", "No decoders in Sequence"},
        {R"({"type":"WordPiece"})", "Missing `prefix` configuration for WordPieceDecoder."},
        {R"({"type":"Strip","start":1,"stop":0})",
         "Incorrect StripDecoder configuration: can't parse `content`."},
        {R"({"type":"Strip","content":" ","start":1.0,"stop":0})",
         "Incorrect StripDecoder configuration: can't parse `start`."},
        {R"({"type":"Strip","content":" ","start":1,"stop":"0"})",
         "Incorrect StripDecoder configuration: can't parse `stop`."},
        {R"({"type":"Replace","pattern":{"Regex":"(("},"content":""})",
         "Cannot build regexp from (("},
    };
    for (const Case& c : cases)
        EXPECT_EQ(thrownMessage([&] { decoder(c.description); }), c.message);
}

TEST(PostProcessor, KindsOnTheirEdgeCases) {
    const char* bosEos =
        R"({"type":"TemplateProcessing",
            "single":[{"SpecialToken":{"id":"<s>","type_id":0}},{"Sequence":{"id":"A"}},
                      {"SpecialToken":{"id":"</s>"}},{"Sequence":{"id":"C"}},{"Other":{}}],
            "pair":[{"Sequence":{"id":"A"}},{"SpecialToken":{"id":"<sep>"}},{"Sequence":{"id":"B"}}]})";
    const char* bert = R"({"type":"BertProcessing","cls":["[CLS]",101],"sep":["[SEP]",102]})";
    const char* roberta = R"({"type":"RobertaProcessing","cls":["<s>",0],"sep":["</s>",2]})";
    const char* robertaNoPrefix =
        R"({"type":"RobertaProcessing","cls":["<s>",0],"sep":["</s>",2],"add_prefix_space":false})";
    struct Case {
        const char* description;
        Strings tokens;
        std::optional<Strings> pair;
        bool addSpecialTokens;
        Strings processed;
    } cases[] = {
        {bosEos, {"a", "b"}, std::nullopt, true, {"<s>", "a", "b", "</s>"}},
        {bosEos, {"a", "b"}, std::nullopt, false, {"a", "b"}},
        {bosEos, {"a"}, Strings{}, true, {"a", "<sep>"}},
        {bosEos, {"a"}, Strings{"b"}, false, {"a", "b"}},
        {bert, {"a"}, std::nullopt, true, {"[CLS]", "a", "[SEP]"}},
        {bert, {"a"}, Strings{"b"}, true, {"[CLS]", "a", "[SEP]", "b", "[SEP]"}},
        {bert, {"a"}, Strings{}, true, {"[CLS]", "a", "[SEP]"}},
        {bert, {"a"}, Strings{"b"}, false, {"a", "b"}},
        {roberta, {"a"}, Strings{"b"}, true, {"<s>", "a", "</s>", "</s>", "b", "</s>"}},
        {roberta,
         {"   x  ", "x", "  ", " ", "\u3000y"},
         std::nullopt,
         false,
         {" x ", "x", "", " ", "\u3000y"}},
        {robertaNoPrefix, {" \tx\u00A0 ", "\ny"}, std::nullopt, false, {"x", "\ny"}},
        {R"({"type":"ByteLevel"})", {"a"}, Strings{"b"}, true, {"a"}},
        {R"({"type":"Sequence","processors":[{"type":"ByteLevel"},)"
         R"({"type":"TemplateProcessing","single":[{"Sequence":{"id":"A"}},{"SpecialToken":{"id":"!"}}],)"
         R"("pair":[{"Sequence":{"id":"B"}}]}]})",
         {"a"},
         Strings{"b"},
         true,
         {"a", "!"}},
        {R"({"type":"Sequence","processors":[]})", {"a"}, Strings{"b"}, true, {"a"}},
    };
    for (const Case& c : cases) {
        const auto p = postProcessor(c.description);
        ASSERT_TRUE(p) << c.description;
        EXPECT_EQ(p->postProcess(c.tokens, c.pair, c.addSpecialTokens), c.processed)
            << c.description;
    }
}

TEST(PostProcessor, FactoryRejectsWhatItCannotBuild) {
    EXPECT_FALSE(postProcessor("null"));
    EXPECT_FALSE(postProcessor(R"({"type":null})"));
    struct Case {
        const char* description;
        const char* message;
    } cases[] = {
        {R"({"type":""})", "Unsupported PostProcessor type: "},
        {R"({"type":"Template"})", "Unsupported PostProcessor type: Template"},
        {R"({"type":"TemplateProcessing","pair":[]})", "Missing `single` processor configuration"},
        {R"({"type":"TemplateProcessing","single":[]})", "Missing `pair` processor configuration"},
        {R"({"type":"BertProcessing","sep":"[SEP]","cls":["[CLS]",1]})",
         "Missing `sep` processor configuration"},
        {R"({"type":"RobertaProcessing","sep":["</s>",-1],"cls":["<s>",0]})",
         "Missing `sep` processor configuration"},
        {R"({"type":"RobertaProcessing","sep":["</s>",2]})",
         "Missing `cls` processor configuration"},
        {R"({"type":"Sequence"})", "Missing `processors` configuration"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(thrownMessage([&] { postProcessor(c.description); }), c.message);
    }
}
