// Builds a tokenizer from arbitrary tokenizer.json bytes (with a fixed configuration) and, when
// that succeeds, encodes and decodes a short text with it. Bad descriptions must fail with the
// library's errors, never crash.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "hub/YYJSONParser.h"
#include "tokenizers/AutoTokenizer.h"
#include "tokenizers/TokenizerError.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const hub::Config config = hub::YYJSONParser::parseToConfig(
        R"({"tokenizer_class":"GPT2Tokenizer","unk_token":"<unk>"})");
    try {
        const hub::Config description = hub::YYJSONParser::parseToConfig(
            std::string_view(reinterpret_cast<const char*>(data), size));
        const auto tokenizer = tokenizers::AutoTokenizer::from(config, description, false);
        const auto ids =
            tokenizer->encode("Hello w\xC3\xB6rld <|endoftext|>  12 \xF0\x9F\x98\x80!");
        (void)tokenizer->decode(ids);
        (void)tokenizer->decode(ids, true);
    } catch (const tokenizers::TokenizerError&) {
    } catch (const hub::YYJSONParser::ParseError&) {
    }
    return 0;
}
