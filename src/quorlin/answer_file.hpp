// The answer file: its name as the chat model proposes it, cleaned and kept
// in the directory it is saved in, a name that does not take a file of the
// user's own (looked for in the directory held open), and its content. Plain
// C++ (POSIX).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <sys/stat.h>

namespace quorlin {

// How every answer file begins: its heading "# AI Answer" and an empty line.
inline constexpr std::string_view answer_opening = "# AI Answer\n\n";
// The answer's first characters shown to the chat model for its file name.
inline constexpr std::size_t name_excerpt_length = 500;
inline constexpr std::string_view default_answer_name = "ai-answer.md";
// Printed when no usable name arrives, in every interface language.
inline constexpr std::string_view no_name_message = "生成文件名失败，使用默认文件名...";

// The proposed name trimmed and freed of fences as `without_fences` does,
// with ".md" appended unless it ends with ".md".
std::string cleaned_filename(std::string_view proposal);

// Whether a name stays in the directory it is saved in: no "/", no "\" and no
// line break.
bool is_plain_name(std::string_view name);

// "<name without .md>-<number>.md".
std::string numbered_name(std::string_view name, std::size_t number);

// A name to save an answer under.
struct AnswerName {
    std::string name;
    bool earlier = false;  // an earlier answer file has it; else nothing had it
    struct stat found {};  // the earlier answer file that was examined
};

// The name under which an answer is saved in the directory open at
// `directory` (names in file-system bytes): `name` itself when nothing of
// that name is there or it is an earlier answer file (a regular file, not a
// link, whose text begins with `answer_opening`), else the first of
// `numbered_name(name, 1)`, `(name, 2)`, ... that is. A name that cannot be
// tested is taken as free (writing to it then reports the failure).
AnswerName free_answer_name(int directory, const std::string &name);

// "# AI Answer", an empty line, the answer and a final line break.
std::string answer_file_text(std::string_view answer);

}  // namespace quorlin
