#include "message.hpp"

#include <orvo/text.hpp>

namespace trelwick {

namespace {

#include "commit_prompt.inc"

}  // namespace

std::string commit_prompt(std::string_view diff) {
    std::string prompt;
    prompt.reserve(HEADER.size() + CUSTOM_INSTRUCTIONS.size() + OUTPUT_RULES.size() + diff.size() +
                   FORMAT_GUIDE.size());
    prompt.append(HEADER).append(CUSTOM_INSTRUCTIONS).append(OUTPUT_RULES).append(diff).append(FORMAT_GUIDE);
    return prompt;
}

bool is_html_page(std::string_view answer) {
    return answer.starts_with("<!DOCTYPE html>") ||
           orvo::first_code_points(answer, 100).find("<html") != std::string_view::npos;
}

const char *push_hint(std::string_view lowered_error) {
    auto has = [&](std::string_view phrase) { return lowered_error.find(phrase) != std::string_view::npos; };
    if (has("nothing to push"))
        return "git_push_nothing_to_push";
    if (has("authentication failed") || has("permission denied"))
        return "git_push_auth_error";
    if (has("no such branch"))
        return "git_push_branch_error";
    return nullptr;
}

}  // namespace trelwick
