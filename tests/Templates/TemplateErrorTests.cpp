#include "templates/TemplateError.h"

#include <gtest/gtest.h>

namespace templates {
namespace {

TEST(TemplateErrorTest, DescriptionIsStagePrefixThenMessage) {
    const struct {
        TemplateError error;
        TemplateError::Case expectedCase;
        const char* description;
    } cases[] = {
        {TemplateError::lexer(""), TemplateError::Case::lexer, "Lexer error: "},
        {TemplateError::parser("Unclosed for loop"), TemplateError::Case::parser,
         "Parser error: Unclosed for loop"},
        {TemplateError::runtime("Parser error: x"), TemplateError::Case::runtime,
         "Runtime error: Parser error: x"},
        {TemplateError::syntax("bad"), TemplateError::Case::syntax, "Syntax error: bad"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.error.errorCase(), c.expectedCase);
        EXPECT_EQ(c.error.errorDescription(), c.description);
        EXPECT_STREQ(c.error.what(), c.description);
    }
    EXPECT_EQ(TemplateError::runtime("Parser error: x").message(), "Parser error: x");
}

TEST(TemplateErrorTest, CopiesKeepTheirOwnDescription) {
    std::exception_ptr thrown;
    try {
        throw TemplateError::parser("Unknown statement: endfor");
    } catch (...) {
        thrown = std::current_exception();
    }
    try {
        std::rethrow_exception(thrown);
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Parser error: Unknown statement: endfor");
    }
}

}  // namespace
}  // namespace templates
