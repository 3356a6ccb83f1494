// The readers of source languages: the `tree_sitter` package with one
// grammar package per language, asked for the spans of comments, strings,
// output text, directives and syntax errors of a file.
#include "bindings.hpp"

#include <algorithm>
#include <limits>

namespace osmeran {

namespace {

struct ReaderRow {
    const char *language;
    const char *suffix;    // only for files with this suffix; nothing for all
    const char *module;    // the grammar package
    const char *function;  // its function that gives the language; nothing where none can be trusted
    bool whole;            // trusted only for a file it reads without an error
    const char *query;     // captures: comment, string, text, directive, error, interpolation, macro
    const char *extra;     // more of the query, which other rows share
};

constexpr const char *ERRORS = "(ERROR) @error (MISSING) @error\n";

// Each grammar's own names for its nodes. A comment that a tool reads as an
// instruction is a directive; text that is output rather than code is text;
// `interpolation` is code inside a string or text, `macro` a C macro's body,
// which the grammar does not read itself.
// clang-format off
// A JSX element is output text, all of it but its tags and the expressions
// in braces, which are code.
constexpr const char *JSX = R"q((jsx_element) @text
[(jsx_opening_element) (jsx_closing_element) (jsx_self_closing_element) (jsx_expression)] @interpolation
)q";
constexpr const char *TYPESCRIPT = R"q((hash_bang_line) @directive
((comment) @directive
 (#match? @directive "^///? *<(reference|amd-module|amd-dependency)|^//[#@] *source(Mapping)?URL=|@jsx|^/[/*] *@ts-|^/[*]+ *webpack[A-Z]"))
((comment) @comment
 (#not-match? @comment "^///? *<(reference|amd-module|amd-dependency)|^//[#@] *source(Mapping)?URL=|@jsx|^/[/*] *@ts-|^/[*]+ *webpack[A-Z]"))
(html_comment) @comment
[(string) (template_string) (template_literal_type) (regex)] @string
[(template_substitution) (template_type)] @interpolation
)q";

constexpr const char *SHELL = R"q(((comment) @directive (#match? @directive "^#!"))
((comment) @comment (#not-match? @comment "^#!"))
[(string) (raw_string) (ansi_c_string) (translated_string) (heredoc_body) (heredoc_end) (regex)] @string
[(command_substitution) (process_substitution) (expansion) (arithmetic_expansion)] @interpolation
)q";

const ReaderRow READER_ROWS[] = {
    {"python", nullptr, "tree_sitter_python", "language", false, R"q(((comment) @directive
 (#match? @directive "^#!|^#.*coding[:=][ \t]*[-_.a-zA-Z0-9]"))
((comment) @comment
 (#not-match? @comment "^#!|^#.*coding[:=][ \t]*[-_.a-zA-Z0-9]"))
(string) @string
[(interpolation)] @interpolation
)q", nullptr},
    {"javascript", nullptr, "tree_sitter_javascript", "language", false, R"q((hash_bang_line) @directive
((comment) @directive
 (#match? @directive "^//[#@] *source(Mapping)?URL=|@jsx|@flow|^/[/*] *@ts-|^/[*]+ *webpack[A-Z]"))
((comment) @comment
 (#not-match? @comment "^//[#@] *source(Mapping)?URL=|@jsx|@flow|^/[/*] *@ts-|^/[*]+ *webpack[A-Z]"))
(html_comment) @comment
[(string) (template_string) (regex)] @string
[(template_substitution)] @interpolation
)q", JSX},
    {"typescript", ".ts", "tree_sitter_typescript", "language_typescript", false, TYPESCRIPT, nullptr},
    {"typescript", ".tsx", "tree_sitter_typescript", "language_tsx", false, TYPESCRIPT, JSX},
    {"java", nullptr, "tree_sitter_java", "language", false, R"q([(line_comment) (block_comment)] @comment
[(string_literal) (character_literal)] @string
)q", nullptr},
    {"c", nullptr, "tree_sitter_c", "language", false, R"q((comment) @comment
[(string_literal) (char_literal) (system_lib_string)] @string
(preproc_arg) @macro
)q", nullptr},
    {"cpp", nullptr, "tree_sitter_cpp", "language", false, R"q((comment) @comment
[(string_literal) (char_literal) (raw_string_literal) (system_lib_string)] @string
(preproc_arg) @macro
)q", nullptr},
    {"csharp", nullptr, "tree_sitter_c_sharp", "language", false, R"q((comment) @comment
(shebang_directive) @directive
[(string_literal) (verbatim_string_literal) (raw_string_literal)
 (interpolated_string_expression) (character_literal)] @string
[(interpolation)] @interpolation
)q", nullptr},
    {"php", nullptr, "tree_sitter_php", "language_php", false, R"q((comment) @comment
[(string) (encapsed_string) (heredoc) (nowdoc) (shell_command_expression)] @string
(text) @text
)q", nullptr},
    {"go", nullptr, "tree_sitter_go", "language", false, R"q(((comment) @directive
 (#match? @directive "^//(go:|line |export |extern )|^// *[+]build|^/[*]line "))
((comment) @comment
 (#not-match? @comment "^//(go:|line |export |extern )|^// *[+]build|^/[*]line "))
((comment)+ @directive
 .
 (import_declaration (import_spec path: (_) @_path))
 (#eq? @_path "\"C\""))
[(interpreted_string_literal) (raw_string_literal) (rune_literal)] @string
)q", nullptr},
    {"rust", nullptr, "tree_sitter_rust", "language", false, R"q([(line_comment) (block_comment)] @comment
(shebang) @directive
[(string_literal) (raw_string_literal) (char_literal)] @string
)q", nullptr},
    {"swift", nullptr, "tree_sitter_swift", "language", false, R"q(((comment) @directive (#match? @directive "^// *swift-tools-version"))
((comment) @comment (#not-match? @comment "^// *swift-tools-version"))
(multiline_comment) @comment
(shebang_line) @directive
[(line_string_literal) (multi_line_string_literal) (raw_string_literal) (regex_literal)] @string
[(interpolated_expression) (raw_str_interpolation)] @interpolation
)q", nullptr},
    {"kotlin", nullptr, "tree_sitter_kotlin", "language", false, R"q([(line_comment) (block_comment)] @comment
(shebang) @directive
[(string_literal) (multiline_string_literal) (character_literal)] @string
[(interpolation)] @interpolation
)q", nullptr},
    {"scala", nullptr, "tree_sitter_scala", "language", false, R"q(((comment) @directive (#match? @directive "^#!|^//>"))
((comment) @comment (#not-match? @comment "^#!|^//>"))
(block_comment) @comment
[(string) (interpolated_string_expression) (character_literal)
 (xml_text) (xml_string) (xml_comment) (xml_cdata)] @string
(xml_element) @text
[(interpolation)] @interpolation
(xml_element (block) @interpolation)
(xml_attribute (block) @interpolation)
)q", nullptr},
    {"ruby", nullptr, "tree_sitter_ruby", "language", false, R"q(((comment) @directive
 (#match? @directive "^#!|^#.*(frozen_string_literal|coding|warn_indent|shareable_constant_value)[ \t]*:"))
((comment) @comment
 (#not-match? @comment "^#!|^#.*(frozen_string_literal|coding|warn_indent|shareable_constant_value)[ \t]*:"))
[(string) (regex) (subshell) (string_array) (symbol_array) (delimited_symbol) (character)
 (heredoc_beginning) (heredoc_body) (uninterpreted)] @string
[(interpolation)] @interpolation
)q", nullptr},
    {"shell", nullptr, "tree_sitter_bash", "language", false, SHELL, nullptr},
    {"shell", ".zsh", "tree_sitter_bash", "language", true, SHELL, nullptr},
    {"shell", ".fish", "tree_sitter_bash", nullptr, false, nullptr, nullptr},
    {"sql", nullptr, "tree_sitter_sql", "language", false, R"q((comment) @comment
((marginalia) @directive (#match? @directive "^/[*][+!]"))
((marginalia) @comment (#not-match? @comment "^/[*][+!]"))
((literal) @string (#match? @string "['\"$]"))
)q", nullptr},
    {"dart", nullptr, "tree_sitter_dart", "language", false, R"q([(comment) (documentation_comment)] @comment
(script_tag) @directive
(string_literal) @string
[(template_substitution)] @interpolation
)q", nullptr},
    {"lua", nullptr, "tree_sitter_lua", "language", false, R"q((comment) @comment
(hash_bang_line) @directive
(string) @string
)q", nullptr},
    {"haskell", nullptr, "tree_sitter_haskell", "language", false, R"q([(comment) (haddock)] @comment
[(pragma) (cpp)] @directive
[(string) (char) (quasiquote_body)] @string
)q", nullptr},
    {"elixir", nullptr, "tree_sitter_elixir", "language", false, R"q(((comment) @directive (#match? @directive "^#!"))
((comment) @comment (#not-match? @comment "^#!"))
[(string) (charlist) (sigil) (char) (quoted_atom) (quoted_keyword)] @string
[(interpolation)] @interpolation
)q", nullptr},
    {"julia", nullptr, "tree_sitter_julia", "language", false, R"q(((line_comment) @directive (#match? @directive "^#!"))
((line_comment) @comment (#not-match? @comment "^#!"))
(block_comment) @comment
[(string_literal) (prefixed_string_literal) (command_literal) (prefixed_command_literal)
 (character_literal)] @string
[(string_interpolation)] @interpolation
)q", nullptr},
    {"matlab", nullptr, "tree_sitter_matlab", "language", true, R"q(((comment) @directive (#match? @directive "^%#"))
((comment) @comment (#not-match? @comment "^%#"))
(line_continuation) @directive
(string) @string
)q", nullptr},
    {"zig", nullptr, "tree_sitter_zig", "language", false, R"q((comment) @comment
[(string) (multiline_string) (character)] @string
)q", nullptr},
    {"odin", nullptr, "tree_sitter_odin", "language", false, R"q(((comment) @directive (#match? @directive "^//[+]"))
((comment) @comment (#not-match? @comment "^//[+]"))
(block_comment) @comment
(build_tag) @directive
[(string) (character)] @string
)q", nullptr},
    {"ocaml", nullptr, "tree_sitter_ocaml", "language_ocaml", false, R"q((comment) @comment
[(shebang) (line_number_directive)] @directive
[(string) (quoted_string) (character)] @string
)q", nullptr},
    {"fsharp", nullptr, "tree_sitter_fsharp", "language", false, R"q(((line_comment) @directive (#match? @directive "^#!"))
((line_comment) @comment (#not-match? @comment "^#!"))
[(block_comment) (xml_doc)] @comment
[(string) (verbatim_string) (triple_quoted_string) (char) (bytearray) (verbatim_bytearray)] @string
[(format_string_eval)] @interpolation
)q", nullptr},
    {"agda", nullptr, "tree_sitter_agda", "language", false, R"q((comment) @comment
[(pragma) (catchall_pragma)] @directive
((literal) @string (#match? @string "^[\"']"))
)q", nullptr},
    {"lisp", nullptr, "tree_sitter_commonlisp", "language", false, R"q(((comment) @directive (#match? @directive "^#!"))
((comment) @comment (#not-match? @comment "^#!"))
(block_comment) @comment
[(str_lit) (char_lit) (fancy_literal)] @string
)q", nullptr},
};
// clang-format on

const ReaderRow *row_of(std::string_view language, std::string_view suffix) {
    const ReaderRow *found = nullptr;
    for (const ReaderRow &row : READER_ROWS)
        if (row.language == language) {
            if (row.suffix && row.suffix == suffix)
                return &row;
            if (!row.suffix && !found)
                found = &row;
        }
    return found;
}

enum class Capture { comment, string, text, directive, error, interpolation, macro, none };

Capture capture_of(std::string_view name) {
    if (name == "comment")
        return Capture::comment;
    if (name == "string")
        return Capture::string;
    if (name == "text")
        return Capture::text;
    if (name == "directive")
        return Capture::directive;
    if (name == "interpolation")
        return Capture::interpolation;
    if (name == "macro")
        return Capture::macro;
    if (name.starts_with('_'))
        return Capture::none;  // the subject of its pattern's predicate, nothing more
    return Capture::error;     // "error", and a name no query here gives: its lines are refused
}

struct Range {
    std::size_t start, end;
    bool holds(const Range &inner) const { return start <= inner.start && inner.end <= end; }
};

// Ranges of data (strings, output text) and of the code inside them, by
// their starts, of two that start together the longer first, and of two with
// the same bounds the code last. They are nodes of one tree: any two nest or
// lie apart, and what lies in a range belongs to the innermost one around it.
struct Mark {
    Range range;
    bool code;
};

std::vector<Mark> marks_of(const std::vector<Range> &data, const std::vector<Range> &code) {
    std::vector<Mark> marks;
    marks.reserve(data.size() + code.size());
    for (const Range &range : data)
        marks.push_back(Mark{range, false});
    for (const Range &range : code)
        marks.push_back(Mark{range, true});
    std::sort(marks.begin(), marks.end(), [](const Mark &a, const Mark &b) {
        if (a.range.start != b.range.start)
            return a.range.start < b.range.start;
        return a.range.end != b.range.end ? a.range.end > b.range.end : !a.code && b.code;
    });
    return marks;
}

// The output text of `texts` that lies outside the code inside them (tags,
// expressions in braces), piece by piece.
std::vector<Range> text_outside_code(const std::vector<Range> &texts, const std::vector<Range> &code) {
    const std::vector<Mark> marks = marks_of(texts, code);
    std::vector<Range> pieces;
    std::vector<const Mark *> open;  // the marks around `at`, the innermost last
    std::size_t at = 0;
    auto advance = [&](std::size_t to) {  // on to `to`, closing the marks that end by then
        for (;;) {
            const std::size_t stop = open.empty() ? to : std::min(to, open.back()->range.end);
            if (!open.empty() && !open.back()->code && stop > at)
                pieces.push_back(Range{at, stop});
            at = std::max(at, stop);
            if (open.empty() || open.back()->range.end > to)
                return;
            open.pop_back();
        }
    };
    for (const Mark &mark : marks) {
        advance(mark.range.start);
        open.push_back(&mark);
    }
    advance(std::numeric_limits<std::size_t>::max());
    return pieces;
}

// Whether the innermost of the ranges around each comment (sorted by start)
// is data rather than code.
std::vector<bool> in_data(const std::vector<Range> &comments, const std::vector<Mark> &marks) {
    std::vector<bool> found;
    found.reserve(comments.size());
    std::vector<const Mark *> open;  // the marks begun that may hold a comment still, the innermost last
    std::size_t next = 0;            // the first mark not begun
    for (const Range &comment : comments) {
        for (; next < marks.size() && marks[next].range.start <= comment.start; ++next) {
            while (!open.empty() && open.back()->range.end <= marks[next].range.start)
                open.pop_back();
            open.push_back(&marks[next]);
        }
        while (!open.empty() && open.back()->range.end <= comment.start)
            open.pop_back();
        auto around =
            std::find_if(open.rbegin(), open.rend(), [&](const Mark *mark) { return mark->range.holds(comment); });
        found.push_back(around != open.rend() && !(*around)->code);
    }
    return found;
}

}  // namespace

bool Readers::Reader::usable() const { return parser.is_valid(); }

const Readers::Reader &Readers::reader(std::string_view language, std::string_view suffix) {
    const ReaderRow *row = row_of(language, suffix);
    std::string key = std::string(language) + "\n" + std::string(row && row->suffix ? row->suffix : "");
    auto [at, added] = readers_.try_emplace(key);
    Reader &reader = at->second;
    if (!added || !row || !row->function)
        return reader;
    reader.whole = row->whole;
    // A package that is missing or does not load leaves the language without
    // a reader: its edited comments are refused, never guessed.
    orvo::guard(
        [&] {
            nb::module_ tree_sitter = orvo::module("tree_sitter");
            nb::object grammar;
            // Some grammar packages give their language as a plain number,
            // which the runtime still takes, with a deprecation warning.
            nb::object warnings = orvo::module("warnings");
            orvo::with_block(warnings.attr("catch_warnings")(), [&] {
                warnings.attr("simplefilter")("ignore", nb::handle(PyExc_DeprecationWarning));
                grammar = tree_sitter.attr("Language")(orvo::module(row->module).attr(row->function)());
                return nb::none();
            });
            nb::object query = tree_sitter.attr("Query")(grammar, nb::str((std::string(row->query) + (row->extra ? row->extra : "") + ERRORS).c_str()));
            reader.cursor = tree_sitter.attr("QueryCursor")(query);
            reader.parser = tree_sitter.attr("Parser")(grammar);
        },
        [&](nb::python_error &) {
            reader.parser = nb::object();
            reader.cursor = nb::object();
        });
    return reader;
}

Spans Readers::read(std::string_view language, std::string_view suffix, std::string_view content) {
    const Reader &reader = this->reader(language, suffix);
    if (!reader.usable())
        return std::nullopt;
    // The grammars end lines at "\n" alone: a lone "\r" is one too, and in
    // its place the offsets stay the same.
    std::string input(content);
    for (std::size_t i = 0; i < input.size(); ++i)
        if (input[i] == '\r' && (i + 1 == input.size() || input[i + 1] != '\n'))
            input[i] = '\n';
    nb::object tree = reader.parser.attr("parse")(nb::bytes(input.data(), input.size()));
    nb::object captures = reader.cursor.attr("captures")(tree.attr("root_node"));

    std::vector<Span> spans;
    std::vector<Range> data;            // strings and output text
    std::vector<Range> texts;           // output text as captured, code inside it included
    std::vector<Range> code_inside;     // code inside strings and output text
    std::vector<std::size_t> comments;  // indices into `spans`
    nb::str start_byte("start_byte"), end_byte("end_byte");
    for (auto [name, nodes] : nb::borrow<nb::dict>(captures)) {
        const Capture capture = capture_of(orvo::to_utf8(name));
        for (nb::handle node : nodes) {
            Range range{nb::cast<std::size_t>(node.attr(start_byte)), nb::cast<std::size_t>(node.attr(end_byte))};
            switch (capture) {
            case Capture::interpolation:
                code_inside.push_back(range);
                continue;
            case Capture::macro:
                spans.push_back(Span{range.start, range.end, SpanKind::macro});
                continue;
            case Capture::comment:
                comments.push_back(spans.size());
                spans.push_back(Span{range.start, range.end, SpanKind::comment});
                continue;
            case Capture::string:
                data.push_back(range);
                spans.push_back(Span{range.start, range.end, SpanKind::string});
                continue;
            case Capture::text:
                texts.push_back(range);
                continue;
            case Capture::directive:
                spans.push_back(Span{range.start, range.end, SpanKind::directive});
                continue;
            case Capture::error:
                if (reader.whole)
                    return std::nullopt;  // a file it does not fully read is not read at all
                spans.push_back(Span{range.start, range.end, SpanKind::error});
                continue;
            case Capture::none:
                continue;
            }
        }
    }
    for (const Range &piece : text_outside_code(texts, code_inside)) {
        data.push_back(piece);
        spans.push_back(Span{piece.start, piece.end, SpanKind::text});
    }
    // A comment inside a string or output text is a comment only in code
    // inside it (an interpolation); elsewhere the grammar misread data.
    std::stable_sort(comments.begin(), comments.end(),
                     [&](std::size_t a, std::size_t b) { return spans[a].start < spans[b].start; });
    std::vector<Range> ranges;
    for (std::size_t index : comments)
        ranges.push_back(Range{spans[index].start, spans[index].end});
    std::vector<bool> misread = in_data(ranges, marks_of(data, code_inside));
    for (std::size_t i = 0; i < comments.size(); ++i)
        if (misread[i])
            spans[comments[i]].kind = SpanKind::string;
    return spans;
}

}  // namespace osmeran
