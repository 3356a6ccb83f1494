#include "lines.hpp"

#include <orvo/text.hpp>

#include <algorithm>
#include <cctype>

namespace osmeran {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view leading_blanks(std::string_view text) {
    std::size_t n = 0;
    while (n < text.size() && is_blank(text[n]))
        ++n;
    return text.substr(0, n);
}

std::string_view trailing_blanks(std::string_view text) {
    std::size_t n = text.size();
    while (n > 0 && is_blank(text[n - 1]))
        --n;
    return text.substr(n);
}

// What kind of comment `comment` is where "///", "//!", "/**" and "/*!"
// make documentation ("////", "/***" and "/**/" do not): 0 plain, else the
// marker's third character.
char doc_kind(std::string_view comment) {
    if ((comment.starts_with("///") && !comment.starts_with("////")) || comment.starts_with("//!"))
        return comment[2];
    if ((comment.starts_with("/**") && !comment.starts_with("/**/") && !comment.starts_with("/***")) ||
        comment.starts_with("/*!"))
        return comment[2];
    return 0;
}

// The opener and closer of the comment `text` (a whole comment, as the
// reader reports it) in `syntax`, or false when it has none of its forms.
bool shape_of(const orvo::CommentSyntax &syntax, std::string_view text, std::string &opener, std::string &closer) {
    if (syntax.hazards & orvo::LONG_BRACKETS) {
        // "--[", any number of "=", "[": closed by "]", as many "=", "]".
        if (text.starts_with("--[")) {
            std::size_t level = 3;
            while (level < text.size() && text[level] == '=')
                ++level;
            if (level < text.size() && text[level] == '[') {
                opener = std::string(text.substr(0, level + 1));
                closer.assign(level - 1, '=');
                closer.front() = closer.back() = ']';
                return text.size() >= opener.size() + closer.size() && text.ends_with(closer);
            }
        }
    }
    const orvo::BlockSyntax &block = syntax.block;
    if (block.open && text.starts_with(block.open)) {
        opener = block.open;
        closer = block.close;
        return text.size() >= opener.size() + closer.size() && text.ends_with(closer);
    }
    for (const char *line : syntax.line)
        if (line && text.starts_with(line)) {
            opener = line;
            closer.clear();
            return true;
        }
    return false;
}

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

int hex_value(char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; }

// `text` with Java's Unicode escapes read: "\", one or more "u", four hex
// digits. A backslash after an odd run of backslashes starts none, and one
// that an escape yields starts none either.
std::string java_unescaped(std::string_view text) {
    std::string out;
    bool escaped = false;  // the previous character is a backslash that escapes this one
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && !escaped) {
            std::size_t digits = i + 1;
            while (digits < text.size() && text[digits] == 'u')
                ++digits;
            if (digits > i + 1 && digits + 4 <= text.size() && is_hex(text[digits]) && is_hex(text[digits + 1]) &&
                is_hex(text[digits + 2]) && is_hex(text[digits + 3])) {
                unsigned code = 0;
                for (std::size_t k = 0; k < 4; ++k)
                    code = code * 16 + (unsigned) hex_value(text[digits + k]);
                // Only what matters to a comment needs to be exact: ASCII.
                out.push_back(code < 0x80 ? (char) code : '?');
                i = digits + 3;
                escaped = false;
                continue;
            }
        }
        escaped = text[i] == '\\' && !escaped;
        out.push_back(text[i]);
    }
    return out;
}

// Whether a comment's text declares the file's encoding, as Python and Ruby
// read the first two lines: "coding", ":" or "=", blanks, a name.
bool declares_encoding(std::string_view text) {
    for (std::size_t at = text.find("coding"); at != std::string_view::npos; at = text.find("coding", at + 1)) {
        std::size_t i = at + 6;
        if (i >= text.size() || (text[i] != ':' && text[i] != '='))
            continue;
        for (++i; i < text.size() && is_blank(text[i]);)
            ++i;
        if (i < text.size() && (std::isalnum((unsigned char) text[i]) || text[i] == '-' || text[i] == '_' ||
                                text[i] == '.' || (unsigned char) text[i] >= 0x80))
            return true;
    }
    return false;
}

// Whether a whole line comment is an instruction to Go's tools.
bool is_go_directive(std::string_view comment) {
    return comment.starts_with("//go:") || comment.starts_with("// +build") || comment.starts_with("//line ") ||
           comment.starts_with("//export ") || comment.starts_with("//extern ");
}

constexpr std::string_view SYMBOLS = "!#$%&*+./<=>?@\\^|~:";

// Move the offset `x` of a line across the replacement of its piece
// [from, to) by `length` bytes.
std::size_t moved(std::size_t x, std::size_t from, std::size_t to, std::size_t length) {
    if (x >= to)
        return x - (to - from) + length;
    if (x > from)
        return from + std::min(x - from, length);
    return x;
}

// Replace the piece [from, to) of a line by `text`, moving its spans and the
// comments found on it.
void replace(Injection::State &line, std::size_t from, std::size_t to, std::string_view text) {
    line.text.replace(from, to - from, text);
    for (Injection::Local &span : line.spans) {
        span.start = moved(span.start, from, to, text.size());
        span.end = moved(span.end, from, to, text.size());
    }
    for (Injection::Found &found : line.found) {
        found.start = moved(found.start, from, to, text.size());
        found.group = moved(found.group, from, to, text.size());
        found.end = moved(found.end, from, to, text.size());
    }
    line.edited = true;
}

}  // namespace

std::vector<std::pair<std::size_t, std::size_t>> macro_comments(std::string_view content, std::size_t from,
                                                                std::size_t to) {
    std::vector<std::pair<std::size_t, std::size_t>> found;
    auto line_end = [&](std::size_t i) {  // the end of the line at `i`, lines joined by "\"
        for (;; ++i) {
            if (i >= to)
                return to;
            if (content[i] == '\\' && i + 1 < to && (content[i + 1] == '\n' || content[i + 1] == '\r')) {
                i += content[i + 1] == '\r' && i + 2 < to && content[i + 2] == '\n' ? 2 : 1;
                continue;
            }
            if (content[i] == '\n' || content[i] == '\r')
                return i;
        }
    };
    for (std::size_t i = from; i < to;) {
        const char c = content[i];
        if (c == '/' && i + 1 < to && content[i + 1] == '/') {
            std::size_t end = line_end(i);
            found.emplace_back(i, end);
            i = end;
        } else if (c == '/' && i + 1 < to && content[i + 1] == '*') {
            std::size_t close = content.substr(0, to).find("*/", i + 2);
            std::size_t end = close == std::string_view::npos ? to : close + 2;
            found.emplace_back(i, end);
            i = end;
        } else if (c == '"' || c == '\'') {
            for (++i; i < to && content[i] != c && content[i] != '\n' && content[i] != '\r'; ++i)
                if (content[i] == '\\')
                    ++i;
            ++i;
        } else {
            ++i;
        }
    }
    return found;
}

bool is_writable(const orvo::CommentSyntax &syntax, std::string_view opener, std::string_view head,
                 std::string_view text, std::string_view tail, std::string_view closer) {
    for (char c : text)
        if (((unsigned char) c < 0x20 && c != '\t') || c == 0x7F)
            return false;
    if (orvo::has_line_break(text))
        return false;
    std::string whole = std::string(opener).append(head).append(text).append(tail).append(closer);
    std::string read = whole;  // as the language reads it
    if (syntax.hazards & orvo::UNICODE_ESCAPES) {
        std::string unescaped = java_unescaped(text);
        if (unescaped.find_first_of("\r\n") != std::string::npos)
            return false;
        read = std::string(opener).append(head).append(unescaped).append(tail).append(closer);
    }
    if (closer.empty()) {
        std::string_view rest = std::string_view(read).substr(opener.size());
        if ((syntax.hazards & orvo::SPLICED_LINES) &&
            (read.ends_with('\\') || read.ends_with("?\?/") || rest.find("\\\r") != std::string_view::npos))
            return false;
        if ((syntax.hazards & orvo::CLOSE_TAG) && rest.find("?>") != std::string_view::npos)
            return false;
        const char *block = syntax.block.open;
        if (block && std::string_view(block).starts_with(opener) && read.starts_with(block))
            return false;  // "#" + "=x" would open a block comment
        if ((syntax.hazards & orvo::LONG_BRACKETS) && rest.starts_with('[')) {
            std::size_t i = 1;
            while (i < rest.size() && rest[i] == '=')
                ++i;
            if (i < rest.size() && rest[i] == '[')
                return false;
        }
        if ((syntax.hazards & orvo::DASH_OPERATORS) && head.empty()) {
            std::size_t i = 0;
            while (i < rest.size() && rest[i] == '-')
                ++i;
            if (i < rest.size() && SYMBOLS.find(rest[i]) != std::string_view::npos)
                return false;
        }
        if ((syntax.hazards & orvo::GO_DIRECTIVES) && is_go_directive(read))
            return false;
        if ((syntax.hazards & orvo::HASH_ATTRIBUTES) && opener == "#" && rest.starts_with('['))
            return false;  // "#[" opens an attribute
        if ((syntax.hazards & orvo::BLOCK_MARKS) &&
            (rest.starts_with('#') || orvo::strip(rest) == "{" || orvo::strip(rest) == "}"))
            return false;  // a pragma, or a line that opens or closes a block comment
        return true;
    }
    // A block comment: closed by its closer at its end and nowhere before,
    // and, where comments nest, opening nothing inside.
    if (read.find(closer, opener.size()) != read.size() - closer.size())
        return false;
    if (syntax.block.nests && read.find(opener, opener.size()) != std::string::npos)
        return false;
    if ((syntax.hazards & orvo::BRACE_PRAGMAS) && read.starts_with("{-#"))
        return false;
    if ((syntax.hazards & orvo::BLOCK_HINTS) && (read.starts_with("/*+") || read.starts_with("/*!")))
        return false;
    if (syntax.hazards & orvo::QUOTES_IN_BLOCKS) {
        // Strings are read inside these comments: '"' and "{id|" open one.
        if (read.find('"') != std::string::npos)
            return false;
        for (std::size_t brace = read.find('{'); brace != std::string::npos; brace = read.find('{', brace + 1)) {
            std::size_t i = brace + 1;
            while (i < read.size() && ((read[i] >= 'a' && read[i] <= 'z') || read[i] == '_'))
                ++i;
            if (i < read.size() && read[i] == '|')
                return false;
        }
    }
    return true;
}

Injection::Injection(std::string_view content, std::string_view language, const orvo::CommentSyntax &syntax,
                     std::string_view prefix, std::function<Spans()> read)
    : content_(content), language_(language), prefix_(prefix), syntax_(syntax), read_(std::move(read)) {
    // Lines end with "\n", "\r\n" or "\r"; a last line may lack one. An
    // empty content has no lines.
    std::size_t at = 0;
    while (at < content.size()) {
        std::size_t end = at;
        while (end < content.size() && content[end] != '\n' && content[end] != '\r')
            ++end;
        std::size_t next = end;
        if (next < content.size())
            next += content[next] == '\r' && next + 1 < content.size() && content[next + 1] == '\n' ? 2 : 1;
        lines_.push_back(Line{at, end, next});
        at = next;
    }
}

bool Injection::changed() const {
    return std::any_of(states_.begin(), states_.end(), [](const auto &line) { return line.second.edited; });
}

std::string Injection::result() const {
    std::string out;
    out.reserve(content_.size() + 64 * states_.size());
    std::size_t copied = 0;  // the content is copied up to here
    for (const auto &[index, line] : states_) {
        if (!line.edited)
            continue;
        const Line &place = lines_[index];
        out.append(content_.substr(copied, place.start - copied)).append(line.text);
        if (line.gains_line_end) {
            const Line &first = lines_.front();
            out.append(first.next > first.end ? content_.substr(first.end, first.next - first.end) : "\n");
        }
        copied = place.end;
    }
    out.append(content_.substr(copied));
    return out;
}

bool Injection::read_spans() {
    if (spans_read_)
        return spans_.has_value();
    spans_read_ = true;
    spans_ = read_();
    if (!spans_)
        return false;
    std::vector<Span> &spans = *spans_;
    std::vector<Span> macros;
    std::vector<std::size_t> comments;  // indices into `spans`
    for (std::size_t i = 0; i < spans.size(); ++i) {
        Span &span = spans[i];
        span.end = std::min(std::max(span.end, span.start), content_.size());
        span.start = std::min(span.start, span.end);
        // A comment ends before its line end, where a reader counts it in.
        while (span.kind == SpanKind::comment && span.end > span.start &&
               (content_[span.end - 1] == '\n' || content_[span.end - 1] == '\r'))
            --span.end;
        if (span.kind == SpanKind::macro)
            macros.push_back(span);
        if (span.kind == SpanKind::comment)
            comments.push_back(i);
    }
    // In a C macro's body a comment is what the preprocessor reads as one;
    // one that the reader sees elsewhere is a line it did not understand.
    // The macros, the reader's comments and those of each body go by their
    // starts, side by side.
    std::stable_sort(macros.begin(), macros.end(), [](const Span &a, const Span &b) { return a.start < b.start; });
    std::stable_sort(comments.begin(), comments.end(),
                     [&](std::size_t a, std::size_t b) { return spans[a].start < spans[b].start; });
    std::vector<Span> left;        // the comments the reader left in a body
    auto next = comments.begin();  // the first that does not begin before the macro
    for (const Span &macro : macros) {
        auto lexed = macro_comments(content_, macro.start, macro.end);
        auto unmet = lexed.begin();
        while (next != comments.end() && spans[*next].start < macro.start)
            ++next;
        for (auto at = next; at != comments.end() && spans[*at].start <= macro.end; ++at) {
            Span &span = spans[*at];
            if (span.kind != SpanKind::comment || span.end > macro.end)
                continue;
            for (; unmet != lexed.end() && unmet->first < span.start; ++unmet)
                left.push_back(Span{unmet->first, unmet->second, SpanKind::comment});
            if (unmet != lexed.end() && *unmet == std::make_pair(span.start, span.end))
                ++unmet;
            else
                span.kind = SpanKind::error;
        }
        for (; unmet != lexed.end(); ++unmet)
            left.push_back(Span{unmet->first, unmet->second, SpanKind::comment});
    }
    spans.insert(spans.end(), left.begin(), left.end());
    std::erase_if(spans, [](const Span &span) { return span.kind == SpanKind::macro; });
    // Some readers give consecutive line comments as one: one per line.
    if (!(syntax_.hazards & orvo::SPLICED_LINES)) {
        std::vector<Span> pieces;
        for (Span &span : spans) {
            std::string_view text = content_.substr(span.start, span.end - span.start);
            std::string opener, closer;
            if (span.kind != SpanKind::comment || text.find_first_of("\r\n") == std::string_view::npos ||
                !shape_of(syntax_, text, opener, closer) || !closer.empty())
                continue;
            for (std::size_t at = span.start; at < span.end;) {
                std::size_t end = at;
                while (end < span.end && content_[end] != '\n' && content_[end] != '\r')
                    ++end;
                std::size_t start = at;
                while (start < end && is_blank(content_[start]))
                    ++start;
                std::string_view piece = content_.substr(start, end - start);
                if (!piece.empty()) {
                    bool comment = shape_of(syntax_, piece, opener, closer) && closer.empty();
                    pieces.push_back(Span{start, end, comment ? SpanKind::comment : SpanKind::error});
                }
                at = end;
                while (at < span.end && (content_[at] == '\n' || content_[at] == '\r'))
                    ++at;
            }
            span.kind = SpanKind::macro;  // dropped below
        }
        std::erase_if(spans, [](const Span &span) { return span.kind == SpanKind::macro; });
        spans.insert(spans.end(), pieces.begin(), pieces.end());
    }
    std::stable_sort(spans.begin(), spans.end(), [](const Span &a, const Span &b) { return a.start < b.start; });
    // Comments never lie in one another: where they seem to (a body's
    // comment in one the reader saw outside the body), neither is trusted.
    Span *widest = nullptr;  // the comment that reaches furthest so far
    for (Span &span : spans) {
        if (span.kind != SpanKind::comment)
            continue;
        if (widest && span.start < widest->end)
            span.kind = widest->kind = SpanKind::error;
        if (!widest || span.end > widest->end)
            widest = &span;
    }
    std::size_t reach = 0;
    for (const Span &span : spans)
        reach_.push_back(reach = std::max(reach, span.end));
    return true;
}

Injection::State &Injection::state(std::size_t index) {
    const Line &place = lines_[index];
    auto [at, added] = states_.try_emplace(index);
    State &line = at->second;
    if (added)
        line.text = content_.substr(place.start, place.end - place.start);
    if (!line.spans_known && spans_) {
        line.spans_known = true;
        // The spans that touch the line: those that begin before its end
        // (found by their starts) and reach past its start.
        const std::vector<Span> &spans = *spans_;
        auto past = std::upper_bound(spans.begin(), spans.end(), place.end,
                                     [](std::size_t at, const Span &span) { return at < span.start; });
        for (std::size_t i = (std::size_t) (past - spans.begin()); i-- > 0 && reach_[i] >= place.start;) {
            const Span &span = spans[i];
            bool touches = span.start == span.end ? span.start >= place.start : span.end > place.start;
            if (!touches)
                continue;
            std::size_t start = std::max(span.start, place.start) - place.start;
            std::size_t end = std::min(span.end, place.end) - place.start;
            line.spans.push_back(Local{start, end, span.kind, span.start >= place.start, span.end <= place.end});
        }
        std::sort(line.spans.begin(), line.spans.end(),
                  [](const Local &a, const Local &b) { return a.start < b.start || (a.start == b.start && a.end > b.end); });
    }
    return line;
}

std::vector<Outcome> Injection::apply(const std::vector<Entry> &entries) {
    // The comments of the content as extraction finds them, one-line ones by
    // line, in extraction order.
    if (const nestrel::Language *patterns = nestrel::patterns_of(language_)) {
        // Extraction reads every line end as "\n"; the offsets in a line stay.
        std::string normalized;
        std::string_view text = content_;
        if (text.find('\r') != std::string_view::npos)
            text = normalized = orvo::normalize_newlines(content_);
        std::vector<std::size_t> newlines;  // where the lines of `text` end
        nestrel::extract(*patterns, text, extracted_, newlines);
        for (const nestrel::Comment &comment : extracted_.items) {
            if (comment.start_line != comment.end_line)
                continue;
            std::size_t begin = comment.start_line == 1 ? 0 : newlines[comment.start_line - 2] + 1;
            found_[comment.start_line - 1].push_back(
                Found{comment.start - begin, comment.group - begin, comment.end - begin, extracted_.text(comment)});
        }
    }
    std::map<long long, std::size_t> counts;  // entries per line
    for (const Entry &entry : entries)
        if (entry.aligned)
            ++counts[entry.line];
    std::map<long long, std::size_t> seen;
    std::vector<Outcome> outcomes;
    outcomes.reserve(entries.size());
    for (const Entry &entry : entries) {
        std::size_t k = entry.aligned ? seen[entry.line]++ : 0;
        if (orvo::has_line_break(orvo::strip(entry.content))) {
            outcomes.push_back(Outcome::several_lines);
            continue;
        }
        if (entry.line < 1 || (unsigned long long) entry.line > lines_.size()) {
            outcomes.push_back(Outcome::refused);
            continue;
        }
        const std::size_t index = (std::size_t) entry.line - 1;
        auto found = found_.find(index);
        const bool lines_up = entry.aligned && found != found_.end() && counts[entry.line] == found->second.size();
        State &line = state(index);
        if (line.found.empty() && found != found_.end())
            line.found = found->second;
        outcomes.push_back(apply_one(entry, lines_up ? &line.found[k] : nullptr, index));
    }
    return outcomes;
}

Outcome Injection::apply_one(const Entry &entry, const Found *found, std::size_t index) {
    const std::string_view content = orvo::strip(entry.content);
    if (found && content == found->text)
        return Outcome::unchanged;
    if (!read_spans()) {
        // Without a reader nothing is written; a comment that stands as the
        // entry says is still in place.
        for (const Found &any : states_[index].found)
            if (any.text == content)
                return Outcome::unchanged;
        return Outcome::refused;
    }
    State &here = state(index);  // now with its spans
    const std::string &text = here.text;
    std::vector<const Local *> real;  // the comments that open and close on the line
    for (const Local &span : here.spans)
        if (span.kind == SpanKind::comment && span.opens && span.closes)
            real.push_back(&span);

    // The comment the text goes into, or none for a comment of its own.
    const Local *target = nullptr;
    const std::size_t first_prefix = prefix_.empty() ? std::string::npos : text.find(prefix_);
    if (found) {
        for (const Local *comment : real)
            if ((comment->start >= found->start && comment->start < found->end) ||
                (found->start >= comment->start && found->start < comment->end)) {
                target = comment;
                break;
            }
        // A match inside a comment (a prefix in a block comment) names no comment of its own.
        if (target && found->start > target->start)
            return Outcome::refused;
        if (!target && !real.empty())
            return Outcome::refused;  // a match inside a string, beside a real comment
    } else if (!real.empty()) {
        for (const Local *comment : real)
            if (first_prefix != std::string::npos && comment->start >= first_prefix) {
                target = comment;
                break;
            }
        if (!target)
            target = real.back();
    }

    std::string opener, closer;
    std::string_view inner;
    if (target) {
        std::string_view whole = std::string_view(text).substr(target->start, target->end - target->start);
        if (!shape_of(syntax_, whole, opener, closer))
            return found || content != orvo::strip(whole) ? Outcome::refused : Outcome::unchanged;
        inner = whole.substr(opener.size(), whole.size() - opener.size() - closer.size());
        if (!found && content == orvo::strip(inner))
            return Outcome::unchanged;
    }

    // Lines the reader could not read, and instructions to tools, stay.
    for (const Local &span : here.spans)
        if (span.kind == SpanKind::error || span.kind == SpanKind::directive)
            return Outcome::refused;
    if (target) {
        std::string_view whole = std::string_view(text).substr(target->start, target->end - target->start);
        if ((index < 2 && declares_encoding(inner)) ||
            ((syntax_.hazards & orvo::GO_DIRECTIVES) && is_go_directive(whole)))
            return Outcome::refused;
    }

    // The text: the content, without what extraction showed of the code
    // before the comment, and without the comment's own opener.
    std::string_view written = content;
    if (target) {
        // From where extraction showed the line to the end of the comment's
        // opener (the code before it, a documentation marker).
        std::size_t shown_from = found ? found->group
                                 : first_prefix != std::string::npos && first_prefix <= target->start
                                     ? first_prefix + prefix_.size()
                                     : std::string::npos;
        if (shown_from != std::string::npos && shown_from < target->start + opener.size()) {
            std::string_view shown =
                orvo::strip(std::string_view(text).substr(shown_from, target->start + opener.size() - shown_from));
            if (!shown.empty() && written.starts_with(shown))
                written = orvo::strip(written.substr(shown.size()));
        }
    }
    std::string_view opening = target ? std::string_view(opener) : prefix_;
    if (!opening.empty() && written.starts_with(opening) && !(target && inner.starts_with(opener)))
        written = orvo::strip(written.substr(opening.size()));
    if (written.empty())
        return Outcome::empty;

    if (target) {
        std::string_view head = leading_blanks(inner);
        std::string_view tail = closer.empty() ? std::string_view() : trailing_blanks(inner.substr(head.size()));
        if (!is_writable(syntax_, opener, head, written, tail, closer) || (index < 2 && declares_encoding(written)))
            return Outcome::refused;
        std::string comment = opener;
        comment.append(head).append(written).append(tail).append(closer);
        std::string_view before = std::string_view(text).substr(target->start, target->end - target->start);
        if ((syntax_.hazards & orvo::DOC_MARKERS) && doc_kind(comment) && doc_kind(comment) != doc_kind(before))
            return Outcome::refused;  // documentation is allowed in fewer places than comments
        std::size_t from = target->start, to = target->end;
        if (closer.empty() && orvo::strip(std::string_view(text).substr(to)).empty())
            to = text.size();  // a line comment ends the line: no blanks after it
        if (orvo::rstrip(std::string_view(text).substr(from, to - from)) == comment)
            return Outcome::unchanged;  // it stands so already: the line keeps its blanks too
        replace(here, from, to, comment);
        return Outcome::written;
    }

    // A comment of its own after the code, where the line ends in code.
    for (const Local &span : here.spans)
        if (!span.closes)
            return Outcome::refused;  // in a string, a block comment or output text
    const std::string_view code = orvo::rstrip(text);
    if (code.ends_with('\\') || ((syntax_.hazards & orvo::CONTINUATION_DOTS) && code.ends_with("...")) ||
        ((syntax_.hazards & orvo::CLOSE_TAG) && code.ends_with("?>")))
        return Outcome::refused;  // joined to the next line, or followed by output
    const bool block = syntax_.block.open && prefix_ == syntax_.block.open;
    const std::string_view end = block ? std::string_view(syntax_.block.close) : std::string_view();
    if (!is_writable(syntax_, prefix_, " ", written, block ? " " : "", end) ||
        (index < 2 && declares_encoding(written)))
        return Outcome::refused;
    std::string comment = code.empty() ? std::string() : std::string(" ");
    const std::size_t at = code.size() + comment.size();
    comment.append(prefix_).append(" ").append(written);
    if (block)
        comment.append(" ").append(end);
    replace(here, code.size(), text.size(), comment);
    here.spans.push_back(Local{at, here.text.size(), SpanKind::comment, true, true});
    const Line &place = lines_[index];
    if (place.next == place.end)
        here.gains_line_end = true;
    return Outcome::written;
}

}  // namespace osmeran
