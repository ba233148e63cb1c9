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

// The word error rate, in percent, a model's README states for the developer recordings with the
// timestamp prompt: in the list item that speaks of developer recordings, the number before the
// "%" that "with the timestamp prompt" follows. (No <regex>: GCC 12 warns inside it under the
// sanitizers.)
inline std::optional<double> developerErrorRate(const std::filesystem::path& readme) {
    const auto lower = [](std::string text) {
        for (char& c : text)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    };
    std::ifstream in(readme);
    std::string item;
    bool inItem = false;
    for (std::string line; std::getline(in, line);) {
        const bool itemStart = line.starts_with("- ");
        if (inItem && (itemStart || line.empty()))
            break;
        if (itemStart && lower(line).find("developer recordings") != std::string::npos)
            inItem = true;
        if (inItem)
            item += line + " ";
    }
    const std::size_t phrase = item.find("% with the timestamp prompt");
    if (phrase == std::string::npos)
        return std::nullopt;
    std::size_t end = phrase;
    while (end > 0 && item[end - 1] == ' ')
        --end;
    std::size_t begin = end;
    while (begin > 0 &&
           (std::isdigit(static_cast<unsigned char>(item[begin - 1])) || item[begin - 1] == '.')) {
        --begin;
    }
    if (begin == end)
        return std::nullopt;
    return std::stod(item.substr(begin, end - begin));
}

}  // namespace rararozuvu::testing
