// Native matcher for the comment patterns.
//
// A comment pattern is an opening literal, one group `(.*)` or `(.*?)`, and a
// closing literal (possibly empty). Literals are plain characters or a
// backslash before a punctuation character. The matcher finds exactly the
// matches Python's `re.finditer` finds for such a pattern, with or without
// the dot-matches-line-breaks option, in time linear in the text: the opening
// literal is searched with `find`, a lazy group ends at the next closing
// literal, a greedy one at the last closing literal before the group's limit
// (the end of the line, or of the text when the dot matches line breaks).
#pragma once

#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

namespace nestrel {

struct Pattern {
    std::string open;   // never empty, holds no line break
    std::string close;  // holds no line break
    bool lazy = false;

    // Raises std::invalid_argument for a text outside the supported forms.
    static Pattern compile(std::string_view text);
};

// The first position at or after `from` where `literal` (not empty) occurs.
inline std::size_t find_literal(std::string_view text, std::string_view literal, std::size_t from) {
    const char *data = text.data();
    const std::size_t size = text.size(), length = literal.size();
    const char first = literal[0];
    while (from + length <= size) {
        const void *hit = std::memchr(data + from, first, size - length + 1 - from);
        if (!hit)
            break;
        std::size_t at = (std::size_t) ((const char *) hit - data);
        if (length == 1 ||
            (data[at + 1] == literal[1] && std::memcmp(data + at + 2, literal.data() + 2, length - 2) == 0))
            return at;
        from = at + 1;
    }
    return std::string_view::npos;
}

struct Match {
    std::size_t start, end;              // the whole match
    std::size_t group_start, group_end;  // group 1
};

// Call `emit(match)` for every non-overlapping match in `text`, left to right.
template <typename Emit>
void for_each_match(const Pattern &pattern, std::string_view text, bool dotall, Emit &&emit) {
    constexpr std::size_t none = std::string_view::npos;
    const std::size_t size = text.size();
    const std::string_view open = pattern.open, close = pattern.close;

    // The first closing literal at or after a position, remembered: the
    // positions asked for only grow, so every byte is searched once.
    std::size_t close_from = 0, close_at = none;
    bool close_known = false;
    auto next_close = [&](std::size_t from) {
        if (!close_known || from < close_from || (close_at != none && from > close_at)) {
            close_at = find_literal(text, close, from);
            close_from = from;
            close_known = true;
        }
        return close_at;
    };
    std::size_t newline_from = 0, newline_at = none;
    bool newline_known = false;
    auto line_end = [&](std::size_t from) {
        if (!newline_known || from < newline_from || (newline_at != size && from > newline_at)) {
            const void *found = from < size ? std::memchr(text.data() + from, '\n', size - from) : nullptr;
            newline_at = found ? (std::size_t) ((const char *) found - text.data()) : size;
            newline_from = from;
            newline_known = true;
        }
        return newline_at;
    };

    std::size_t position = 0;
    while (position <= size) {
        std::size_t start = find_literal(text, open, position);
        if (start == none)
            return;
        std::size_t group = start + open.size();
        std::size_t limit = dotall ? size : line_end(group);
        std::size_t group_end;
        std::size_t end;
        if (close.empty()) {
            group_end = pattern.lazy ? group : limit;
            end = group_end;
        } else if (pattern.lazy) {
            std::size_t at = next_close(group);
            if (at == none)
                return;  // no later start can find a closing literal either
            if (at > limit) {
                position = limit + 1;  // every later start on this line fails too
                continue;
            }
            group_end = at;
            end = at + close.size();
        } else {
            std::size_t at = text.substr(0, limit).rfind(close);
            if (at == none || at < group) {
                if (dotall)
                    return;
                position = limit + 1;
                continue;
            }
            group_end = at;
            end = at + close.size();
        }
        emit(Match{start, end, group, group_end});
        position = end;
    }
}

}  // namespace nestrel
