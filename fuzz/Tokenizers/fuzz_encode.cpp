// Encodes arbitrary bytes with the GPT-2 tokenizer (loaded once) and decodes the result: no
// input may crash it, and decoding what was encoded gives the input back with ill-formed UTF-8
// replaced. The same bytes go through the WordPiece (BERT) and Unigram (T5) tokenizers, whose
// decoding folds text, so only their encoding and decoding must not fail.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>

#include "hub/YYJSONParser.h"
#include "tokenizers/AutoTokenizer.h"
#include "tokenizers/Utf8.h"

namespace {

const std::filesystem::path folder =
    std::filesystem::path(QUILLORA_SHARED_DIR) / "data" / "tokenizers";

const tokenizers::Tokenizer& gpt2() {
    static const auto tokenizer = tokenizers::AutoTokenizer::from(folder / "gpt2", true);
    return *tokenizer;
}

const tokenizers::Tokenizer& t5() {
    static const auto tokenizer = tokenizers::AutoTokenizer::from(folder / "t5-base", true);
    return *tokenizer;
}

const tokenizers::Tokenizer& bert() {
    static const auto tokenizer = [] {
        // The description names no class; the hub loader would supply this one.
        std::ifstream in(folder / "bert-base-uncased" / "tokenizer.json", std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        return tokenizers::AutoTokenizer::from(hub::Config{{"tokenizer_class", "BertTokenizer"}},
                                               hub::YYJSONParser::parseToConfig(bytes.str()), true);
    }();
    return *tokenizer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const tokenizers::Tokenizer& tokenizer = gpt2();
    const std::vector<int> ids = tokenizer.encode(text, false);
    const std::string decoded = tokenizer.decode(ids);
    // The clean-up of decoded text removes blanks before punctuation, so compare only texts it
    // leaves alone.
    const std::string expected = tokenizers::utf8::sanitized(text);
    if (expected.find(' ') == std::string::npos && decoded != expected)
        std::abort();
    for (const tokenizers::Tokenizer* folding : {&bert(), &t5()})
        folding->decode(folding->encode(text));
    return 0;
}
