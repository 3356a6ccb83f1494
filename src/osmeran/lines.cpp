#include "lines.hpp"

#include <orvo/text.hpp>

namespace osmeran {

namespace {

// "(*" opens a block comment, so its comment is closed on the same line.
constexpr std::string_view BLOCK_PREFIX = "(*";

}  // namespace

std::optional<std::string> with_comment(std::string_view content, long long line_num, std::string_view comment,
                                        std::string_view prefix) {
    comment = orvo::strip(comment);
    if (line_num < 1 || orvo::has_line_break(comment))
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
    std::size_t next = end == std::string_view::npos ? content.size() : end + 1;
    if (end == std::string_view::npos)
        end = content.size();

    std::string_view target = orvo::rstrip(content.substr(start, end - start));
    std::string tail;
    tail.append(prefix).append(" ").append(comment);
    if (prefix == BLOCK_PREFIX)
        tail.append(" *)");
    tail.push_back('\n');
    std::string line;
    if (orvo::strip(target).empty()) {
        line = tail;
    } else {
        line = target.substr(0, target.find(prefix));
        line.append(" ").append(tail);
    }

    std::string updated;
    updated.reserve(content.size() + line.size());
    updated.append(content.substr(0, start)).append(line).append(content.substr(next));
    return updated;
}

}  // namespace osmeran
