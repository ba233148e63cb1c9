#pragma once

// Reading a BPE tokenizer description (tokenizer.json) without turning its vocabulary and merges
// into configuration values: they are most of the file (tens of thousands of entries each), and
// going through one value per entry made them most of the time of loading a tokenizer.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "hub/Config.h"

namespace tokenizers {

// "model"."vocab" and "model"."merges" as the description lists them, every text in one arena.
struct BPEParts {
    std::string arena;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> texts;  // offset and length in arena
    // (text, id) in file order; an entry that comes again replaces the earlier one.
    std::vector<std::pair<std::uint32_t, int>> vocabulary;
    // The texts of each merge: its first text and how many follow, in rank order.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> merges;

    std::string_view text(std::uint32_t i) const {
        return std::string_view(arena).substr(texts[i].first, texts[i].second);
    }
};

// The description with its "model"."vocab" read into `parts` (integer ids only, as a BPE model
// takes them) and its "model"."merges" split into texts, both left in the Config as an empty
// object and an empty array. Nothing when the text is not valid JSON or not of the plain shape
// read here (one "model" object holding one "vocab" object of plain values and one "merges" list of
// texts or lists of texts, all valid UTF-8): the caller then reads it the ordinary way, which
// reports what is wrong with it.
std::optional<hub::Config> readWithoutBPETables(std::string_view json, BPEParts& parts);

}  // namespace tokenizers
