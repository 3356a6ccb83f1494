// The line engine of comment injection, in plain C++: the entries of one
// element of the comment document written into one file's content, each
// into the comment it names, so that the code around it stays as the
// language reads it.
//
// What the language reads comes from a reader of the language as byte spans
// of the content (comments, strings, output text, directives and syntax
// errors): `Spans`, asked for once per file and only where an entry changes
// something. Lines end with "\n", "\r\n" or "\r", each kept as it is.
#pragma once

#include <nestrel/engine.hpp>
#include <orvo/languages.hpp>

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace osmeran {

enum class SpanKind : unsigned char {
    comment,    // a comment, its delimiters included
    string,     // data: a string, character, raw, template or heredoc literal
    text,       // output rather than code (HTML around PHP, JSX text)
    directive,  // an instruction to a tool in a comment's clothes (a pragma)
    error,      // what the reader could not read (a syntax error, a missing token)
    macro,      // the body of a C macro, whose comments the reader does not read itself
};

struct Span {
    std::size_t start, end;  // byte offsets, end excluded
    SpanKind kind;
};

// The spans of a file's content sorted by start, or nothing where the
// language has no reader here.
using Spans = std::optional<std::vector<Span>>;

struct Entry {
    long long line;            // from 1
    std::string_view content;  // as the document holds it
    // Whether the entry may be lined up with the comments that extraction
    // finds on its line (false where it has no place among them).
    bool aligned = true;
};

enum class Outcome : unsigned char {
    unchanged,     // the comment already says it: nothing to write
    written,       // the comment now says it
    refused,       // it cannot be written without touching code
    empty,         // nothing is left to write once the prefix is off
    several_lines  // the text holds a line break
};

// The entries of one element, applied in order to `content` (valid UTF-8),
// each to the result of the one before.
//
// The k-th entry for a line goes with the k-th comment that the extraction
// of the original content finds on that line (where both counts agree), and
// its text into the first comment of the line that opens and closes on it
// ("real") which that comment's match covers or begins in; otherwise into the
// first real comment at or after the line's first `prefix`, else the line's
// last real comment. A text replaces the comment's text between its
// delimiters and the blanks beside them; a line without a real comment gets
// " " + prefix + " " + text after its code (trailing blanks dropped), or
// prefix + " " + text alone when blank. An entry that would put code on the
// line, end a comment or string elsewhere, or write into a line the reader
// did not understand, is refused and leaves the content as it was.
class Injection {
public:
    Injection(std::string_view content, std::string_view language, const orvo::CommentSyntax &syntax,
              std::string_view prefix, std::function<Spans()> read);

    std::vector<Outcome> apply(const std::vector<Entry> &entries);

    bool changed() const;
    // The content with every written entry.
    std::string result() const;

    struct Line {
        std::size_t start, end, next;  // its text, its line end, the next line's start
    };
    struct Local {  // a span as it lies on one line, in the line's offsets
        std::size_t start, end;
        SpanKind kind;
        bool opens, closes;  // it begins on this line; it ends on it
    };
    struct Found {  // a comment that extraction found on one line, in the line's offsets
        std::size_t start, group, end;
        std::string_view text;
    };
    struct State {  // a line as the entries before left it
        std::string text;
        std::vector<Local> spans;
        std::vector<Found> found;
        bool spans_known = false, edited = false, gains_line_end = false;
    };

private:
    Outcome apply_one(const Entry &entry, const Found *found, std::size_t index);
    State &state(std::size_t line);
    bool read_spans();

    std::string_view content_, language_, prefix_;
    const orvo::CommentSyntax &syntax_;
    std::function<Spans()> read_;
    std::vector<Line> lines_;
    Spans spans_;
    std::vector<std::size_t> reach_;  // the furthest end of the spans up to each one
    bool spans_read_ = false;
    std::map<std::size_t, State> states_;  // the lines entries have looked at
    nestrel::Comments extracted_;          // the comments of the original content
    std::map<std::size_t, std::vector<Found>> found_;  // its one-line comments by line index
};

// The comments of a C macro's body [from, to) as the preprocessor reads them:
// a string or a character literal (with its escapes) holds none, and a "\"
// before a line end joins the lines. Offsets are those of `content`.
std::vector<std::pair<std::size_t, std::size_t>> macro_comments(std::string_view content, std::size_t from,
                                                                std::size_t to);

// What a comment's text must keep clear of (see `CommentSyntax`), given the
// comment as it will stand: `opener` + `head` (blanks) + `text` + `tail`
// (blanks) + `closer` ("" for a line comment). True when the language reads
// it as the same one comment, closed where it was.
bool is_writable(const orvo::CommentSyntax &syntax, std::string_view opener, std::string_view head,
                 std::string_view text, std::string_view tail, std::string_view closer);

}  // namespace osmeran
