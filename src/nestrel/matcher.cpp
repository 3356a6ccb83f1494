#include "matcher.hpp"

namespace nestrel {

namespace {

bool is_meta(char c) { return std::strchr(".^$*+?{}[]\\|()", c) != nullptr; }

bool is_punctuation(char c) {
    unsigned char u = (unsigned char) c;
    return u > 0x20 && u < 0x7F && !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'));
}

[[noreturn]] void unsupported(std::string_view text, const char *why) {
    throw std::invalid_argument("unsupported comment pattern '" + std::string(text) + "': " + why);
}

// Read a literal from `at` up to "(" or the end; `at` moves past it.
std::string literal(std::string_view text, std::size_t &at) {
    std::string out;
    while (at < text.size() && text[at] != '(') {
        char c = text[at];
        if (c == '\\') {
            if (at + 1 >= text.size() || !is_punctuation(text[at + 1]))
                unsupported(text, "a backslash may only stand before a punctuation character");
            out.push_back(text[at + 1]);
            at += 2;
            continue;
        }
        if (is_meta(c))
            unsupported(text, "the characters .^$*+?{}[]\\|() must be escaped");
        if (c == '\n')
            unsupported(text, "a literal may not hold a line break");
        out.push_back(c);
        ++at;
    }
    return out;
}

}  // namespace

Pattern Pattern::compile(std::string_view text) {
    Pattern pattern;
    std::size_t at = 0;
    pattern.open = literal(text, at);
    if (at >= text.size())
        unsupported(text, "the group (.*) or (.*?) is missing");
    if (pattern.open.empty())
        unsupported(text, "the group must follow an opening text");
    std::string_view rest = text.substr(at);
    if (rest.substr(0, 5) == "(.*?)") {
        pattern.lazy = true;
        at += 5;
    } else if (rest.substr(0, 4) == "(.*)") {
        at += 4;
    } else {
        unsupported(text, "the only group allowed is (.*) or (.*?)");
    }
    pattern.close = literal(text, at);
    if (at < text.size())
        unsupported(text, "only one group is allowed");
    return pattern;
}

}  // namespace nestrel
