// The texts of the git workflow that need no Python.
#include "check.hpp"

#include "trelwick/message.hpp"

#include <cstring>
#include <string>

using namespace std::string_literals;

TEST(the_diff_is_carried_once_and_verbatim_between_the_rules_and_the_format_guide) {
    const std::string diff = "diff --git a/x b/x\n\0binary\xff\r\n-old\n+new"s;
    const std::string prompt = trelwick::commit_prompt(diff);
    const std::size_t at = prompt.find(diff);
    CHECK(at != std::string::npos && at > 0);
    CHECK_EQ(prompt.find(diff, at + 1), std::string::npos);
    CHECK_EQ(trelwick::commit_prompt("").size(), prompt.size() - diff.size());
    CHECK_EQ(prompt.substr(0, at) + prompt.substr(at + diff.size()), trelwick::commit_prompt(""));
}

TEST(a_web_page_is_told_by_its_first_hundred_characters) {
    CHECK(trelwick::is_html_page("<!DOCTYPE html>"));
    CHECK(!trelwick::is_html_page(" <!DOCTYPE html>"));
    CHECK(trelwick::is_html_page(std::string(95, 'x') + "<html"));
    CHECK(!trelwick::is_html_page(std::string(96, 'x') + "<html"));
    std::string wide;
    for (int i = 0; i < 95; ++i)
        wide += "\xe4\xb8\xad";  // three bytes each: 285 bytes before "<html"
    CHECK(trelwick::is_html_page(wide + "<html"));
    CHECK(!trelwick::is_html_page(wide + "x<html"));
    CHECK(!trelwick::is_html_page("<htm"));
}

TEST(the_first_push_rule_that_applies_gives_the_hint) {
    CHECK_EQ(std::strcmp(trelwick::push_hint("nothing to push; permission denied"), "git_push_nothing_to_push"), 0);
    CHECK_EQ(std::strcmp(trelwick::push_hint("fatal: authentication failed"), "git_push_auth_error"), 0);
    CHECK_EQ(std::strcmp(trelwick::push_hint("error: no such branch 'x'"), "git_push_branch_error"), 0);
    CHECK(trelwick::push_hint("Permission Denied") == nullptr);  // the caller lowers the text
}
