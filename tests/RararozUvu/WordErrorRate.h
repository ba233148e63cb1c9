#pragma once

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace rararozuvu::testing {

// Lower-case words of letters, digits and apostrophes.
inline std::vector<std::string> wordsOf(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    for (char c : text + " ") {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) || c == '\'') {
            word += static_cast<char>(std::tolower(u));
        } else if (!word.empty()) {
            words.push_back(std::move(word));
            word.clear();
        }
    }
    return words;
}

// Word-level edit distance: substitutions, insertions and deletions.
inline std::size_t wordEdits(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t up = row[j];
            row[j] =
                std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = up;
        }
    }
    return row[b.size()];
}

// The held-out word error rate, in percent, that a model's README states.
inline std::optional<double> heldOutErrorRate(const std::filesystem::path& readme) {
    std::ifstream in(readme);
    std::ostringstream text;
    text << in.rdbuf();
    const std::string contents = text.str();
    const std::regex rate(R"([Hh]eld[- ]out[^%\n]*?([0-9]+(?:\.[0-9]+)?)\s*%)");
    std::smatch match;
    if (!std::regex_search(contents, match, rate))
        return std::nullopt;
    return std::stod(match[1].str());
}

}  // namespace rararozuvu::testing
