// The language tables that extraction and injection share: they must agree
// with each other, so that what injection writes is what extraction finds.
#include "check.hpp"

#include "nestrel/engine.hpp"
#include "orvo/languages.hpp"

#include <set>
#include <string>
#include <string_view>

using namespace std::string_literals;

TEST(every_suffix_has_a_language_row_and_every_language_with_a_prefix_a_comment_syntax) {
    std::set<std::string> suffixes;
    for (const orvo::SuffixRow &row : orvo::SUFFIX_ROWS) {
        suffixes.insert(row.suffix);
        CHECK(std::string_view(row.suffix).starts_with('.'));
        CHECK(nestrel::patterns_of(row.language) != nullptr || row.language == "r"s);
    }
    CHECK_EQ(suffixes.size(), 59u);
    std::size_t prefixed = 0;
    for (const orvo::LanguageRow &row : orvo::LANGUAGE_ROWS) {
        CHECK(orvo::line_prefix(row.language) == row.line_prefix);
        if (!row.line_prefix) {
            CHECK(orvo::comment_syntax(row.language) == nullptr);
            continue;
        }
        ++prefixed;
        const orvo::CommentSyntax *syntax = orvo::comment_syntax(row.language);
        CHECK(syntax != nullptr);
        if (!syntax)
            continue;
        // The prefix opens one of the language's comments, and a block
        // comment closes where one can open.
        const std::string_view prefix = row.line_prefix;
        CHECK(prefix == (syntax->line[0] ? syntax->line[0] : "") ||
              prefix == (syntax->line[1] ? syntax->line[1] : "") ||
              prefix == (syntax->block.open ? syntax->block.open : ""));
        CHECK_EQ(syntax->block.open == nullptr, syntax->block.close == nullptr);
    }
    CHECK_EQ(prefixed, 37u);
}

TEST(a_comment_written_with_a_languages_prefix_is_one_that_extraction_finds) {
    for (const orvo::CommentSyntax &syntax : orvo::COMMENT_SYNTAX) {
        const std::string prefix = orvo::line_prefix(syntax.language);
        const bool block = syntax.block.open && prefix == syntax.block.open;
        const std::string content = "x = 1 " + prefix + " note" + (block ? " "s + syntax.block.close : "") + "\n";
        nestrel::Comments comments;
        nestrel::extract(*nestrel::patterns_of(syntax.language), content, comments);
        CHECK_EQ(comments.items.size(), 1u);
        if (comments.items.size() == 1)
            CHECK_EQ(std::string(comments.text(comments.items[0])) + " in " + syntax.language,
                     "note in "s + syntax.language);
    }
}
