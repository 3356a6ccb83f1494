// The line engine of comment injection, in plain C++.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace osmeran {

// `content` with `comment` put on line `line_num` (counted from 1) in the
// line-comment syntax that `prefix` opens: after the code of the line,
// replacing everything from the first `prefix` on (also inside a string), or
// alone on a blank line. Line ends must already be "\n". The line always ends
// with "\n" afterwards; no other line changes. Nothing when the text has no
// such line, or when the comment (trimmed) would break its line in two.
std::optional<std::string> with_comment(std::string_view content, long long line_num, std::string_view comment,
                                        std::string_view prefix);

}  // namespace osmeran
