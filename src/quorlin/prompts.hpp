// The texts that prompt enhancement sends to the chat model and the rules
// applied to its answers, in plain C++. Texts are UTF-8 (a lone surrogate of a
// str in its three-byte form passes through unchanged).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorlin {

// ------------------------------------------------------------ file selection

// One entry of the file list as the chat model is shown it.
struct ListedFile {
    std::string path;
    std::vector<std::string> definitions, comments;
};

// Per entry "📄 " and its path, then "  ├─ 定义: " and the definitions joined
// by ", " and "  └─ 注释: " and the comments joined by " | ", each line only
// when its list is not empty; entries apart by an empty line.
std::string format_file_list(const std::vector<ListedFile> &files);

// The system message of the file selection, with the language line of
// Chinese or of English.
std::string selection_system_message(bool chinese);
std::string selection_user_message(std::string_view user_prompt, std::string_view file_list);

// A reply trimmed, without an opening fence line (when a line break follows
// the opening "```") and without everything from the last "```" on (when it
// ends with "```"), trimmed again.
std::string_view without_fences(std::string_view reply);

// -------------------------------------------------------------- mode request

// Per entry "## " + path + "\n```\n" + text + "\n```", joined by "\n".
std::string file_contents_block(const std::vector<std::pair<std::string, std::string>> &contents);

struct ModeRequest {
    std::string system, user;
    // The text shown by the loading animation (looked up as a key); empty in
    // the prompt branch, which shows the text of "quorlin_generating".
    std::string_view spinner;
};

// The messages of one request: the mode is compared exactly with "question",
// "question_concise", "diff_review", "diff_review_concise" and
// "code_search"; every other mode is the prompt branch, with the rules of
// the detailed prompt only for "detailed". The diff enters only the two
// review modes.
ModeRequest mode_request(std::string_view mode, bool chinese, std::string_view user_prompt, std::string_view tree,
                         std::string_view contents, std::string_view diff);

bool is_review_mode(std::string_view mode);

// ----------------------------------------------------------------- file name

std::string filename_system_message(bool chinese);
// The user message around the answer's first characters.
std::string filename_user_message(std::string_view excerpt);

}  // namespace quorlin
