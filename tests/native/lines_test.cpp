// Comment injection's line rules, given the spans a reader would give: what
// is written where, what is refused, and the texts a language's comments
// must keep clear of.
#include "check.hpp"

#include "osmeran/lines.hpp"

#include <optional>
#include <string>
#include <vector>

using namespace std::string_literals;
using osmeran::Entry;
using osmeran::Outcome;
using osmeran::Span;
using osmeran::SpanKind;

namespace {

// The content after the entries, then one letter per outcome: unchanged,
// written, refused, empty, several lines.
std::string inject(std::string_view content, const char *language, std::optional<std::vector<Span>> spans,
                   const std::vector<Entry> &entries) {
    const orvo::CommentSyntax &syntax = *orvo::comment_syntax(language);
    osmeran::Injection injection(content, language, syntax, orvo::line_prefix(language), [&] { return spans; });
    std::string out = "|";
    for (Outcome outcome : injection.apply(entries))
        out += "uwres"[(int) outcome];
    return injection.result() + out;
}

constexpr SpanKind comment = SpanKind::comment, string = SpanKind::string;

}  // namespace

TEST(consecutive_line_comments_given_as_one_span_are_each_a_comment_of_their_line) {
    // 0123456789
    // "x; // one\n  // two\ny;\n"
    CHECK_EQ(inject("x; // one\n  // two\ny;\n", "javascript", std::vector<Span>{{3, 18, comment}},
                    {{2, "zwei"}, {1, "eins"}}),
             "x; // eins\n  // zwei\ny;\n|ww"s);
    // What is not a comment in such a span is a line the reader did not read.
    CHECK_EQ(inject("// a\nx\n// b\n", "javascript", std::vector<Span>{{0, 11, comment}}, {{2, "c"}, {3, "d"}}),
             "// a\nx\n// d\n|rw"s);
}

TEST(a_line_in_a_string_gets_nothing_and_the_line_where_it_ends_gets_a_comment_after_it) {
    const std::string content = "s = '''a\nb''' + c\n";
    const std::vector<Span> spans{{4, 13, string}};
    CHECK_EQ(inject(content, "python", spans, {{1, "x"}}), content + "|r");
    CHECK_EQ(inject(content, "python", spans, {{2, "y"}}), "s = '''a\nb''' + c # y\n|w"s);
    // A span that a reader ends after the line end still ends on the next line.
    CHECK_EQ(inject("s = 'a'\nt\n", "python", std::vector<Span>{{4, 8, string}}, {{1, "x"}}), "s = 'a'\nt\n|r"s);
}

TEST(lines_the_reader_could_not_read_and_instructions_to_tools_stay) {
    const std::string content = "a = 1  # one\nb = 2  # two\nc = 3\n";
    std::vector<Span> spans{{7, 12, comment}, {20, 25, comment}, {26, 27, SpanKind::error}};
    CHECK_EQ(inject(content, "python", spans, {{1, "eins"}, {2, "zwei"}, {3, "drei"}}),
             "a = 1  # eins\nb = 2  # zwei\nc = 3\n|wwr"s);
    spans[1].kind = SpanKind::directive;
    CHECK_EQ(inject(content, "python", spans, {{2, "zwei"}}), content + "|r");
    // Without a reader nothing is written; what stands already passes.
    CHECK_EQ(inject(content, "python", std::nullopt, {{1, "one"}, {2, "zwei"}, {9, "x"}, {0, "x"}}), content + "|urrr");
}

TEST(a_comment_in_a_c_macro_is_what_the_preprocessor_reads_as_one) {
    // 0         1         2
    // 0123456789012345678901234567
    // "#define M(a) f(a) /* x */\nint y;\n"
    const std::string content = "#define M(a) f(a) /* x */\nint y;\n";
    const Span macro{13, 25, SpanKind::macro};
    CHECK_EQ(inject(content, "c", std::vector<Span>{macro, {18, 25, comment}}, {{1, "z"}}),
             "#define M(a) f(a) /* z */\nint y;\n|w"s);
    // One the reader left out of the body is found there all the same.
    CHECK_EQ(inject(content, "c", std::vector<Span>{macro}, {{1, "z"}}), "#define M(a) f(a) /* z */\nint y;\n|w"s);
    // One the reader puts where the preprocessor sees none is a line it did not read.
    CHECK_EQ(inject(content, "c", std::vector<Span>{macro, {17, 25, comment}}, {{1, "z"}}), content + "|r");
    // Nor is a body that would hold a comment inside the reader's: its line stays.
    const std::string inside = "int x; /* a // b */\n";
    CHECK_EQ(inject(inside, "c", std::vector<Span>{{7, 19, comment}, {12, 19, SpanKind::macro}}, {{1, "z"}}),
             inside + "|r");
}

TEST(every_line_keeps_its_line_end_and_a_last_line_gains_the_first_lines) {
    CHECK_EQ(inject("a\rb\r", "python", std::vector<Span>{}, {{2, "x"}}), "a\rb # x\r|w"s);
    CHECK_EQ(inject("a\r\nb", "python", std::vector<Span>{}, {{2, "x"}}), "a\r\nb # x\r\n|w"s);
    CHECK_EQ(inject("b", "python", std::vector<Span>{}, {{1, "x"}}), "b # x\n|w"s);
    CHECK_EQ(inject("a  \t\nb", "python", std::vector<Span>{}, {{1, "x"}, {1, "a\xe2\x80\xa8y"}}),
             "a # x\nb|ws"s);  // a line break inside the text, here U+2028
}

namespace {

bool writable(const char *language, std::string_view opener, std::string_view text, std::string_view closer = "") {
    return osmeran::is_writable(*orvo::comment_syntax(language), opener, " ", text, closer.empty() ? "" : " ", closer);
}

}  // namespace

TEST(a_comment_text_keeps_clear_of_what_its_language_reads_inside_comments) {
    // Each refusal beside the nearest text that passes.
    CHECK(!writable("c", "//", "trigraph ?\?/"));
    CHECK(writable("c", "//", "trigraph ??"));
    CHECK(!writable("cpp", "//", "a \\\r b"));
    CHECK(writable("python", "#", "ends \\"));
    CHECK(!writable("matlab", "%", "{"));
    CHECK(writable("matlab", "%", "{ x"));
    CHECK(!osmeran::is_writable(*orvo::comment_syntax("matlab"), "%", "", "#ok", "", ""));
    CHECK(writable("matlab", "%", "#ok"));
    CHECK(!osmeran::is_writable(*orvo::comment_syntax("php"), "#", "", "[Attribute]", "", ""));
    CHECK(writable("php", "#", "[Attribute]"));
    CHECK(osmeran::is_writable(*orvo::comment_syntax("php"), "//", "", "[Attribute]", "", ""));
    CHECK(!osmeran::is_writable(*orvo::comment_syntax("sql"), "/*", "", "+ INDEX(t)", " ", "*/"));
    CHECK(osmeran::is_writable(*orvo::comment_syntax("sql"), "/*", " ", "+ INDEX(t)", " ", "*/"));
    CHECK(!writable("scheme", "#|", "a #| b", "|#"));  // nests
    CHECK(writable("scheme", "#|", "a # | b", "|#"));
    CHECK(writable("c", "/*", "a /* b", "*/"));  // does not nest
    CHECK(!writable("c", "/*", "a */ b", "*/"));
    CHECK(!writable("ocaml", "(*", "say \"hi", "*)"));
    CHECK(!writable("ocaml", "(*", "{id|", "*)"));
    CHECK(writable("ocaml", "(*", "{Id|", "*)"));
    CHECK(!writable("java", "//", "\\u000D"));
    CHECK(writable("java", "//", "\\\\u000D"));
    CHECK(writable("javascript", "//", "\\u000D"));
    CHECK(!writable("go", "//", "\x1b[0m"));
}
