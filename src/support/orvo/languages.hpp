// The languages whose comments the project reads and writes, in one table so
// that comment extraction and comment injection cannot drift apart: a file
// suffix gives a language; a language gives its comment patterns (for
// extraction) and the text that opens a line comment (for injection).
//
// The comment document (.orvo/comments.json), which extraction writes and
// injection reads, is a JSON array of records, one per source file:
//   {"file": <path relative to the working directory>,
//    "comments": [{"line": <"7", or "3-5" for a comment over lines 3 to 5>,
//                  "content": <the comment's text, trimmed>}, ...]}
// Line comments come first (pattern by pattern, line by line), then block
// comments; injection writes back only entries whose "line" is one number.
#pragma once

#include <string_view>

namespace orvo {

struct SuffixRow {
    const char *suffix;  // lower case, with its dot
    const char *language;
};

// Written as 60 pairs; ".nim" comes twice, so the table holds 59 suffixes.
extern const SuffixRow SUFFIX_ROWS[60];

struct LanguageRow {
    const char *language;
    bool has_single;
    bool single_is_text;    // the line patterns are given as a bare text, not a list
    const char *single[2];  // line-comment patterns; unused places hold nothing
    bool has_multi;
    const char *multi[2];     // block-comment patterns
    const char *line_prefix;  // what opens a line comment when injecting, or nothing
};

// 45 rows: every language of the suffix table except "r". 37 of them have a
// line prefix.
extern const LanguageRow LANGUAGE_ROWS[45];

// The line prefix of a language, or nothing.
const char *line_prefix(std::string_view language);

}  // namespace orvo
