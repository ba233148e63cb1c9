#include "rararozuvu/models/Constants.h"

#include <utility>

#ifndef QUILLORA_HUB_ENDPOINT
#error "QUILLORA_HUB_ENDPOINT names the default hub endpoint"
#endif

namespace rararozuvu {

namespace {

// The Whisper vocabulary's languages in the order of its language tokens, then the aliases.
constexpr std::pair<std::string_view, std::string_view> languageTable[] = {
    {"english", "en"},        {"chinese", "zh"},     {"german", "de"},        {"spanish", "es"},
    {"russian", "ru"},        {"korean", "ko"},      {"french", "fr"},        {"japanese", "ja"},
    {"portuguese", "pt"},     {"turkish", "tr"},     {"polish", "pl"},        {"catalan", "ca"},
    {"dutch", "nl"},          {"arabic", "ar"},      {"swedish", "sv"},       {"italian", "it"},
    {"indonesian", "id"},     {"hindi", "hi"},       {"finnish", "fi"},       {"vietnamese", "vi"},
    {"hebrew", "he"},         {"ukrainian", "uk"},   {"greek", "el"},         {"malay", "ms"},
    {"czech", "cs"},          {"romanian", "ro"},    {"danish", "da"},        {"hungarian", "hu"},
    {"tamil", "ta"},          {"norwegian", "no"},   {"thai", "th"},          {"urdu", "ur"},
    {"croatian", "hr"},       {"bulgarian", "bg"},   {"lithuanian", "lt"},    {"latin", "la"},
    {"maori", "mi"},          {"malayalam", "ml"},   {"welsh", "cy"},         {"slovak", "sk"},
    {"telugu", "te"},         {"persian", "fa"},     {"latvian", "lv"},       {"bengali", "bn"},
    {"serbian", "sr"},        {"azerbaijani", "az"}, {"slovenian", "sl"},     {"kannada", "kn"},
    {"estonian", "et"},       {"macedonian", "mk"},  {"breton", "br"},        {"basque", "eu"},
    {"icelandic", "is"},      {"armenian", "hy"},    {"nepali", "ne"},        {"mongolian", "mn"},
    {"bosnian", "bs"},        {"kazakh", "kk"},      {"albanian", "sq"},      {"swahili", "sw"},
    {"galician", "gl"},       {"marathi", "mr"},     {"punjabi", "pa"},       {"sinhala", "si"},
    {"khmer", "km"},          {"shona", "sn"},       {"yoruba", "yo"},        {"somali", "so"},
    {"afrikaans", "af"},      {"occitan", "oc"},     {"georgian", "ka"},      {"belarusian", "be"},
    {"tajik", "tg"},          {"sindhi", "sd"},      {"gujarati", "gu"},      {"amharic", "am"},
    {"yiddish", "yi"},        {"lao", "lo"},         {"uzbek", "uz"},         {"faroese", "fo"},
    {"haitian creole", "ht"}, {"pashto", "ps"},      {"turkmen", "tk"},       {"nynorsk", "nn"},
    {"maltese", "mt"},        {"sanskrit", "sa"},    {"luxembourgish", "lb"}, {"myanmar", "my"},
    {"tibetan", "bo"},        {"tagalog", "tl"},     {"malagasy", "mg"},      {"assamese", "as"},
    {"tatar", "tt"},          {"hawaiian", "haw"},   {"lingala", "ln"},       {"hausa", "ha"},
    {"bashkir", "ba"},        {"javanese", "jw"},    {"sundanese", "su"},     {"cantonese", "yue"},
    {"burmese", "my"},        {"valencian", "ca"},   {"flemish", "nl"},       {"haitian", "ht"},
    {"letzeburgesch", "lb"},  {"pushto", "ps"},      {"panjabi", "pa"},       {"moldavian", "ro"},
    {"moldovan", "ro"},       {"sinhalese", "si"},   {"castilian", "es"},     {"mandarin", "zh"},
};
static_assert(std::size(languageTable) == 112);

DeviceSupport row(std::string chips, std::vector<std::string> identifiers, std::string defaultModel,
                  std::vector<std::string> supported) {
    return DeviceSupport{std::move(chips), std::move(identifiers),
                         ModelSupport{std::move(defaultModel), std::move(supported), {}}};
}

ModelSupportConfig buildFallback() {
    const std::vector<std::string> phoneModels = {
        "openai_whisper-tiny",
        "openai_whisper-tiny.en",
        "openai_whisper-base",
        "openai_whisper-base.en",
        "openai_whisper-small",
        "openai_whisper-small.en",
        "openai_whisper-large-v2_949MB",
        "openai_whisper-large-v2_turbo_955MB",
        "openai_whisper-large-v3_947MB",
        "openai_whisper-large-v3_turbo_954MB",
        "distil-whisper_distil-large-v3_594MB",
        "distil-whisper_distil-large-v3_turbo_600MB",
        "openai_whisper-large-v3-v20240930_626MB",
        "openai_whisper-large-v3-v20240930_turbo_632MB",
    };
    std::vector<DeviceSupport> rows;
    rows.push_back(row("A12, A13, S9, S10",
                       {"iPhone11", "iPhone12", "iPad12,1", "iPad12,2", "Watch7", "Watch8"},
                       "openai_whisper-tiny",
                       {"openai_whisper-base", "openai_whisper-base.en", "openai_whisper-tiny",
                        "openai_whisper-tiny.en"}));
    rows.push_back(
        row("A16, A17 Pro, A18",
            {"iPhone15", "iPhone16", "iPhone17", "iPad15,7", "iPad15,8", "iPad16,1", "iPad16,2"},
            "openai_whisper-base", phoneModels));
    rows.push_back(row(
        "M1",
        {"MacBookPro17,1", "MacBookPro18,1", "MacBookPro18,2", "MacBookPro18,3", "MacBookPro18,4",
         "MacBookAir10,1", "Macmini9,1",     "iMac21,1",       "iMac21,2",       "Mac13",
         "iPad13,4",       "iPad13,5",       "iPad13,6",       "iPad13,7",       "iPad13,8",
         "iPad13,9",       "iPad13,10",      "iPad13,11",      "iPad13,16",      "iPad13,17"},
        "openai_whisper-large-v3-v20240930_626MB",
        {"openai_whisper-tiny", "openai_whisper-tiny.en", "openai_whisper-base",
         "openai_whisper-base.en", "openai_whisper-small", "openai_whisper-small.en",
         "openai_whisper-large-v2", "openai_whisper-large-v2_949MB", "openai_whisper-large-v3",
         "openai_whisper-large-v3_947MB", "distil-whisper_distil-large-v3",
         "distil-whisper_distil-large-v3_594MB", "openai_whisper-large-v3-v20240930_626MB"}));
    rows.push_back(row("M2, M3, M4",
                       {"Mac14", "Mac15", "Mac16", "iPad14,3", "iPad14,4", "iPad14,5", "iPad14,6",
                        "iPad14,8", "iPad14,9", "iPad14,10", "iPad14,11", "iPad15", "iPad16"},
                       "openai_whisper-large-v3-v20240930",
                       {"openai_whisper-tiny",
                        "openai_whisper-tiny.en",
                        "openai_whisper-base",
                        "openai_whisper-base.en",
                        "openai_whisper-small",
                        "openai_whisper-small.en",
                        "openai_whisper-large-v2",
                        "openai_whisper-large-v2_949MB",
                        "openai_whisper-large-v2_turbo",
                        "openai_whisper-large-v2_turbo_955MB",
                        "openai_whisper-large-v3",
                        "openai_whisper-large-v3_947MB",
                        "openai_whisper-large-v3_turbo",
                        "openai_whisper-large-v3_turbo_954MB",
                        "distil-whisper_distil-large-v3",
                        "distil-whisper_distil-large-v3_594MB",
                        "distil-whisper_distil-large-v3_turbo",
                        "distil-whisper_distil-large-v3_turbo_600MB",
                        "openai_whisper-large-v3-v20240930",
                        "openai_whisper-large-v3-v20240930_turbo",
                        "openai_whisper-large-v3-v20240930_626MB",
                        "openai_whisper-large-v3-v20240930_turbo_632MB"}));
    rows.push_back(
        row("A14", {"iPhone13", "iPad13,1", "iPad13,2", "iPad13,18", "iPad13,19"},
            "openai_whisper-base",
            {"openai_whisper-tiny", "openai_whisper-tiny.en", "openai_whisper-base",
             "openai_whisper-base.en", "openai_whisper-small", "openai_whisper-small.en"}));
    rows.push_back(
        row("A15", {"iPhone14", "iPad14,1", "iPad14,2"}, "openai_whisper-base", phoneModels));
    // The built-in table is the fallback itself: nothing to merge it with.
    return ModelSupportConfig("rararozuvu-coreml-fallback", "0.4", std::move(rows),
                              /*includeFallback=*/false);
}

}  // namespace

const std::map<std::string, std::string>& Constants::languages() {
    static const std::map<std::string, std::string> table = [] {
        std::map<std::string, std::string> map;
        for (const auto& [name, code] : languageTable) {
            map.emplace(name, code);
        }
        return map;
    }();
    return table;
}

const std::set<std::string>& Constants::languageCodes() {
    static const std::set<std::string> codes = [] {
        std::set<std::string> set;
        for (const auto& [name, code] : languageTable) {
            set.emplace(code);
        }
        return set;
    }();
    return codes;
}

std::string_view Constants::defaultRemoteEndpoint() {
    return QUILLORA_HUB_ENDPOINT;
}

const ModelSupportConfig& Constants::fallbackModelSupportConfig() {
    static const ModelSupportConfig config = buildFallback();
    return config;
}

const std::vector<std::string>& Constants::knownModels() {
    return fallbackModelSupportConfig().knownModels;
}

}  // namespace rararozuvu
