#pragma once

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <optional>
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

// The held-out word error rate, in percent, that a model's README states: the number before the
// first "%" of a line that speaks of held-out data. (No <regex>: GCC 12 warns inside it under
// the sanitizers.)
inline std::optional<double> heldOutErrorRate(const std::filesystem::path& readme) {
    std::ifstream in(readme);
    for (std::string line; std::getline(in, line);) {
        std::string lower = line;
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower.find("held-out") == std::string::npos &&
            lower.find("held out") == std::string::npos) {
            continue;
        }
        for (std::size_t percent = line.find('%'); percent != std::string::npos;
             percent = line.find('%', percent + 1)) {
            std::size_t end = percent;
            while (end > 0 && line[end - 1] == ' ')
                --end;
            std::size_t begin = end;
            while (begin > 0 && (std::isdigit(static_cast<unsigned char>(line[begin - 1])) ||
                                 line[begin - 1] == '.')) {
                --begin;
            }
            if (begin < end)
                return std::stod(line.substr(begin, end - begin));
        }
    }
    return std::nullopt;
}

}  // namespace rararozuvu::testing
