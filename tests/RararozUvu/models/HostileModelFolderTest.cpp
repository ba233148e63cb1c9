#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "../PipelineFixtures.h"
#include "../SynthFixtures.h"
#include "TestHub.h"
#include "TestSupport.h"

namespace rararozuvu {
namespace {

using hub::testing::ScopedEnvironment;

namespace fs = std::filesystem;

std::string serialized(const rapidjson::Document& document) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    document.Accept(writer);
    return buffer.GetString();
}

// The tiny model's tokenizer.json changed by `edit`.
std::string editedTokenizer(const std::function<void(rapidjson::Document&)>& edit) {
    rapidjson::Document document;
    document.Parse(testing::fileText(testing::kTinyCheckpoint / "tokenizer.json").c_str());
    edit(document);
    return serialized(document);
}

// Added tokens without those whose text `drop` accepts.
void dropAddedTokens(rapidjson::Document& document,
                     const std::function<bool(std::string_view)>& drop) {
    rapidjson::Value& added = document["added_tokens"];
    for (auto token = added.Begin(); token != added.End();) {
        if (drop(token->GetObject()["content"].GetString())) {
            token = added.Erase(token);
        } else {
            ++token;
        }
    }
}

// A model folder the loader must refuse, and what its message must say.
struct HostileFolder {
    const char* name;
    // The tokenizer.json written into the folder.
    std::function<std::string()> tokenizer;
    // The decoder's key-value cache length (the converter's default when absent).
    std::optional<std::int64_t> decoderPositions;
    std::vector<std::string> said;
};

// Model folders whose files are well-formed but do not fit together, or do not parse: loading
// must fail at once with a message that names what is wrong, instead of decoding every window
// into nothing or fetching a tokenizer from the hub in place of a broken local one.
TEST(HostileModelFolder, IsRefusedAtLoadSayingWhatIsWrong) {
    const testing::ScratchFolder scratch;
    // A hub that would serve a good tokenizer: a broken local one must not be replaced by it.
    hub::testing::TestHub hub;
    for (const char* file : {"tokenizer.json", "tokenizer_config.json", "config.json"}) {
        hub.addFile(hub::Repo("openai/whisper-tiny.en"), file,
                    testing::fileText(testing::kTinyCheckpoint / file));
    }
    const ScopedEnvironment endpoint("HUB_ENDPOINT", hub.endpoint());

    const HostileFolder cases[] = {
        {"no control tokens",
         [] {
             return editedTokenizer([](rapidjson::Document& d) {
                 dropAddedTokens(d, [](std::string_view t) { return t != "<|endoftext|>"; });
             });
         },
         std::nullopt,
         {"<|startoftranscript|>, <|startofprev|>, <|notimestamps|>, <|nospeech|>"}},
        {"vocabulary cut short",
         [] {
             return editedTokenizer([](rapidjson::Document& d) {
                 rapidjson::Value& vocabulary = d["model"]["vocab"];
                 for (auto entry = vocabulary.MemberBegin(); entry != vocabulary.MemberEnd();) {
                     const int id = entry->value.GetInt();
                     if (id >= 1000 && id != 50256) {
                         entry = vocabulary.EraseMember(entry);
                     } else {
                         ++entry;
                     }
                 }
                 d["model"]["merges"].Clear();
             });
         },
         std::nullopt,
         {"vocabulary is cut short", "49256 of the 50256 text ids", "the first is 1000"}},
        {"another vocabulary's layout",
         [] {
             return testing::fileText(
                 testing::kShared / "data/tokenizers/whisper-small-multilingual-nb/tokenizer.json");
         },
         std::nullopt,
         {"the timestamps <|0.00|>..<|30.00|> (50364..51864) lie beyond the decoder's 51864 "
          "logits"}},
        {"decoder shorter than a window",
         [] { return testing::fileText(testing::kTinyCheckpoint / "tokenizer.json"); },
         100,
         {"TextDecoder.mlmodelc: the text decoder holds 100 token positions", "need 224"}},
        {"tokenizer.json that does not parse",
         [] { return std::string(R"({"model": {"type": "BPE", "vocab": {"a": 0)"); },
         std::nullopt,
         {"JSON parsing failed for", "tokenizer.json"}},
    };
    for (const HostileFolder& c : cases) {
        SCOPED_TRACE(c.name);
        std::string slug = c.name;
        std::replace(slug.begin(), slug.end(), ' ', '-');
        const fs::path folder = scratch.path() / slug;
        fs::create_directories(folder);
        fs::path stages = testing::tinyModelFolder();
        if (c.decoderPositions) {
            stages = scratch.path() / "short decoder";
            ml::WhisperConverter::convert(testing::kTinyCheckpoint, stages,
                                          {.kvCacheLength = *c.decoderPositions});
        }
        for (const char* stage : {"MelSpectrogram", "AudioEncoder", "TextDecoder"}) {
            const std::string bundle = std::string(stage) + ".mlmodelc";
            fs::create_directory_symlink(stages / bundle, folder / bundle);
        }
        fs::copy_file(testing::kTinyCheckpoint / "tokenizer_config.json",
                      folder / "tokenizer_config.json");
        testing::writeBytes((folder / "tokenizer.json").string(), c.tokenizer());

        const std::size_t requests = hub.requests().size();
        std::string message;
        try {
            RararozUvu::create(RararozUvuConfig{.modelFolder = folder.string(),
                                                .tokenizerFolder = scratch.path() / "hub",
                                                .verbose = false});
            ADD_FAILURE() << "the folder was loaded";
        } catch (const std::exception& e) {
            message = e.what();
        }
        for (const std::string& part : c.said)
            EXPECT_NE(message.find(part), std::string::npos) << message;
        EXPECT_NE(message.find(folder.string()), std::string::npos) << message;
        EXPECT_EQ(hub.requests().size(), requests) << "the hub was asked";
    }
}

}  // namespace
}  // namespace rararozuvu
