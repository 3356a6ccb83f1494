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

// How comments are written in a language whose comments are written back
// (one with a line prefix): what opens and closes them, and what a comment
// text must keep clear of so that the language still reads the comment as
// it did. Internal to injection; not one of the tables that `Nestrel` shows.
struct BlockSyntax {
    const char *open;  // nothing where unused
    const char *close;
    bool nests;  // an opener inside the comment opens a nested one
};

enum Hazard : unsigned {
    SPLICED_LINES = 1u << 0,      // a line comment ending in "\" (or "??/") takes the next line in (C, C++)
    UNICODE_ESCAPES = 1u << 1,    // "\uXXXX" escapes are read before comments are (Java)
    CLOSE_TAG = 1u << 2,          // "?>" ends the code, also inside a line comment (PHP)
    DASH_OPERATORS = 1u << 3,     // dashes followed by a symbol character are an operator, not a comment
    LONG_BRACKETS = 1u << 4,      // "--[[" and "--[==[" open block comments (Lua)
    CONTINUATION_DOTS = 1u << 5,  // "..." at the end joins a line to the next (MATLAB)
    BRACE_PRAGMAS = 1u << 6,      // "{-#" opens a pragma, not a comment
    GO_DIRECTIVES = 1u << 7,      // "//go:", "// +build", "//line ", "//export " are read by the tools
    DOC_MARKERS = 1u << 8,        // "///", "//!", "/**", "/*!" make documentation, allowed in fewer places
    BLOCK_HINTS = 1u << 9,        // "/*+" and "/*!" are read by the database (hints, code)
    QUOTES_IN_BLOCKS = 1u << 10,  // a block comment's strings are read: a '"' opens one
    BLOCK_MARKS = 1u << 11,       // "%{" or "%}" alone on a line opens or closes a block; "%#" is a pragma
    HASH_ATTRIBUTES = 1u << 12,   // "#[" opens an attribute, not a comment
};

struct CommentSyntax {
    const char *language;
    const char *line[2];    // what opens a line comment; nothing where unused
    BlockSyntax block;      // a block comment that can open and close on one line
    unsigned hazards;
};

// 37 rows: the languages with a line prefix.
extern const CommentSyntax COMMENT_SYNTAX[37];

// The comment syntax of a language, or nothing.
const CommentSyntax *comment_syntax(std::string_view language);

}  // namespace orvo
