#include "lines.hpp"

#include <orvo/text.hpp>

#include <algorithm>

namespace osmeran {

namespace {

// "(*" opens a block comment, so its comment is closed on the same line.
constexpr std::string_view BLOCK_PREFIX = "(*";

struct Line {
    std::size_t start, end, next;  // its first byte, its "\n" (or the end), the next line's start
};

// Line `line_num` (from 1) of `content`, or nothing when the text has fewer.
std::optional<Line> find_line(std::string_view content, long long line_num) {
    if (line_num < 1)
        return std::nullopt;
    std::size_t start = 0;
    for (long long line = 1; line < line_num; ++line) {
        std::size_t newline = content.find('\n', start);
        if (newline == std::string_view::npos)
            return std::nullopt;
        start = newline + 1;
    }
    if (start >= content.size())
        return std::nullopt;  // the text has fewer lines
    std::size_t end = content.find('\n', start);
    if (end == std::string_view::npos)
        return Line{start, content.size(), content.size()};
    return Line{start, end, end + 1};
}

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Whether `text` holds a Java Unicode escape of a line break: "\", one or more
// "u", and "000a" or "000d" in any case. Java reads these escapes before
// anything else, so one in a line comment ends the comment. A backslash that
// follows an odd run of backslashes starts no escape; one that an escape
// yields starts none either and leaves the next backslash free.
bool has_escaped_line_break(std::string_view text) {
    bool escaped = false;  // the previous character is a backslash that escapes this one
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            escaped = false;
            continue;
        }
        if (!escaped) {
            std::size_t digits = i + 1;
            while (digits < text.size() && text[digits] == 'u')
                ++digits;
            if (digits > i + 1 && digits + 4 <= text.size() && is_hex(text[digits]) && is_hex(text[digits + 1]) &&
                is_hex(text[digits + 2]) && is_hex(text[digits + 3])) {
                std::string_view hex = text.substr(digits, 4);
                if (hex.substr(0, 3) == "000" && (hex[3] == 'a' || hex[3] == 'A' || hex[3] == 'd' || hex[3] == 'D'))
                    return true;
                i = digits + 3;  // one character, which escapes nothing
                continue;
            }
        }
        escaped = !escaped;
    }
    return false;
}

}  // namespace

bool InPlace::stands_on_line(std::string_view content, long long line_num, std::string_view text,
                             std::string_view language) {
    if (line_num < 1)
        return false;
    if (!known_ || content != content_ || language != language_) {
        known_ = false;
        found_.texts.clear();
        found_.items.clear();
        by_line_.clear();
        if (const nestrel::Language *patterns = nestrel::patterns_of(language))
            nestrel::extract(*patterns, content, found_);
        for (std::size_t i = 0; i < found_.items.size(); ++i)
            if (found_.items[i].start_line == found_.items[i].end_line)
                by_line_.push_back(i);
        std::stable_sort(by_line_.begin(), by_line_.end(), [&](std::size_t a, std::size_t b) {
            return found_.items[a].start_line < found_.items[b].start_line;
        });
        content_.assign(content);
        language_.assign(language);
        known_ = true;
    }
    const auto line = (std::size_t) line_num;
    auto first = std::lower_bound(by_line_.begin(), by_line_.end(), line,
                                  [&](std::size_t i, std::size_t l) { return found_.items[i].start_line < l; });
    for (auto it = first; it != by_line_.end() && found_.items[*it].start_line == line; ++it)
        if (found_.text(found_.items[*it]) == text)
            return true;
    return false;
}

bool is_writable(std::string_view comment, std::string_view language, std::string_view prefix) {
    for (char c : comment)
        if (((unsigned char) c < 0x20 && c != '\t') || c == 0x7F)
            return false;
    if ((prefix == BLOCK_PREFIX || language == "ocaml") && comment.find("*)") != std::string_view::npos)
        return false;
    if ((language == "c" || language == "cpp") && !comment.empty() && comment.back() == '\\')
        return false;
    if (language == "java" && has_escaped_line_break(comment))
        return false;
    return true;
}

std::optional<std::string> with_comment(std::string_view content, long long line_num, std::string_view comment,
                                        std::string_view prefix, std::string_view language) {
    comment = orvo::strip(comment);
    if (orvo::has_line_break(comment) || !is_writable(comment, language, prefix))
        return std::nullopt;
    std::optional<Line> found = find_line(content, line_num);
    if (!found)
        return std::nullopt;

    std::string_view text = content.substr(found->start, found->end - found->start);
    std::string_view target = orvo::rstrip(text);
    std::string tail(comment);
    if (prefix == BLOCK_PREFIX)
        tail.append(" *)");
    tail.push_back('\n');
    std::string line;
    std::size_t at = target.find(prefix);
    if (orvo::strip(target).empty()) {
        line.append(prefix).append(" ").append(tail);
    } else if (at != std::string_view::npos) {
        std::size_t keep = at + prefix.size();  // the code, the prefix and the blanks after it stay
        while (keep < text.size() && (text[keep] == ' ' || text[keep] == '\t'))
            ++keep;
        line.append(text.substr(0, keep)).append(tail);
    } else {
        line.append(target).append(" ").append(prefix).append(" ").append(tail);
    }

    std::string updated;
    updated.reserve(content.size() + line.size());
    updated.append(content.substr(0, found->start)).append(line).append(content.substr(found->next));
    return updated;
}

}  // namespace osmeran
