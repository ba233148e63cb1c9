// Tables of template sources and the exact text each must render to.
#pragma once

#include <gtest/gtest.h>

#include <exception>
#include <initializer_list>
#include <string>

namespace templates {

struct Golden {
    const char* source;
    const char* expected;
};

// `render` maps a source to its text; a rendering that throws fails that case alone.
template <typename Render>
void expectGoldens(std::initializer_list<Golden> cases, const Render& render) {
    for (const Golden& c : cases) {
        try {
            EXPECT_EQ(render(std::string(c.source)), c.expected) << c.source;
        } catch (const std::exception& error) {
            ADD_FAILURE() << c.source << " failed: " << error.what();
        }
    }
}

}  // namespace templates
