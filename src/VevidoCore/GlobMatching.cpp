#include "vevidocore/GlobMatching.h"

#include <fnmatch.h>

namespace vevidocore {

std::vector<std::string> matching(const std::vector<std::string>& texts, const std::string& glob) {
    std::vector<std::string> matches;
    for (const auto& text : texts) {
        if (fnmatch(glob.c_str(), text.c_str(), 0) == 0) {
            matches.push_back(text);
        }
    }
    return matches;
}

}  // namespace vevidocore
