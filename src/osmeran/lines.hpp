// The line engine of comment injection, in plain C++. Texts have "\n" line
// ends; `language` is a name of the language table ("" when none) and
// `prefix` the text that opens a line comment in it.
#pragma once

#include <nestrel/engine.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace osmeran {

// The comments that stand already. The extraction of the last text asked
// about is kept, so the entries of a file that none of them changes cost one
// extraction, however many there are.
class InPlace {
public:
    // Whether `text` (trimmed, as the comment document holds it) is one of the
    // comments that the extraction of the whole of `content` finds on line
    // `line_num` alone: such a comment is left as it stands.
    bool stands_on_line(std::string_view content, long long line_num, std::string_view text, std::string_view language);

private:
    bool known_ = false;
    std::string content_, language_;  // what `found_` was extracted from
    nestrel::Comments found_;
    std::vector<std::size_t> by_line_;  // the one-line comments of `found_`, by line
};

// Whether a comment text (trimmed) can go after `prefix` without ending its
// comment early or putting code on the line: no control character but the
// tab, no "*)" in a comment that "(*" opens, no final "\" in C and C++ (the
// next line would join the comment), no Java Unicode escape of a line break.
bool is_writable(std::string_view comment, std::string_view language, std::string_view prefix);

// `content` with `comment` put on line `line_num` (counted from 1) in the
// line-comment syntax that `prefix` opens. A line that holds the prefix keeps
// everything up to its first occurrence, the prefix and the blanks after it;
// only the text after them becomes the comment. A line without the prefix
// gets it after its code; a blank line gets it alone. The line always ends
// with "\n" afterwards; no other line changes. Nothing when the text has no
// such line, or when the comment (trimmed) would break its line in two or is
// not writable.
std::optional<std::string> with_comment(std::string_view content, long long line_num, std::string_view comment,
                                        std::string_view prefix, std::string_view language);

}  // namespace osmeran
