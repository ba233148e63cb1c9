#include "vevidocore/JSONReading.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <string>
#include <variant>

#include "TempFolder.h"
#include "ml/ModelBundle.h"
#include "ml/ModelError.h"
#include "ml/Safetensors.h"
#include "ml/whisper/WhisperHyperParameters.h"
#include "ml/whisper/WhisperKernelError.h"

namespace {

using vevidocore::json::Number;

// Spellings that drove the reader's own full-precision conversion into undefined behaviour, or
// that sit at the edges of the integer and double ranges.
TEST(JSONReading, NumbersConvertExactlyWhateverTheirSpelling) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        const char* text;
        std::optional<Number> value;
    } cases[] = {
        {"0.0000000000000000000000000000e5", 0.0},
        {"-0.0000000000000000000000000000e-5", -0.0},
        {"0.00000000000000000000000000000000000000000000000000001e53", 1.0},
        {"1e-400", 0.0},
        {"-1e-400", -0.0},
        {"1e400", inf},
        {"4.9406564584124654e-324", std::numeric_limits<double>::denorm_min()},
        {"123456789012345678901234567890", 1.2345678901234568e29},
        {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
        {"18446744073709551615", std::numeric_limits<std::uint64_t>::max()},
        {"-18446744073709551615", -18446744073709551615.0},
        {"1.0", 1.0},
        {"-Infinity", -inf},
        {"12abc", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const std::optional<Number> value = vevidocore::json::convertNumber(c.text);
        ASSERT_EQ(value.has_value(), c.value.has_value());
        if (!value) {
            continue;
        }
        ASSERT_EQ(value->index(), c.value->index());
        if (const auto* d = std::get_if<double>(&*value)) {
            EXPECT_EQ(*d, std::get<double>(*c.value));
            EXPECT_EQ(std::signbit(*d), std::signbit(std::get<double>(*c.value)));
        } else {
            EXPECT_EQ(*value, *c.value);
        }
    }
}

TEST(JSONReading, DocumentsHoldTheConvertedNumbers) {
    rapidjson::Document document;
    ASSERT_FALSE(vevidocore::json::parse(
                     document, R"({"a":0.0000000000000000000000000000e5,"b":7,"c":-3,"d":1e-400})")
                     .IsError());
    EXPECT_TRUE(document["a"].IsDouble());
    EXPECT_EQ(document["a"].GetDouble(), 0.0);
    EXPECT_TRUE(document["b"].IsUint());
    EXPECT_EQ(document["b"].GetUint(), 7u);
    EXPECT_EQ(document["c"].GetInt(), -3);
    EXPECT_EQ(document["d"].GetDouble(), 0.0);

    const rapidjson::ParseResult broken = vevidocore::json::parse(document, R"({"a":1,})");
    EXPECT_TRUE(broken.IsError());
    EXPECT_TRUE(document.IsNull());
}

// Each reader of a file that comes with a model, fed the numbers above: a value or the reader's
// own error, never the JSON library's undefined behaviour (the sanitizer build checks).
TEST(JSONReading, ModelFilesWithHostileNumbersReadOrFailCleanly) {
    const std::string hostile = "0.0000000000000000000000000000e5";
    vevidocore::testing::TempFolder temp;

    std::ofstream(temp.path() / "model.json")
        << R"({"format":"quillora-model","version":)" + hostile + "}";
    EXPECT_THROW(ml::ModelBundle::read(temp.path()), ml::ModelError);

    const std::string header = R"({"__metadata__":{"format":"pt"},"w":{"dtype":"F32","shape":[)" +
                               hostile + R"(],"data_offsets":[0,)" + hostile + "]}}";
    std::string file(8, '\0');
    for (int i = 0; i < 8; ++i) {
        file[static_cast<std::size_t>(i)] = static_cast<char>((header.size() >> (8 * i)) & 0xff);
    }
    std::ofstream(temp.path() / "w.safetensors", std::ios::binary) << file + header;
    EXPECT_THROW(ml::SafetensorsFile(temp.path() / "w.safetensors"), ml::SafetensorsError);

    const auto parameters = ml::whisper::WhisperHyperParameters::fromJson(
        R"({"d_model":512,"encoder_layers":4,"encoder_attention_heads":8,"decoder_layers":4,)"
        R"("decoder_attention_heads":8,"num_mel_bins":80,"vocab_size":51864,)"
        R"("max_source_positions":1500,"max_target_positions":448,"init_std":)" +
        hostile + R"(,"dropout":1e-400})");
    EXPECT_EQ(parameters.dModel, 512u);
}

}  // namespace
