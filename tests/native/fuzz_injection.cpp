// Fuzz target: injection's line rules on a content, the spans a reader would
// give and the entries, all decoded from the input. Whatever they are,
// injection must not crash, must keep every line it does not edit byte for
// byte and every line end, and may write only inside a comment the spans
// name (or a C macro's body, where it finds the comments itself) or after a
// line's code; the rules' refusals must hold.
//
// The input: a language, a flag for a missing reader, spans, entries, then
// the content. Comment spans mostly start at one of the language's openers
// and end where that comment would, so that entries find comments to go in.
#include "fuzz_target.hpp"
#include "orvo/languages.hpp"
#include "orvo/text.hpp"
#include "osmeran/lines.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

using osmeran::Entry;
using osmeran::Outcome;
using osmeran::Span;
using osmeran::SpanKind;

constexpr std::size_t row_count = sizeof orvo::COMMENT_SYNTAX / sizeof orvo::COMMENT_SYNTAX[0];

// The case being run, shown when it fails.
struct Case {
    const std::string *content = nullptr, *result = nullptr;
    const std::vector<Span> *spans = nullptr;
    const std::vector<Entry> *entries = nullptr;
    const std::vector<Outcome> *outcomes = nullptr;
} shown;

std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        char escape[8];
        std::snprintf(escape, sizeof escape, c < 0x20 || c == '"' || c == '\\' || c >= 0x7F ? "\\x%02x" : "%c", c);
        out += escape;
    }
    return out + "\"";
}

[[noreturn]] void fail(const char *what, const char *language, std::size_t line) {
    std::string message = std::string(what) + " (" + language + ", line " + std::to_string(line) + ")";
    if (shown.content)
        message += "\n  content " + quoted(*shown.content);
    if (shown.spans)
        for (const Span &span : *shown.spans)
            message += "\n  span " + std::to_string(span.start) + "-" + std::to_string(span.end) + " kind " +
                       std::to_string((int) span.kind);
    if (shown.entries)
        for (std::size_t i = 0; i < shown.entries->size(); ++i)
            message +=
                "\n  entry " + std::to_string((*shown.entries)[i].line) + " " + quoted((*shown.entries)[i].content) +
                ((*shown.entries)[i].aligned ? "" : " not aligned") +
                (shown.outcomes && i < shown.outcomes->size() ? " -> " + std::to_string((int) (*shown.outcomes)[i])
                                                              : "");
    if (shown.result)
        message += "\n  result " + quoted(*shown.result);
    fuzz::fail("fuzz_injection", message);
}

struct Input {
    const std::uint8_t *data;
    std::size_t size, at = 0;
    unsigned byte() { return at < size ? data[at++] : 0; }
    std::string_view bytes(std::size_t count) {
        count = std::min(count, size - at);
        std::string_view piece((const char *) data + at, count);
        at += count;
        return piece;
    }
    std::string_view rest() { return bytes(size - at); }
};

struct Line {
    std::string_view text, end;
};

// The lines of a content: their text and line end ("\n", "\r\n", "\r", or
// nothing for a last line without one).
std::vector<Line> lines_of(std::string_view content) {
    std::vector<Line> lines;
    std::size_t at = 0;
    while (at < content.size()) {
        std::size_t end = content.find_first_of("\r\n", at);
        if (end == std::string_view::npos) {
            lines.push_back({content.substr(at), {}});
            break;
        }
        std::size_t next = end + (content[end] == '\r' && end + 1 < content.size() && content[end + 1] == '\n' ? 2 : 1);
        lines.push_back({content.substr(at, end - at), content.substr(end, next - end)});
        at = next;
    }
    return lines;
}

// Where the comment that opens at `start` ends, by the language's openers:
// a line comment at its line end, a block comment after its closer.
std::size_t comment_end(const orvo::CommentSyntax &syntax, std::string_view content, std::size_t start) {
    const std::string_view from = content.substr(start);
    if (syntax.block.open && from.starts_with(syntax.block.open)) {
        const std::size_t close = from.find(syntax.block.close, std::string_view(syntax.block.open).size());
        return close == std::string_view::npos ? content.size()
                                               : start + close + std::string_view(syntax.block.close).size();
    }
    const std::size_t end = content.find_first_of("\r\n", start);
    return end == std::string_view::npos ? content.size() : end;
}

// The first place at or after `from` where one of the language's comments opens.
std::size_t next_opener(const orvo::CommentSyntax &syntax, std::string_view content, std::size_t from) {
    std::size_t best = std::string_view::npos;
    for (const char *opener : {syntax.line[0], syntax.line[1], syntax.block.open})
        if (opener)
            best = std::min(best, content.find(opener, from));
    return best;
}

bool touches(const Span &span, std::size_t line_start, std::size_t line_end) {
    return span.start <= line_end && (span.start == span.end ? span.start >= line_start : span.end > line_start);
}

std::size_t count(std::string_view text, std::string_view piece) {
    std::size_t n = 0;
    for (std::size_t at = text.find(piece); at != std::string_view::npos; at = text.find(piece, at + 1))
        ++n;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzz::remember(data, size);
    Input input{data, size};
    // The language: a row of the table, or one without a row whose entries
    // come with a prefix of their own.
    const std::size_t row = input.byte() % (row_count + 1);
    orvo::CommentSyntax plain{};
    plain.language = "r";
    plain.line[0] = "#";
    const orvo::CommentSyntax &syntax = row < row_count ? orvo::COMMENT_SYNTAX[row] : plain;
    const char *language = syntax.language;
    const std::string_view prefix = row < row_count ? orvo::line_prefix(language) : "#";
    const bool no_reader = input.byte() % 8 == 0;

    struct RawSpan {
        unsigned start, length, kind;
        bool snap;
    };
    std::vector<RawSpan> raw_spans(input.byte() % 10);
    for (RawSpan &span : raw_spans) {
        span.start = input.byte() | input.byte() << 8;
        span.length = input.byte() % 48;
        span.kind = input.byte();
        span.snap = span.kind % 2 == 0;
    }
    struct RawEntry {
        long long line;
        bool aligned;
        std::string content;
    };
    std::vector<RawEntry> raw_entries(1 + input.byte() % 5);
    for (RawEntry &entry : raw_entries) {
        const unsigned line = input.byte();
        entry.line = line == 255 ? -1 : (long long) (line % 16);
        entry.aligned = line % 7 != 0;
        entry.content = orvo::decode_utf8_lossy(input.bytes(input.byte() % 24));
    }
    const std::string content = orvo::decode_utf8_lossy(input.rest());

    // The spans, sorted by start as a reader gives them.
    std::vector<Span> spans;
    for (const RawSpan &raw : raw_spans) {
        Span span{raw.start % (content.size() + 1), 0, SpanKind::comment};
        span.end = std::min<std::size_t>(span.start + raw.length, content.size());
        switch (raw.kind / 2 % 8) {
        case 0:
        case 1:
        case 2:
            if (raw.snap) {  // a comment where one opens, as long as it would be
                span.start = std::min(next_opener(syntax, content, span.start), content.size());
                span.end = comment_end(syntax, content, span.start);
                if (raw.length % 5 == 0)  // as a reader that counts the line end in
                    span.end = std::min(span.end + 1, content.size());
            }
            break;
        case 3:
        case 4:
            span.kind = SpanKind::string;
            break;
        case 5:
            span.kind = raw.snap ? SpanKind::text : SpanKind::directive;
            break;
        case 6:
            span.kind = SpanKind::error;
            break;
        default:
            span.kind = SpanKind::macro;
            break;
        }
        spans.push_back(span);
    }
    std::stable_sort(spans.begin(), spans.end(), [](const Span &a, const Span &b) { return a.start < b.start; });
    // A reader's comments never lie in one another: a comment that starts
    // inside an earlier one is left out.
    std::size_t comments_end = 0;
    std::erase_if(spans, [&](const Span &span) {
        if (span.kind != SpanKind::comment)
            return false;
        if (span.start < comments_end)
            return true;
        comments_end = span.end;
        return false;
    });

    // The block comments to hold to their closers: the reader's, and those
    // the engine finds itself in a macro's body.
    std::vector<Span> blocks = spans;
    for (const Span &span : spans)
        if (span.kind == SpanKind::macro)
            for (const auto &[start, end] : osmeran::macro_comments(content, span.start, span.end))
                blocks.push_back(Span{start, end, SpanKind::comment});

    std::vector<Entry> entries;
    for (const RawEntry &raw : raw_entries)
        entries.push_back(Entry{raw.line, raw.content, raw.aligned});

    shown = Case{&content, nullptr, &spans, &entries, nullptr};
    bool read = false;
    osmeran::Injection injection(content, language, syntax, prefix, [&]() -> osmeran::Spans {
        if (read)
            fail("the spans asked for twice", language, 0);
        read = true;
        if (no_reader)
            return std::nullopt;
        return spans;
    });
    const std::vector<Outcome> outcomes = injection.apply(entries);
    const std::string result = injection.result();
    shown.result = &result;
    shown.outcomes = &outcomes;

    if (outcomes.size() != entries.size())
        fail("an outcome missing", language, 0);
    const std::vector<Line> before = lines_of(content), after = lines_of(result);
    std::set<long long> written;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const bool in_range = entries[i].line >= 1 && (unsigned long long) entries[i].line <= before.size();
        const bool several = orvo::has_line_break(orvo::strip(entries[i].content));
        if (several != (outcomes[i] == Outcome::several_lines))
            fail("a text of several lines written, or one of one line refused as several", language, 0);
        if (!in_range && !several && outcomes[i] != Outcome::refused)
            fail("an entry for a line that is not there not refused", language, (std::size_t) entries[i].line);
        if (outcomes[i] == Outcome::written) {
            if (no_reader)
                fail("written without a reader", language, (std::size_t) entries[i].line);
            written.insert(entries[i].line);
        }
    }
    if (result != content && !injection.changed())
        fail("a change that is not told", language, 0);
    if (after.size() != before.size())
        fail("lines gained or lost", language, 0);

    std::size_t line_start = 0;
    for (std::size_t i = 0; i < before.size() && i < after.size(); ++i) {
        const Line &old = before[i], &now = after[i];
        const std::size_t line_end = line_start + old.text.size();
        const bool last_gains = i + 1 == before.size() && old.end.empty() && now.text != old.text;
        if (now.end != old.end && !(last_gains && now.end == (before[0].end.empty() ? "\n" : before[0].end)))
            fail("a line end changed", language, i + 1);
        if (now.text != old.text) {
            if (!written.count((long long) i + 1))
                fail("a line changed that no entry wrote", language, i + 1);
            for (const Span &span : spans)
                if ((span.kind == SpanKind::error || span.kind == SpanKind::directive) &&
                    touches(span, line_start, line_end))
                    fail("a line the reader did not read, or an instruction, written", language, i + 1);
            for (unsigned char c : now.text)
                if ((c < 0x20 && c != '\t') || c == 0x7F)
                    if (std::count(old.text.begin(), old.text.end(), (char) c) <
                        std::count(now.text.begin(), now.text.end(), (char) c))
                        fail("a control character written", language, i + 1);
            // Inside a comment (or a macro's body) on this line, or the blanks
            // that end the line after it: the line before and after it stays.
            // Several entries of the line may write several comments: then
            // what lies before the first and after the last of them stays.
            bool inside = false;
            std::optional<Span> all;
            const auto keeps_outside = [&](const Span &span) {
                const std::size_t start = std::max(span.start, line_start) - line_start;
                std::size_t end = std::min(span.end, line_end) - line_start;
                if (orvo::strip(old.text.substr(end)).empty())
                    end = old.text.size();
                const std::string_view kept_before = old.text.substr(0, start), kept_after = old.text.substr(end);
                return now.text.size() >= kept_before.size() + kept_after.size() &&
                       now.text.starts_with(kept_before) && now.text.ends_with(kept_after);
            };
            for (const Span &span : spans) {
                if (span.kind != SpanKind::comment && span.kind != SpanKind::macro)
                    continue;
                if (span.end < line_start || span.start > line_end)
                    continue;
                inside = inside || keeps_outside(span);
                all = all ? Span{std::min(all->start, span.start), std::max(all->end, span.end), span.kind} : span;
            }
            if (!inside && all && std::count_if(shown.entries->begin(), shown.entries->end(), [&](const Entry &entry) {
                                      return entry.line == (long long) i + 1;
                                  }) > 1)
                inside = keeps_outside(*all);
            const std::string_view code = orvo::rstrip(old.text);
            const bool appended = now.text.starts_with(code) &&
                                  now.text.substr(code.size()).starts_with(code.empty() ? "" : " ") &&
                                  now.text.substr(code.size() + (code.empty() ? 0 : 1)).starts_with(prefix);
            if (!inside && !appended)
                fail("written outside a comment and not after the code", language, i + 1);
            if (!inside) {
                if (code.ends_with('\\'))
                    fail("a comment after a line joined to the next", language, i + 1);
                for (const Span &span : spans)
                    if (span.kind != SpanKind::comment && span.kind != SpanKind::macro &&
                        touches(span, line_start, line_end) && span.end > line_end)
                        fail("a comment after a line that ends inside a string or output", language, i + 1);
            }
            // A block comment on this line that the edit lies in (the widest,
            // where a body's comment lies in the reader's): closed at its end
            // and nowhere before, as it was. The edit is what lies between the
            // longest common start and end of the line before and after.
            std::size_t same_start = 0, same_end = 0;
            while (same_start < std::min(old.text.size(), now.text.size()) &&
                   old.text[same_start] == now.text[same_start])
                ++same_start;
            while (same_start + same_end < std::min(old.text.size(), now.text.size()) &&
                   old.text[old.text.size() - 1 - same_end] == now.text[now.text.size() - 1 - same_end])
                ++same_end;
            std::optional<Span> block;
            const std::string_view open = syntax.block.open ? syntax.block.open : "";
            const std::string_view close = syntax.block.close ? syntax.block.close : "";
            for (const Span &span : blocks) {
                const std::string_view text = std::string_view(content).substr(span.start, span.end - span.start);
                if (span.kind == SpanKind::comment && !open.empty() && line_start <= span.start &&
                    span.end <= line_end && text.starts_with(open) && text.size() >= open.size() + close.size() &&
                    text.ends_with(close) && span.start - line_start + open.size() <= same_start &&
                    old.text.size() - same_end + close.size() <= span.end - line_start &&
                    (!block || span.end - span.start > block->end - block->start))
                    block = span;
            }
            if (block) {
                const std::string_view was = std::string_view(content).substr(block->start, block->end - block->start);
                const std::string_view is =
                    now.text.substr(block->start - line_start, now.text.size() - (old.text.size() - was.size()));
                if (!is.starts_with(open) || !is.ends_with(close) ||
                    count(is.substr(open.size()), close) > count(was.substr(open.size()), close))
                    fail("a block comment closed elsewhere than where it was", language, i + 1);
                if (syntax.block.nests && count(is.substr(open.size()), open) > count(was.substr(open.size()), open))
                    fail("a comment opened inside a comment that nests", language, i + 1);
            }
            if ((syntax.hazards & orvo::SPLICED_LINES) && orvo::rstrip(now.text).ends_with('\\') &&
                !orvo::rstrip(old.text).ends_with('\\'))
                fail("a line comment that takes the next line in", language, i + 1);
            if ((syntax.hazards & orvo::CLOSE_TAG) && !block && count(now.text, "?>") > count(old.text, "?>"))
                fail("a close tag written into a line comment", language, i + 1);
        }
        line_start = line_end + old.end.size();
    }
    return 0;
}

// The pieces of every language's comments and of the texts they must keep
// clear of, with line ends and blanks.
extern "C" const char *const *orvo_fuzz_tokens(std::size_t *count) {
    static const std::vector<std::string> pieces = [] {
        std::set<std::string> found{
            "\n",  "\r\n",    "\r",    " ",     "\t",   "\\",   "?\?/",        "?>",  "\\u000a", "\\u",
            "uu",  "000D",    "[[",    "]]",    "[==[", "...",  "{-#",         "#-}", "go:",     "///",
            "//!", "/**",     "/*!",   "/*+",   "\"",   "{id|", "|id}",        "%{",  "%}",      "%#",
            "#[",  "coding:", "utf-8", "x = 1", "'",    "\x01", "\xe2\x80\xa8"};
        for (const orvo::CommentSyntax &row : orvo::COMMENT_SYNTAX) {
            for (const char *piece : {row.line[0], row.line[1], row.block.open, row.block.close})
                if (piece)
                    found.insert(piece);
        }
        return std::vector<std::string>(found.begin(), found.end());
    }();
    return fuzz::token_list(pieces, count);
}
